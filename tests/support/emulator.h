// Running the firmware emulator (kestrel-fwemu) for a test: an image directory built in a
// temporary directory, and an RAII mount of it that stands in for the firmware tree. The mount is
// always taken down by the destructor, also when the test fails.
//
//   TempDir tmp;
//   FirmwareImage image(tmp / "image");
//   image.Hii(bytes).Var("Setup", guidText, 7, data).Config("admin_password = secret\n");
//   Emulator emu(image.dir());
//   ASSERT_TRUE(emu.Started());
//   RunTool({...}, {.env = emu.Env()});
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kes::test {

// "Name-guid", the efivarfs file name of a variable.
std::string VarFileName(const std::string& name, const std::string& guidText);
// The efivarfs content of a variable: the 4-byte little-endian attribute word, then the data.
std::vector<uint8_t> VarFileBytes(uint32_t attributes, const std::vector<uint8_t>& data);

// Builds a firmware image directory for the emulator: fwemu.conf, hii.bin, FIDT, vars/.
class FirmwareImage {
 public:
  explicit FirmwareImage(std::string dir);  // creates dir and dir/vars
  const std::string& dir() const { return dir_; }
  FirmwareImage& Hii(const std::vector<uint8_t>& bytes);
  FirmwareImage& Fidt(const std::vector<uint8_t>& bytes = SupportedFidt());
  FirmwareImage& Var(const std::string& name, const std::string& guidText, uint32_t attributes,
                     const std::vector<uint8_t>& data);
  FirmwareImage& Config(const std::string& text);  // the whole fwemu.conf

 private:
  std::string dir_;
};

class Emulator {
 public:
  // Mounts imageDir on a fresh mount point with "kestrel-fwemu -f --request-log LOG [extraArgs]"
  // and waits until efi/efivars answers.
  explicit Emulator(const std::string& imageDir, const std::vector<std::string>& extraArgs = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Success once mounted; otherwise why not (emulator not built, no /dev/fuse, its own error).
  ::testing::AssertionResult Started() const;

  const std::string& root() const { return mountPoint_; }  // for KESTREL_SYSFS_FIRMWARE
  std::string efivars() const { return mountPoint_ + "/efi/efivars"; }
  std::string VarPath(const std::string& name, const std::string& guidText) const;
  // {KESTREL_SYSFS_FIRMWARE: root(), KESTREL_STATE_DIR: StateDir(), KESTREL_BOOT_ID: a file
  // holding the emulated machine's boot id}, for ProcessOptions::env.
  std::map<std::string, std::string> Env() const;
  // The emulated machine's journal directory (made by the first set that records a change).
  std::string StateDir() const;
  // Gives the emulated machine another boot id, as a reboot does (the variables stay as they are).
  void Reboot();

  // Ends the emulator: unmounts it (fusermount3 -u), or sends it `signal` when that is not 0.
  // Waits for it to exit and returns its exit status (128 + signal when a signal ended it).
  // Later calls return the same status.
  int Stop(int signal = 0);

  std::string Output() const;                    // what the emulator wrote to stderr/stdout
  std::vector<std::string> RequestLog() const;  // the lines of its --request-log

 private:
  bool Mounted() const;
  void ForceUnmount();

  TempDir work_;
  std::string mountPoint_;
  std::string outputFile_;
  std::string requestLogFile_;
  pid_t pid_ = -1;
  int boots_ = 1;
  int exitStatus_ = -1;
  std::string failure_;  // empty once started
};

}  // namespace kes::test
