// The firmware emulator mounted: efivarfs behaviour seen through plain file operations and
// ioctls, the mailbox driven through its variable file, passwords, --save-vars, the image left
// untouched, and a clean unmount on signals. A mount that fails fails the test.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

using Data = std::vector<uint8_t>;

constexpr char kVendor[] = "01234567-89ab-cdef-0123-456789abcdef";
constexpr char kPasswordGuid[] = "5855ce1b-fb8e-47e4-bc1a-39ecaa0c96cf";
constexpr char kMailbox[] = "KMBX-280bcc15-2cd7-467c-9647-1b30307d7ed5";

Data Utf16z(const std::string& ascii) {
  Data out;
  for (char c : ascii) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

// One open and one write() of the whole content; 0 or the errno of whichever failed.
int WriteOnce(const std::string& path, const Data& bytes, int flags = O_WRONLY | O_CREAT) {
  int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) return errno;
  ssize_t n = write(fd, bytes.data(), bytes.size());
  int error = n < 0 ? errno : (static_cast<size_t>(n) == bytes.size() ? 0 : EIO);
  close(fd);
  return error;
}

int GetFlags(const std::string& path, int& flags) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  int rc = ioctl(fd, FS_IOC_GETFLAGS, &flags);
  int error = rc < 0 ? errno : 0;
  close(fd);
  return error;
}

int SetFlags(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  int rc = ioctl(fd, FS_IOC_SETFLAGS, &flags);
  int error = rc < 0 ? errno : 0;
  close(fd);
  return error;
}

// A variable write the way a careful client does it: clear the immutable flag if the file
// exists, open, truncate to the new size, one write, restore the flag.
int WriteVariable(const std::string& path, uint32_t attributes, const Data& data) {
  int flags = 0;
  bool cleared = GetFlags(path, flags) == 0 && SetFlags(path, flags & ~FS_IMMUTABLE_FL) == 0;
  Data bytes = VarFileBytes(attributes, data);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd < 0) return errno;
  int error = 0;
  if (ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) error = errno;
  if (!error) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) error = errno;
  }
  close(fd);
  if (cleared && access(path.c_str(), F_OK) == 0) SetFlags(path, flags);
  return error;
}

std::optional<Data> ReadAll(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::nullopt;
  Data out;
  uint8_t buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
  close(fd);
  return out;
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

uint64_t Get(const Data& d, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width && offset + i < d.size(); ++i) v |= static_cast<uint64_t>(d[offset + i]) << (8 * i);
  return v;
}
void Put(Data& d, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) d[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The request frame, field by field (Size 8, Reserved, Version, ReturnValue 0x8002, GUID bytes,
// PayloadSize) followed by the payload.
Data Frame(uint16_t version, const Data& guidBytes, const Data& payload) {
  Data f(32, 0);
  Put(f, 0, 8, 2);
  Put(f, 4, version, 2);
  Put(f, 6, 0x8002, 2);
  std::copy(guidBytes.begin(), guidBytes.end(), f.begin() + 8);
  Put(f, 24, payload.size(), 8);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}
// 2A7ADC98-820E-4775-A17D-2F741D55B626 and 45AC8863-E3FA-4A38-A23C-00BCD10CBD50 as stored.
const Data kHiiGuidBytes = {0x98, 0xDC, 0x7A, 0x2A, 0x0E, 0x82, 0x75, 0x47,
                            0xA1, 0x7D, 0x2F, 0x74, 0x1D, 0x55, 0xB6, 0x26};
const Data kEnumGuidBytes = {0x63, 0x88, 0xAC, 0x45, 0xFA, 0xE3, 0x38, 0x4A,
                             0xA2, 0x3C, 0x00, 0xBC, 0xD1, 0x0C, 0xBD, 0x50};

// Sends a request through the mailbox variable file and returns the frame read back.
Data Ask(const Emulator& emu, const Data& frame) {
  std::string path = emu.efivars() + "/" + kMailbox;
  EXPECT_EQ(WriteVariable(path, 7, frame), 0);
  auto bytes = ReadAll(path);
  EXPECT_TRUE(bytes && bytes->size() == frame.size() + 4);
  return bytes && bytes->size() >= 4 ? Data(bytes->begin() + 4, bytes->end()) : Data{};
}

Data HiiFrame(uint64_t n, uint64_t offset, uint16_t version = 8) {
  Data payload(24 + n, 0);
  Put(payload, 0, n, 8);
  Put(payload, 8, offset, 8);
  Put(payload, 16, 50, 8);
  return Frame(version, kHiiGuidBytes, payload);
}

Data Pattern(size_t n) {
  Data d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
  return d;
}

TEST(FwemuMount, ServesTheImageTree) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Fidt().Var("First", kVendor, 7, {1, 2, 3}).Var("Second", kVendor, 7, {});
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  EXPECT_EQ(List(emu.root()), (std::vector<std::string>{"acpi", "efi"}));
  EXPECT_EQ(ReadAll(emu.root() + "/acpi/tables/FIDT"), SupportedFidt());
  EXPECT_EQ(WriteOnce(emu.root() + "/acpi/tables/FIDT", {1}, O_WRONLY), EACCES);
  // The 4-byte "Second" file holds no variable and is not served.
  EXPECT_EQ(List(emu.efivars()), (std::vector<std::string>{VarFileName("First", kVendor)}));
  struct stat st {};
  ASSERT_EQ(stat(emu.VarPath("First", kVendor).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 7);
  EXPECT_EQ(ReadAll(emu.VarPath("First", kVendor)), VarFileBytes(7, {1, 2, 3}));
  // Variable files cannot be seeked, as on efivarfs; the identification table can.
  for (const auto& [path, seekable] : {std::pair{emu.VarPath("First", kVendor), false},
                                      std::pair{emu.root() + "/acpi/tables/FIDT", true}}) {
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    errno = 0;
    EXPECT_EQ(lseek(fd, 4, SEEK_SET), seekable ? 4 : -1) << path;
    EXPECT_EQ(errno, seekable ? 0 : ESPIPE) << path;
    close(fd);
  }
  EXPECT_EQ(mkdir((emu.efivars() + "/dir").c_str(), 0755), -1);
  EXPECT_EQ(WriteOnce(emu.efivars() + "/NoGuid", VarFileBytes(7, {1})), EINVAL);
  EXPECT_NE(emu.Output().find("Second-"), std::string::npos) << "the skipped file is reported";
}

TEST(FwemuMount, EfivarfsFileSemantics) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Old", kVendor, 7, {9, 9});
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  const std::string old = emu.VarPath("Old", kVendor);
  const std::string fresh = emu.VarPath("Fresh", kVendor);

  // Immutable: open for writing and unlink fail with EPERM until the flag is cleared.
  int flags = 0;
  ASSERT_EQ(GetFlags(old, flags), 0);
  EXPECT_EQ(flags & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL);
  EXPECT_EQ(WriteOnce(old, VarFileBytes(7, {1})), EPERM);
  EXPECT_EQ(unlink(old.c_str()), -1);
  EXPECT_EQ(errno, EPERM);
  ASSERT_EQ(SetFlags(old, 0), 0);
  ASSERT_EQ(GetFlags(old, flags), 0);
  EXPECT_EQ(flags, 0);

  // A successful write moves the modification time on; a refused one does not.
  auto modified = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return std::pair{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  };
  auto mounted = modified(old);
  EXPECT_EQ(WriteOnce(old, VarFileBytes(7, {1, 2, 3}), O_WRONLY), 0);
  auto written = modified(old);
  EXPECT_GT(written, mounted);
  EXPECT_EQ(WriteOnce(old, VarFileBytes(0x80, {1}), O_WRONLY), EINVAL);
  EXPECT_EQ(modified(old), written);

  // Truncating is no delete: the variable keeps its content until the write replaces it.
  int fd = open(old.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 9), 0);
  EXPECT_EQ(ReadAll(old), VarFileBytes(7, {1, 2, 3}));
  Data replacement = VarFileBytes(7, {1, 2, 3, 4, 5});
  EXPECT_EQ(write(fd, replacement.data(), replacement.size()), 9);
  close(fd);
  EXPECT_EQ(ReadAll(old), replacement);
  EXPECT_EQ(std::filesystem::file_size(old), 9u);

  // A new file is created immutable; the write that creates it goes through its own open.
  EXPECT_EQ(WriteOnce(fresh, VarFileBytes(7, {0x41, 0, 0x42, 0})), 0);
  EXPECT_EQ(ReadAll(fresh), VarFileBytes(7, {0x41, 0, 0x42, 0}));
  ASSERT_EQ(GetFlags(fresh, flags), 0);
  EXPECT_EQ(flags & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL);
  EXPECT_EQ(List(emu.efivars()), (std::vector<std::string>{VarFileName("Fresh", kVendor), VarFileName("Old", kVendor)}));

  // A write of the attribute word alone deletes; so does unlink once the flag is clear.
  EXPECT_EQ(WriteOnce(old, VarFileBytes(7, {})), 0);
  EXPECT_FALSE(ReadAll(old));
  ASSERT_EQ(SetFlags(fresh, 0), 0);
  EXPECT_EQ(unlink(fresh.c_str()), 0);
  EXPECT_TRUE(List(emu.efivars()).empty());

  // A file unlinked while open: later calls on it fail, the emulator carries on.
  ASSERT_EQ(WriteOnce(fresh, VarFileBytes(7, {1})), 0);
  ASSERT_EQ(SetFlags(fresh, 0), 0);
  fd = open(fresh.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(unlink(fresh.c_str()), 0);
  EXPECT_EQ(write(fd, replacement.data(), replacement.size()), -1);
  EXPECT_NE(ftruncate(fd, 1), 0);
  close(fd);
  EXPECT_TRUE(List(emu.efivars()).empty());
  EXPECT_EQ(WriteOnce(fresh, VarFileBytes(7, {2})), 0);
  EXPECT_EQ(ReadAll(fresh), VarFileBytes(7, {2}));
}

TEST(FwemuMount, InvalidAttributeWordsLeaveAnEmptyImmutableFile) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  struct Case {
    const char* name;
    Data bytes;
    int error;
  } cases[] = {
      {"Bit80", VarFileBytes(0x80, {1}), EINVAL},
      {"Zero", VarFileBytes(0, {1}), EIO},
      {"Short", {7, 0}, EINVAL},
      {"Volatile", VarFileBytes(6, {1}), EINVAL},
  };
  for (const auto& c : cases) {
    std::string path = emu.VarPath(c.name, kVendor);
    EXPECT_EQ(WriteOnce(path, c.bytes), c.error) << c.name;
    EXPECT_EQ(ReadAll(path), Data{}) << c.name;
    EXPECT_EQ(std::filesystem::file_size(path), 0u) << c.name;
    int flags = 0;
    ASSERT_EQ(GetFlags(path, flags), 0) << c.name;
    EXPECT_EQ(flags & FS_IMMUTABLE_FL, FS_IMMUTABLE_FL) << c.name;
    EXPECT_EQ(WriteOnce(path, VarFileBytes(7, {1})), EPERM) << c.name;
  }
  EXPECT_EQ(List(emu.efivars()).size(), 4u);
}

TEST(FwemuMount, LargeVariableInOneWrite) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  // Larger than what the kernel hands to FUSE in one piece: still one variable.
  Data big = Pattern(3 * 1024 * 1024 + 17);
  std::string path = emu.VarPath("Big", kVendor);
  EXPECT_EQ(WriteOnce(path, VarFileBytes(7, big)), 0);
  EXPECT_EQ(ReadAll(path), VarFileBytes(7, big));
}

TEST(FwemuMount, ProtectedVariablesAndPasswords) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Setup", kVendor, 7, {0}).Var("Broken", kVendor, 7, {0});
  image.Config("# admin password and what it protects\n"
               "admin_password = secret\n"
               "protected_variables = Setup\n"
               "failing_variables = Broken-" + std::string(kVendor) + "\n");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  const std::string setup = emu.VarPath("Setup", kVendor);
  const std::string setupPwd = emu.VarPath("$SETUPPASSWD", kPasswordGuid);
  const std::string adminPwd = emu.VarPath("$SETADMINPASSWD", kPasswordGuid);

  EXPECT_EQ(WriteVariable(setup, 7, {1}), EACCES);
  EXPECT_EQ(WriteVariable(emu.VarPath("Broken", kVendor), 7, {1}), EIO);
  EXPECT_EQ(WriteVariable(adminPwd, 7, Utf16z("other")), EACCES);
  EXPECT_EQ(WriteVariable(setupPwd, 7, Utf16z("wrong")), EACCES);
  EXPECT_EQ(WriteVariable(setupPwd, 7, Utf16z("secret")), 0);
  EXPECT_FALSE(ReadAll(setupPwd)) << "an accepted password is not stored";
  EXPECT_EQ(WriteVariable(setup, 7, {1}), 0);
  EXPECT_EQ(ReadAll(setup), VarFileBytes(7, {1}));
  EXPECT_EQ(WriteVariable(adminPwd, 7, Utf16z("other")), 0);
  EXPECT_FALSE(ReadAll(adminPwd));

  // Re-lock: the one-zero-byte write is refused and protects the variables again.
  EXPECT_EQ(WriteVariable(setupPwd, 7, {0}), EINVAL);
  EXPECT_EQ(WriteVariable(setup, 7, {2}), EACCES);
  EXPECT_EQ(ReadAll(setup), VarFileBytes(7, {1}));
  EXPECT_EQ(WriteVariable(setupPwd, 7, Utf16z("other")), 0);
  EXPECT_EQ(WriteVariable(setup, 7, {2}), 0);

  auto log = emu.RequestLog();
  EXPECT_NE(std::find(log.begin(), log.end(), "password $SETUPPASSWD relock"), log.end());
}

TEST(FwemuMount, PasswordFeatureOffStoresThePasswordVariable) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Config("password_feature = no\n");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());
  const std::string setupPwd = emu.VarPath("$SETUPPASSWD", kPasswordGuid);
  EXPECT_EQ(WriteVariable(setupPwd, 7, Utf16z("pw")), 0);
  EXPECT_EQ(ReadAll(setupPwd), VarFileBytes(7, Utf16z("pw")));
  EXPECT_EQ(WriteVariable(setupPwd, 7, {}), 0);
  EXPECT_FALSE(ReadAll(setupPwd));
}

TEST(FwemuMount, HiiDatabaseThroughTheMailbox) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  Data hii = Pattern(2000);
  image.Hii(hii).Config("hii_fail_offset = 1900\n");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());

  Data r = Ask(emu, HiiFrame(0, 0));
  EXPECT_EQ(Get(r, 6, 2), 0u);
  EXPECT_EQ(Get(r, 32, 8), 2000u);
  Data read;
  for (uint64_t offset = 0; offset < 1752; offset += 876) {
    r = Ask(emu, HiiFrame(876, offset));
    ASSERT_EQ(Get(r, 32 + 16, 4), 0u);
    read.insert(read.end(), r.begin() + 56, r.end());
  }
  EXPECT_TRUE(std::equal(read.begin(), read.end(), hii.begin()));
  r = Ask(emu, HiiFrame(248, 1752));
  EXPECT_EQ(Get(r, 6, 2), 0u);
  EXPECT_EQ(Get(r, 32 + 16, 4), 7u) << "the configured failing offset";
  r = Ask(emu, HiiFrame(877, 0));
  EXPECT_EQ(Get(r, 32 + 16, 4), 2u) << "more than 876 bytes in one request";

  auto log = emu.RequestLog();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("mailbox ", 0) == 0; }), 5);
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "mailbox version=8 hii-read size=876 offset=876 status=0x0 return=0x0"),
            log.end());
}

TEST(FwemuMount, EnumerationAndReturnValues) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Alpha", kVendor, 7, {1}).Config("reject_version_8 = yes\n");
  Emulator emu(image.dir());
  ASSERT_TRUE(emu.Started());

  Data payload(544, 0);
  Put(payload, 0, 0xC000000000000001ULL, 8);
  Put(payload, 8, 512, 8);
  Data r = Ask(emu, Frame(8, kEnumGuidBytes, payload));
  EXPECT_EQ(Get(r, 6, 2), 0x8003u) << "version 8 is refused";
  r = Ask(emu, Frame(4, kEnumGuidBytes, payload));
  ASSERT_EQ(Get(r, 6, 2), 0u);
  ASSERT_EQ(Get(r, 32, 4), 0u);
  ASSERT_EQ(Get(r, 40, 4), 5u);
  EXPECT_EQ(Data(r.begin() + 64, r.begin() + 74), (Data{'A', 0, 'l', 0, 'p', 0, 'h', 0, 'a', 0}));
  // Next: the mailbox variable itself, then the end. Each request starts from the previous
  // answer's GUID and name, with the request words set again.
  Data next(r.begin() + 32, r.end());
  Put(next, 0, 0xC000000000000001ULL, 8);
  Put(next, 8, 512, 8);
  r = Ask(emu, Frame(4, kEnumGuidBytes, next));
  ASSERT_EQ(Get(r, 32, 4), 0u);
  EXPECT_EQ(Get(r, 40, 4), 4u);
  EXPECT_EQ(Data(r.begin() + 64, r.begin() + 72), (Data{'K', 0, 'M', 0, 'B', 0, 'X', 0}));
  next.assign(r.begin() + 32, r.end());
  Put(next, 0, 0xC000000000000001ULL, 8);
  Put(next, 8, 512, 8);
  r = Ask(emu, Frame(4, kEnumGuidBytes, next));
  EXPECT_EQ(Get(r, 32, 4), 14u);
}

TEST(FwemuMount, SaveVarsOnUnmountAndTheImageStaysAsItWas) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Hii(Pattern(100)).Fidt().Var("Keep", kVendor, 7, {1}).Var("Gone", kVendor, 7, {2});
  image.Config("protected_variables = Nothing\n");
  auto snapshot = [&] {
    std::vector<std::pair<std::string, Data>> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(image.dir())) {
      files.emplace_back(e.path().string(), e.is_regular_file() ? *ReadFileBytes(e.path().string()) : Data{});
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  auto before = snapshot();
  std::string saved = tmp / "saved";
  {
    Emulator emu(image.dir(), {"--save-vars", saved});
    ASSERT_TRUE(emu.Started());
    EXPECT_EQ(WriteVariable(emu.VarPath("Keep", kVendor), 7, {5, 5}), 0);
    EXPECT_EQ(WriteVariable(emu.VarPath("Gone", kVendor), 7, {}), 0);
    EXPECT_EQ(WriteVariable(emu.VarPath("New", kVendor), 7, {6}), 0);
    Ask(emu, HiiFrame(0, 0));
    EXPECT_EQ(emu.Stop(), 0) << emu.Output();
  }
  EXPECT_EQ(List(saved), (std::vector<std::string>{VarFileName("Keep", kVendor), VarFileName("New", kVendor)}));
  EXPECT_EQ(ReadFileBytes(saved + "/" + VarFileName("Keep", kVendor)), VarFileBytes(7, {5, 5}));
  EXPECT_EQ(ReadFileBytes(saved + "/" + VarFileName("New", kVendor)), VarFileBytes(7, {6}));
  EXPECT_EQ(snapshot(), before);

  // The saved variables make the next image.
  FirmwareImage next(tmp / "next");
  std::filesystem::remove(next.dir() + "/vars");
  std::filesystem::rename(saved, next.dir() + "/vars");
  Emulator again(next.dir());
  ASSERT_TRUE(again.Started());
  EXPECT_EQ(ReadAll(again.VarPath("Keep", kVendor)), VarFileBytes(7, {5, 5}));
}

TEST(FwemuMount, SignalsUnmountCleanly) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  for (int signal : {SIGTERM, SIGINT}) {
    std::string saved = tmp / ("saved" + std::to_string(signal));
    Emulator emu(image.dir(), {"--save-vars", saved});
    ASSERT_TRUE(emu.Started());
    ASSERT_EQ(WriteVariable(emu.VarPath("V", kVendor), 7, {1}), 0);
    std::string efivars = emu.efivars();
    EXPECT_EQ(emu.Stop(signal), 0) << emu.Output();
    EXPECT_FALSE(std::filesystem::exists(efivars)) << "still mounted after signal " << signal;
    EXPECT_EQ(List(saved), (std::vector<std::string>{VarFileName("V", kVendor)}));
  }
}

TEST(FwemuMount, BadImagesAndArgumentsEndWithAClearError) {
  TempDir tmp;
  FirmwareImage typo(tmp / "typo");
  typo.Config("admin_pasword = typo\n");
  FirmwareImage hiiDirectory(tmp / "hii-directory");
  MakeDirs(hiiDirectory.dir() + "/hii.bin");
  FirmwareImage fidtDirectory(tmp / "fidt-directory");
  MakeDirs(fidtDirectory.dir() + "/FIDT");
  WriteFileText(tmp / "plain-file", "not an image");
  FirmwareImage good(tmp / "good");
  struct Case {
    std::string image;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {tmp / "missing", {}, "image directory " + (tmp / "missing") + " does not exist"},
      {tmp / "plain-file", {}, "image directory " + (tmp / "plain-file") + " is not a directory"},
      {typo.dir(), {}, "fwemu.conf line 1: unknown key 'admin_pasword'"},
      {hiiDirectory.dir(), {}, hiiDirectory.dir() + "/hii.bin is not a regular file"},
      {fidtDirectory.dir(), {}, fidtDirectory.dir() + "/FIDT is not a regular file"},
      {good.dir(), {"--save-vars", good.dir() + "/vars"}, "lies inside the image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Emulator emu(c.image, c.args);
    auto started = emu.Started();
    ASSERT_FALSE(started);
    std::string message = started.message();
    EXPECT_NE(message.find("exited with status 2 before mounting:\nkestrel-fwemu: "), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace kes::test
