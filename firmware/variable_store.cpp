// UEFI variables through the kernel's variable file systems.
//
// efivarfs: one file per variable, <root>/efi/efivars/<Name>-<guid>, holding the 4-byte
// little-endian attribute word followed by the data. Every write() is one SetVariable of the
// whole content, so a variable is always written in a single call; a write of the attribute word
// alone deletes it. New files carry the immutable inode flag, which must be cleared before the
// file can be opened for writing or removed, and is put back afterwards.
//
// sysfs (older kernels): <root>/efi/vars/<Name>-<guid>/{data,attributes,raw_var}; a variable is
// replaced by writing a packed 2084-byte record to raw_var.
//
// Everything that touches the file system goes through the small set of helpers in the
// "file edge" section below.
#include "firmware/variable_store.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/le.h"
#include "base/text.h"

namespace kes {
namespace {

constexpr uint32_t kEfivarfsMagic = 0xDE5E81E4;
constexpr uint32_t kImmutableFlag = 0x10;  // FS_IMMUTABLE_FL

// The mailbox variable is a channel, not a setting: a journal leaves it out.
bool IsMailbox(const FirmwareAccess& fw, const std::string& name, const EfiGuid& guid) {
  return fw.mailboxConfigured && guid == fw.mailboxGuid && name == fw.mailboxName;
}

// ---- File edge: the only code that performs system calls on variable files. ----

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the close error (FUSE file systems may report a failed write here).
  int Close() {
    int fd = fd_;
    fd_ = -1;
    return (fd >= 0 && ::close(fd) != 0) ? errno : 0;
  }

 private:
  int fd_;
};

// path is taken relative to directory (an open directory, or AT_FDCWD).
int OpenRetrying(int directory, const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(directory, path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  return OpenRetrying(AT_FDCWD, path, flags, mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsEfivarfs(const std::string& path) {
  struct statfs sfs {};
  return ::statfs(path.c_str(), &sfs) == 0 && static_cast<uint32_t>(sfs.f_type) == kEfivarfsMagic;
}

enum class ReadResult { Ok, Missing, TooLarge, Failed };

// Reads a whole file, at most maxBytes, up to its end. The size from fstat only sizes the first
// read: sysfs files report a page as their size, and a variable can change between stat and read.
ReadResult ReadAll(const std::string& path, size_t maxBytes, std::vector<uint8_t>& out, int& error,
                   bool reportStatFailure) {
  FileDescriptor fd(OpenRetrying(path, O_RDONLY));
  if (!fd.valid()) {
    error = errno;
    return error == ENOENT || error == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    error = errno;
    if (reportStatFailure) PrintNarrow(Stream::Err, "stat errno %s\n", std::strerror(error));
    return ReadResult::Failed;
  }
  size_t hint = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  if (hint > maxBytes) return ReadResult::TooLarge;
  std::vector<uint8_t> data(std::max<size_t>(hint + 1, 4096));
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (data.size() > maxBytes) return ReadResult::TooLarge;
      data.resize(std::min(data.size() * 2, maxBytes + 1));
    }
    ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return ReadResult::Failed;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > maxBytes) return ReadResult::TooLarge;
  data.resize(used);
  out = std::move(data);
  return ReadResult::Ok;
}

// One write() of the whole buffer; a short write is a failure (the variable file systems take a
// variable in one call, so a partial write can never be completed by a second one).
int WriteOnce(int fd, std::span<const uint8_t> bytes) {
  ssize_t n;
  do {
    n = ::write(fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  return static_cast<size_t>(n) == bytes.size() ? 0 : EIO;
}

// Inode flags through FS_IOC_GETFLAGS / FS_IOC_SETFLAGS. The kernel's ioctl takes an int even
// though the request is declared with a long; FUSE file systems may answer with 4 bytes only. An
// 8-byte zeroed buffer whose first 4 bytes carry the flags serves both.
bool GetInodeFlags(int fd, uint32_t& flags, int& error) {
  uint64_t buffer = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &buffer) != 0) {
    error = errno;
    return false;
  }
  std::memcpy(&flags, &buffer, sizeof flags);
  return true;
}

bool SetInodeFlags(int fd, uint32_t flags, int& error) {
  uint64_t buffer = 0;
  std::memcpy(&buffer, &flags, sizeof flags);
  if (::ioctl(fd, FS_IOC_SETFLAGS, &buffer) != 0) {
    error = errno;
    return false;
  }
  return true;
}

// Clears the immutable flag for the duration of a write and puts it back afterwards, only when it
// was set before: the write must leave the file's flags as it found them. A file system without
// inode flags (ENOTTY, EOPNOTSUPP) has nothing to clear, and the write simply goes ahead; so does
// one that refuses the change, and the open for writing then reports the refusal.
class ImmutableFlagGuard {
 public:
  explicit ImmutableFlagGuard(const std::string& path) : path_(path) {
    FileDescriptor fd(OpenRetrying(path, O_RDONLY | O_NONBLOCK));
    if (!fd.valid()) return;  // a new variable: nothing to clear
    int error = 0;
    uint32_t flags = 0;
    if (!GetInodeFlags(fd.get(), flags, error)) return;  // unsupported flags, or no access
    if (!(flags & kImmutableFlag)) return;
    if (SetInodeFlags(fd.get(), flags & ~kImmutableFlag, error)) {
      cleared_ = true;
      flags_ = flags;
    }
  }
  ~ImmutableFlagGuard() { Restore(); }
  ImmutableFlagGuard(const ImmutableFlagGuard&) = delete;
  ImmutableFlagGuard& operator=(const ImmutableFlagGuard&) = delete;

  void Restore() {
    if (!cleared_) return;
    cleared_ = false;
    FileDescriptor fd(OpenRetrying(path_, O_RDONLY | O_NONBLOCK));
    if (!fd.valid()) return;  // the write deleted the variable
    int error = 0;
    SetInodeFlags(fd.get(), flags_, error);
  }

 private:
  std::string path_;
  bool cleared_ = false;
  uint32_t flags_ = 0;
};

// ---- Interface selection, decided once per firmware access. ----

std::string SysfsDirectory(const FirmwareAccess& fw) { return fw.Path("efi/vars"); }
std::string EfivarfsDirectory(const FirmwareAccess& fw) { return fw.Path("efi/efivars"); }

bool SysfsInUse(FirmwareAccess& fw) {
  if (fw.sysfsInUse < 0) fw.sysfsInUse = IsDirectory(SysfsDirectory(fw)) ? 1 : 0;
  return fw.sysfsInUse == 1;
}

// efivarfs is usable when its directory exists and carries the efivarfs magic. A redirected
// firmware root (an emulator mount or a captured tree) is taken as it is.
bool EfivarfsUsable(FirmwareAccess& fw) {
  if (fw.efivarfsUsable < 0) {
    std::string dir = EfivarfsDirectory(fw);
    fw.efivarfsUsable = IsDirectory(dir) && (fw.RootOverridden() || IsEfivarfs(dir)) ? 1 : 0;
  }
  return fw.efivarfsUsable == 1;
}

std::string VariableFileName(const std::string& name, const EfiGuid& guid) {
  return name + "-" + FormatGuidText(guid);
}

// A variable above the read cap is not read, so whatever the caller takes from it (the questions
// it stores) goes missing: that is said once per variable and run, on the error stream and in
// the debug log, however often the variable is asked for.
void ReportTooLarge(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid) {
  std::string file = VariableFileName(name, guid);
  if (!fw.oversizedVariables.insert(file).second) return;
  constexpr unsigned long long kMaxData = kMaxVariableFileBytes - 4;
  Print(Stream::Err, L"ERROR: Variable %ls holds more than %llu bytes, the most the tool reads; it is taken as unreadable.\n",
        ToWide(file).c_str(), kMaxData);
  DebugLog(fw.log, LV_ALWS, "Variable %s holds more than %llu bytes: not read", file.c_str(), kMaxData);
}

// ---- sysfs interface. ----

struct AttributeName {
  const char* text;
  uint32_t bit;
};
constexpr AttributeName kAttributeNames[] = {
    {"EFI_VARIABLE_NON_VOLATILE", EFI_VARIABLE_NON_VOLATILE},
    {"EFI_VARIABLE_BOOTSERVICE_ACCESS", EFI_VARIABLE_BOOTSERVICE_ACCESS},
    {"EFI_VARIABLE_RUNTIME_ACCESS", EFI_VARIABLE_RUNTIME_ACCESS},
    {"EFI_VARIABLE_HARDWARE_ERROR_RECORD", EFI_VARIABLE_HARDWARE_ERROR_RECORD},
    {"EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS", EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS},
    {"EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS", EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS},
    {"EFI_VARIABLE_APPEND_WRITE", EFI_VARIABLE_APPEND_WRITE},
};

uint32_t ParseAttributeLines(std::string_view text) {
  uint32_t attributes = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    for (const AttributeName& a : kAttributeNames)
      if (line == a.text) attributes |= a.bit;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return attributes;
}

bool SysfsRead(const FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t& attributes,
               std::vector<uint8_t>& data, bool* tooLarge = nullptr) {
  std::string dir = SysfsDirectory(fw) + "/" + VariableFileName(name, guid);
  std::vector<uint8_t> bytes, attributeText;
  int error = 0;
  ReadResult read = ReadAll(dir + "/data", kMaxVariableFileBytes, bytes, error, false);
  if (read == ReadResult::TooLarge && tooLarge) *tooLarge = true;
  if (read != ReadResult::Ok) return false;
  if (ReadAll(dir + "/attributes", 64 * 1024, attributeText, error, false) != ReadResult::Ok) return false;
  attributes = ParseAttributeLines(std::string_view(reinterpret_cast<const char*>(attributeText.data()),
                                                    attributeText.size()));
  data = std::move(bytes);
  return true;
}

std::vector<uint8_t> BuildRawVarRecord(const std::string& name, const EfiGuid& guid, uint32_t attributes,
                                       std::span<const uint8_t> data) {
  std::vector<uint8_t> record(raw_var::kRecordBytes, 0);
  std::vector<uint8_t> name16 = WideToUtf16Bytes(ToWide(name), false);
  std::copy_n(name16.begin(), std::min(name16.size(), raw_var::kNameBytes - 2), record.begin());
  auto guidBytes = guid.ToBytes();
  std::copy(guidBytes.begin(), guidBytes.end(), record.begin() + raw_var::kGuidOffset);
  PutLe64(record.data() + raw_var::kDataSizeOffset, data.size());
  std::copy(data.begin(), data.end(), record.begin() + raw_var::kDataOffset);
  PutLe32(record.data() + raw_var::kAttributesOffset, attributes);
  return record;
}

// Only a variable that exists in the sysfs tree can be replaced there, and only when its data
// fits the record (the record's data field is never cut short).
bool SysfsWrite(const FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t attributes,
                std::span<const uint8_t> data, int& error) {
  if (data.size() > raw_var::kDataBytes) {
    error = EFBIG;
    return false;
  }
  uint32_t currentAttributes = 0;
  std::vector<uint8_t> current;
  if (!SysfsRead(fw, name, guid, currentAttributes, current)) {
    error = ENOENT;
    return false;
  }
  std::vector<uint8_t> record = BuildRawVarRecord(name, guid, attributes, data);
  std::string path = SysfsDirectory(fw) + "/" + VariableFileName(name, guid) + "/raw_var";
  FileDescriptor fd(OpenRetrying(path, O_WRONLY));
  if (!fd.valid()) {
    error = errno;
    return false;
  }
  error = WriteOnce(fd.get(), record);
  if (error == 0) error = fd.Close();
  return error == 0;
}

// ---- efivarfs. ----

bool EfivarfsRead(const FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t& attributes,
                  std::vector<uint8_t>& data, bool& tooLarge) {
  std::vector<uint8_t> content;
  int error = 0;
  std::string path = EfivarfsDirectory(fw) + "/" + VariableFileName(name, guid);
  ReadResult read = ReadAll(path, kMaxVariableFileBytes, content, error, true);
  if (read == ReadResult::TooLarge) tooLarge = true;
  if (read != ReadResult::Ok) return false;
  // A file shorter than the attribute word holds no variable (efivarfs leaves such a file behind
  // after a rejected write).
  if (content.size() < 4) return false;
  attributes = Le32(content, 0);
  data.assign(content.begin() + 4, content.end());
  return true;
}

bool EfivarfsWrite(const FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t attributes,
                   std::span<const uint8_t> data, int& error) {
  std::string path = EfivarfsDirectory(fw) + "/" + VariableFileName(name, guid);
  std::vector<uint8_t> content;
  content.reserve(4 + data.size());
  AppendLe32(content, attributes);
  content.insert(content.end(), data.begin(), data.end());

  ImmutableFlagGuard flagGuard(path);
  bool deleting = data.empty();
  // Deleting a variable that does not exist must not create its file.
  FileDescriptor fd(OpenRetrying(path, deleting ? O_WRONLY : O_WRONLY | O_CREAT, 0600));
  if (!fd.valid()) {
    error = errno;
    return false;
  }
  // Plain file systems keep stale bytes past a shorter write; efivarfs ignores the size.
  (void)::ftruncate(fd.get(), static_cast<off_t>(content.size()));
  error = WriteOnce(fd.get(), content);
  int closeError = fd.Close();
  if (error == 0) error = closeError;
  if (error != 0) return false;
  if (deleting && Exists(path)) {
    // efivarfs removes the file when the variable goes away; a file system that kept it (a
    // plain directory) gets it removed here, so that the variable is gone either way.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = errno;
      return false;
    }
  }
  return true;
}

// Keeps the error of a failed write for the caller. A store mounted read-only fails every write
// the same way: that is said once, with the remedy, instead of letting each caller report its
// own failure as if the firmware had refused it.
void NoteWriteFailure(FirmwareAccess& fw, int error) {
  fw.lastWriteError = error;
  if (error != EROFS || fw.readOnlyReported) return;
  std::string directory;
  if (!VariableStoreReadOnly(fw, &directory)) return;
  fw.readOnlyReported = true;
  Print(Stream::Err,
        L"ERROR: UEFI variables cannot be written: %ls is mounted read-only. Remount it read-write (mount -o "
        L"remount,rw %ls) and run the tool again.\n",
        ToWide(directory).c_str(), ToWide(directory).c_str());
}

}  // namespace

bool CheckVariableName(std::string_view name) {
  if (name.empty()) {
    Err(L"ERROR: A variable name must not be empty.\n");
    return false;
  }
  if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
    Print(Stream::Err, L"ERROR: Variable name '%ls' must not contain '/'.\n", ToWide(name).c_str());
    return false;
  }
  if (name.size() > kMaxVariableNameBytes) {
    Print(Stream::Err, L"ERROR: Variable name '%ls' is longer than %d bytes.\n", ToWide(name).c_str(),
          static_cast<int>(kMaxVariableNameBytes));
    return false;
  }
  return true;
}

Status ReadEfiVariable(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t& attributes,
                       std::vector<uint8_t>& data) {
  if (!CheckVariableName(name)) return status::kFailure;
  uint32_t attr = 0;
  std::vector<uint8_t> bytes;
  bool tooLarge = false;
  bool read = (SysfsInUse(fw) && SysfsRead(fw, name, guid, attr, bytes, &tooLarge)) ||
              (EfivarfsUsable(fw) && EfivarfsRead(fw, name, guid, attr, bytes, tooLarge));
  if (fw.readRecord) {
    auto [at, added] = fw.readRecord->try_emplace(name + "-" + FormatGuidText(guid));
    if (added) at->second = {name, guid, attr, read ? std::optional(bytes) : std::nullopt};
  }
  if (read) {
    attributes = attr;
    data = std::move(bytes);
    return status::kSuccess;
  }
  if (tooLarge) ReportTooLarge(fw, name, guid);
  return status::kFailure;
}

Status WriteEfiVariable(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data) {
  if (!CheckVariableName(name)) {
    fw.lastWriteError = name.size() > kMaxVariableNameBytes ? ENAMETOOLONG : EINVAL;
    return status::kFailure;
  }
  // Under a journal, what the variable holds before the first write of it.
  std::optional<FirmwareAccess::VariableContent> before;
  if (fw.journal && !IsMailbox(fw, name, guid) &&
      std::none_of(fw.journal->begin(), fw.journal->end(),
                   [&](const FirmwareAccess::VariableContent& v) { return v.guid == guid && v.name == name; })) {
    before.emplace();
    before->name = name;
    before->guid = guid;
    std::vector<uint8_t> bytes;
    if (ReadEfiVariable(fw, name, guid, before->attributes, bytes) == status::kSuccess) before->data = std::move(bytes);
  }
  int error = ENODEV;  // neither interface is available
  bool written = (SysfsInUse(fw) && SysfsWrite(fw, name, guid, attributes, data, error)) ||
                 (EfivarfsUsable(fw) && EfivarfsWrite(fw, name, guid, attributes, data, error));
  if (!written) {
    NoteWriteFailure(fw, error);
    return status::kFailure;
  }
  fw.lastWriteError = 0;
  if (before) fw.journal->push_back(std::move(*before));
  return status::kSuccess;
}

std::vector<std::string> UndoWrites(FirmwareAccess& fw, std::vector<FirmwareAccess::VariableContent>& journal) {
  std::vector<FirmwareAccess::VariableContent> written = std::move(journal);
  journal.clear();
  std::vector<FirmwareAccess::VariableContent>* kept = fw.journal;
  fw.journal = nullptr;  // putting back is not itself noted
  std::vector<std::string> failed;
  for (auto it = written.rbegin(); it != written.rend(); ++it) {
    Status put;
    if (it->data) {
      put = WriteEfiVariable(fw, it->name, it->guid, it->attributes, *it->data);
    } else {
      // It did not exist: deleted again, with the attributes it has now.
      uint32_t attributes = 0;
      std::vector<uint8_t> bytes;
      put = ReadEfiVariable(fw, it->name, it->guid, attributes, bytes) == status::kSuccess
                ? WriteEfiVariable(fw, it->name, it->guid, attributes, {})
                : status::kSuccess;
    }
    if (put != status::kSuccess) failed.push_back(it->name);
  }
  fw.journal = kept;
  return failed;
}

std::optional<std::vector<uint8_t>> GetNVRAMVariable(FirmwareAccess& fw, std::wstring_view name, const EfiGuid& guid,
                                                     uint32_t* attributes) {
  if (name.empty()) return std::nullopt;
  uint32_t attr = 0;
  std::vector<uint8_t> data;
  if (ReadEfiVariable(fw, ToNarrow(name), guid, attr, data) != status::kSuccess) return std::nullopt;
  if (attributes) *attributes = attr;
  return data;
}

Status SetNVRAMVariable(FirmwareAccess& fw, std::wstring_view name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data) {
  if (name.empty() || attributes == 0) {
    fw.lastWriteError = EINVAL;
    return kSetVariableBadArguments;
  }
  return WriteEfiVariable(fw, ToNarrow(name), guid, attributes, data);
}

bool VariableStoreReadOnly(FirmwareAccess& fw, std::string* directory) {
  std::string dir;
  if (SysfsInUse(fw)) dir = SysfsDirectory(fw);
  else if (EfivarfsUsable(fw)) dir = EfivarfsDirectory(fw);
  else return false;
  if (directory) *directory = dir;
  struct statvfs st {};
  return ::statvfs(dir.c_str(), &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
}

VariableExchange::VariableExchange(FirmwareAccess& fw, std::string name, const EfiGuid& guid)
    : fw_(fw), name_(std::move(name)), guid_(guid) {
  // A name the store refuses goes the general way, which reports it on every call.
  if (SysfsInUse(fw_) || !EfivarfsUsable(fw_) || !CheckVariableName(name_)) return;
  // The file is opened relative to its directory, held for the whole exchange, so that no open
  // walks the path from the root again.
  directory_ = OpenRetrying(EfivarfsDirectory(fw_), O_PATH | O_DIRECTORY);
  if (directory_ < 0) return;
  direct_ = true;
  fileName_ = VariableFileName(name_, guid_);
  FileDescriptor fd(OpenRetrying(directory_, fileName_, O_RDONLY | O_NONBLOCK));
  if (fd.valid()) ClearImmutableFlag(fd.get());  // else the first write creates the file
}

VariableExchange::~VariableExchange() {
  if (flagCleared_) {
    FileDescriptor fd(OpenRetrying(directory_, fileName_, O_RDONLY | O_NONBLOCK));
    int error = 0;
    if (fd.valid()) SetInodeFlags(fd.get(), flags_, error);  // else the variable went away
  }
  if (directory_ >= 0) ::close(directory_);
}

// Looks at the flags once per exchange. Without inode flags (ENOTTY, EOPNOTSUPP) or the right to
// change them there is nothing to do: the write then reports the refusal.
void VariableExchange::ClearImmutableFlag(int fd) {
  flagChecked_ = true;
  int error = 0;
  uint32_t flags = 0;
  if (!GetInodeFlags(fd, flags, error) || !(flags & kImmutableFlag)) return;
  if (SetInodeFlags(fd, flags & ~kImmutableFlag, error)) {
    flagCleared_ = true;
    flags_ = flags;
  }
}

Status VariableExchange::Write(uint32_t attributes, std::span<const uint8_t> data) {
  // A delete removes the file, and with it the flag this exchange looks after.
  if (!direct_ || data.empty()) return WriteEfiVariable(fw_, name_, guid_, attributes, data);
  buffer_.clear();
  AppendLe32(buffer_, attributes);
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  // No truncation: efivarfs takes each write() as the whole variable.
  FileDescriptor fd(OpenRetrying(directory_, fileName_, O_WRONLY | O_CREAT, 0600));
  if (!fd.valid()) {
    NoteWriteFailure(fw_, errno);
    return status::kFailure;
  }
  int error = WriteOnce(fd.get(), buffer_);
  // A file created by this write carries the immutable flag from now on.
  if (!flagChecked_) ClearImmutableFlag(fd.get());
  int closeError = fd.Close();
  if (error == 0) error = closeError;
  if (error != 0) {
    NoteWriteFailure(fw_, error);
    return status::kFailure;
  }
  fw_.lastWriteError = 0;
  lastWriteBytes_ = buffer_.size();
  return status::kSuccess;
}

Status VariableExchange::Read(uint32_t& attributes, std::vector<uint8_t>& data) {
  if (!direct_) return ReadEfiVariable(fw_, name_, guid_, attributes, data);
  FileDescriptor fd(OpenRetrying(directory_, fileName_, O_RDONLY));
  if (!fd.valid()) return status::kFailure;
  // Room for an answer as long as the last write and one byte more: a read() that does not fill
  // its buffer has returned the whole variable (efivarfs hands over all of it in one call), so
  // only a longer answer needs a second read.
  size_t capacity = std::max<size_t>(lastWriteBytes_ + 1, 4096);
  if (buffer_.size() < capacity) buffer_.resize(capacity);
  size_t used = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer_.data() + used, buffer_.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return status::kFailure;
    }
    used += static_cast<size_t>(n);
    if (used < buffer_.size()) break;
    if (buffer_.size() > kMaxVariableFileBytes) {
      ReportTooLarge(fw_, name_, guid_);
      return status::kFailure;
    }
    buffer_.resize(std::min(buffer_.size() * 2, kMaxVariableFileBytes + 1));
  }
  // Shorter than the attribute word: no variable (see EfivarfsRead).
  if (used < 4) return status::kFailure;
  attributes = Le32(Bytes(buffer_.data(), used), 0);
  data.assign(buffer_.begin() + 4, buffer_.begin() + static_cast<ptrdiff_t>(used));
  return status::kSuccess;
}

}  // namespace kes
