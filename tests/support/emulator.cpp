#include "tests/support/emulator.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "base/le.h"

extern char** environ;

namespace kes::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(20);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::string EmulatorPath() {
#ifdef KESTREL_FWEMU_PATH
  return KESTREL_FWEMU_PATH;
#else
  return "";
#endif
}

int DecodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

ProcessOptions UnmountOptions() {
  ProcessOptions options;
  options.timeoutSeconds = 20;
  return options;
}

}  // namespace

std::string VarFileName(const std::string& name, const std::string& guidText) { return name + "-" + guidText; }

std::vector<uint8_t> VarFileBytes(uint32_t attributes, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes;
  AppendLe32(bytes, attributes);
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

FirmwareImage::FirmwareImage(std::string dir) : dir_(std::move(dir)) { MakeDirs(dir_ + "/vars"); }

FirmwareImage& FirmwareImage::Hii(const std::vector<uint8_t>& bytes) {
  WriteFileBytes(dir_ + "/hii.bin", bytes);
  return *this;
}

FirmwareImage& FirmwareImage::Fidt(const std::vector<uint8_t>& bytes) {
  WriteFileBytes(dir_ + "/FIDT", bytes);
  return *this;
}

FirmwareImage& FirmwareImage::Var(const std::string& name, const std::string& guidText, uint32_t attributes,
                                  const std::vector<uint8_t>& data) {
  WriteFileBytes(dir_ + "/vars/" + VarFileName(name, guidText), VarFileBytes(attributes, data));
  return *this;
}

FirmwareImage& FirmwareImage::Config(const std::string& text) {
  WriteFileText(dir_ + "/fwemu.conf", text);
  return *this;
}

Emulator::Emulator(const std::string& imageDir, const std::vector<std::string>& extraArgs)
    : mountPoint_(work_ / "mnt"), outputFile_(work_ / "emulator-output.txt"), requestLogFile_(work_ / "requests.log") {
  MakeDirs(mountPoint_);
  WriteFileText(work_ / "boot_id", "emulated-boot-1\n");
  std::string program = EmulatorPath();
  if (program.empty()) {
    failure_ = "kestrel-fwemu was not built (configure with libfuse3-dev installed and KESTREL_EMULATOR=ON)";
    return;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    failure_ = "/dev/fuse is not usable here: " + std::string(std::strerror(errno));
    return;
  }
  std::vector<std::string> argvText = {program, "-f", "--request-log", requestLogFile_};
  argvText.insert(argvText.end(), extraArgs.begin(), extraArgs.end());
  argvText.push_back(imageDir);
  argvText.push_back(mountPoint_);
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    failure_ = "cannot start " + program + ": " + std::strerror(rc);
    return;
  }

  auto deadline = Clock::now() + kStartTimeout;
  while (true) {
    struct stat st {};
    if (Mounted() && stat((efivars()).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitStatus_ = DecodeWaitStatus(status);
      failure_ = "kestrel-fwemu exited with status " + std::to_string(exitStatus_) + " before mounting:\n" + Output();
      return;
    }
    if (Clock::now() > deadline) {
      failure_ = "kestrel-fwemu did not mount within the time limit:\n" + Output();
      Stop(SIGKILL);
      return;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

Emulator::~Emulator() {
  Stop();
  ForceUnmount();
  // The mount point must be empty and unmounted before the work directory is removed.
  rmdir(mountPoint_.c_str());
}

::testing::AssertionResult Emulator::Started() const {
  if (failure_.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "firmware emulator not running: " << failure_;
}

std::string Emulator::VarPath(const std::string& name, const std::string& guidText) const {
  return efivars() + "/" + VarFileName(name, guidText);
}

std::map<std::string, std::string> Emulator::Env() const {
  return {{"KESTREL_SYSFS_FIRMWARE", mountPoint_}, {"KESTREL_STATE_DIR", StateDir()}, {"KESTREL_BOOT_ID", work_ / "boot_id"}};
}

std::string Emulator::StateDir() const { return work_ / "state/journal"; }

void Emulator::Reboot() { WriteFileText(work_ / "boot_id", "emulated-boot-" + std::to_string(++boots_) + "\n"); }

bool Emulator::Mounted() const {
  struct stat mnt {}, parent {};
  if (stat(mountPoint_.c_str(), &mnt) != 0) return errno == ENOTCONN;  // a dead FUSE mount
  if (stat(work_.path().c_str(), &parent) != 0) return false;
  return mnt.st_dev != parent.st_dev;
}

int Emulator::Stop(int signal) {
  if (pid_ <= 0) return exitStatus_;
  if (signal == 0) {
    ProcessResult r = RunProcess({"fusermount3", "-u", mountPoint_}, UnmountOptions());
    if (r.exitCode != 0) signal = SIGTERM;  // busy or no fusermount3: let the emulator unmount itself
  }
  if (signal != 0) kill(pid_, signal);
  auto deadline = Clock::now() + kStopTimeout;
  int status = 0;
  while (true) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) break;
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  pid_ = -1;
  exitStatus_ = DecodeWaitStatus(status);
  ForceUnmount();
  return exitStatus_;
}

void Emulator::ForceUnmount() {
  if (!Mounted()) return;
  RunProcess({"fusermount3", "-u", "-z", mountPoint_}, UnmountOptions());
  if (Mounted()) umount2(mountPoint_.c_str(), MNT_DETACH);
}

std::string Emulator::Output() const { return ReadFileText(outputFile_); }

std::vector<std::string> Emulator::RequestLog() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileText(requestLogFile_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace kes::test
