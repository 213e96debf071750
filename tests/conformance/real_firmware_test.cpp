// Every HII database exported by real firmware in tests/data/real-hii/ is one machine (see the
// README there): the database, the variables captured with it (<capture>-vars/) and, for every
// other varstore its form sets declare, a zero-filled variable, as an unconfigured machine holds
// them. On each: the tool's own unedited script export imports under /r writing nothing; its PLDM
// export passes the checks a DSP0247 codec makes and imports unedited writing nothing; the
// kestrel-attrs registry validates against DMTF's schema; and a firmware-attributes mount reads
// every readable file (fwupd stops at the first one it cannot read).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "tests/pldm/pldm_decoder.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

std::string CaptureDir() { return SourceDir() + "/tests/data/real-hii"; }

// The captures: each "<capture>-hii.bin" of the folder, by name.
std::vector<std::string> Captures() {
  std::vector<std::string> out;
  const std::string suffix = "-hii.bin";
  if (DIR* dir = opendir(CaptureDir().c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        out.push_back(name.substr(0, name.size() - suffix.size()));
    }
    closedir(dir);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Every regular file under `dir`, relative to it.
void Files(const std::string& dir, const std::string& prefix, std::vector<std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) Files(dir + "/" + name, prefix + name + "/", out);
    else if (S_ISREG(st.st_mode)) out.push_back(prefix + name);
  }
  closedir(d);
}

std::map<std::string, std::vector<uint8_t>> Variables(const std::string& dir) {
  std::vector<std::string> names;
  Files(dir, "", names);
  std::map<std::string, std::vector<uint8_t>> out;
  for (const std::string& n : names) out[n] = ReadFileBytes(dir + "/" + n).value_or(std::vector<uint8_t>{});
  return out;
}

class RealFirmware : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    auto hii = ReadFileBytes(CaptureDir() + "/" + GetParam() + "-hii.bin");
    ASSERT_TRUE(hii);
    std::string vars = CaptureDir() + "/" + GetParam() + "-vars";
    struct stat st {};
    hiibuild::EmulatorImage image;
    ASSERT_EQ(hiibuild::CaptureImage(*hii, stat(vars.c_str(), &st) == 0 ? vars : "", image), "");
    ASSERT_FALSE(image.variables.empty());
    ASSERT_EQ(hiibuild::WriteEmulatorImage(image_, image), "");
  }
  TempDir dir_;
  const std::string image_ = dir_ / "image";
};

TEST_P(RealFirmware, UneditedExportsImportWritingNothing) {
  std::string saved = dir_ / "saved";
  auto before = Variables(image_ + "/vars");
  {
    Emulator emu(image_, {"--save-vars", saved});
    ASSERT_TRUE(emu.Started()) << emu.Output();
    auto tool = [&](std::vector<std::string> args) { return RunTool(args, {.env = emu.Env()}); };

    ProcessResult exported = tool({"/o", "/s", dir_ / "setup.txt"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    ProcessResult imported = tool({"/i", "/s", dir_ / "setup.txt", "/r"});
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.err.find("ERROR"), std::string::npos) << imported.err;
    EXPECT_EQ(imported.err.find("WARNING :"), std::string::npos) << imported.err;
    EXPECT_NE(imported.err.find("\nSystem configuration not modified.\n"), std::string::npos) << imported.err;

    ProcessResult pldm = tool({"/o", "/p", dir_ / "setup.pldm"});
    ASSERT_EQ(pldm.exitCode, 0) << pldm.err;
    PldmDecoded d = DecodePldmFile(ReadFileBytes(dir_ / "setup.pldm").value_or(std::vector<uint8_t>{}));
    ASSERT_TRUE(d.ok);
    EXPECT_FALSE(d.attributes.empty());
    for (const auto& t : d.tables) EXPECT_TRUE(t.length == 0 || t.checksumOk);
    for (const auto& a : d.attributes) EXPECT_EQ(CodecProblem(a), "") << "attribute " << a.handle << " " << d.Text(a.name);
    ProcessResult back = tool({"/i", "/p", dir_ / "setup.pldm"});
    EXPECT_EQ(back.exitCode, 0) << back.err;
    EXPECT_EQ(back.err.find("WARNING"), std::string::npos) << back.err;
    EXPECT_NE(back.err.find("\nSystem configuration not modified.\n"), std::string::npos) << back.err;
    ASSERT_EQ(emu.Stop(), 0) << emu.Output();
  }
  // Nothing written: every variable as the image holds it, none added.
  auto after = Variables(saved);
  EXPECT_EQ(after.size(), before.size());
  for (const auto& [name, bytes] : before) EXPECT_EQ(after[name], bytes) << name;
}

TEST_P(RealFirmware, RegistryValidatesAndTheMountReadsEveryFile) {
  std::vector<std::string> offline{KESTREL_ATTRS_PATH, "--hii", image_ + "/hii.bin", "--vars", image_ + "/vars"};
  auto attrs = [&](std::vector<std::string> args) {
    args.insert(args.begin(), offline.begin(), offline.end());
    return RunProcess(args);
  };
  ProcessResult registry = attrs({"registry", "-o", dir_ / "registry.json"});
  ASSERT_EQ(registry.exitCode, 0) << registry.err;
  std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  ProcessResult valid = RunProcess({python, SourceDir() + "/tests/companions/attrs/validate_redfish.py",
                                    SourceDir() + "/tests/data/redfish", "AttributeRegistry.v1_4_0.json",
                                    dir_ / "registry.json"});
  EXPECT_EQ(valid.exitCode, 0) << valid.out << valid.err;

  ASSERT_EQ(access("/dev/fuse", R_OK | W_OK), 0) << "/dev/fuse is not usable here: the mount needs FUSE";
  std::string mountPoint = dir_ / "attrs";
  MakeDirs(mountPoint);
  ProcessResult mounted = attrs({"mount", mountPoint, "--detach"});
  ASSERT_EQ(mounted.exitCode, 0) << mounted.err;
  struct Unmount {
    std::string at;
    ~Unmount() { RunProcess({"fusermount3", "-u", at}); }
  } unmount{mountPoint};
  std::vector<std::string> files;
  Files(mountPoint, "", files);
  size_t read = 0;
  for (const std::string& f : files) {
    std::string path = mountPoint + "/" + f;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << f;
    if (!(st.st_mode & S_IRUSR)) continue;  // write-only: the password files
    FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr) << f << ": " << std::strerror(errno);
    char buffer[4096];
    std::fread(buffer, 1, sizeof buffer, file);
    EXPECT_EQ(std::ferror(file), 0) << f;
    std::fclose(file);
    ++read;
  }
  EXPECT_GT(read, 10u);
}

INSTANTIATE_TEST_SUITE_P(Captures, RealFirmware, ::testing::ValuesIn(Captures()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace kes::test
