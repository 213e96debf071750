// Helpers shared by the test suites: temporary directories, running the built tool (or any
// program) as a child process with its output captured, and small file utilities.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kes::test {

// A fresh directory under $TMPDIR, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ProcessResult {
  int exitCode = -1;     // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::map<std::string, std::string> env;  // set (or, with an empty value, set empty)
  std::vector<std::string> unsetEnv;
  std::string stdinData;                   // fed to standard input, then closed
  std::string workingDirectory;
  int timeoutSeconds = 120;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs the built KESLNX_64 with the given arguments (argv[0] is added).
ProcessResult RunTool(const std::vector<std::string>& args, const ProcessOptions& options = {});

std::string ToolPath();
std::string SourceDir();

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
void WriteFileText(const std::string& path, const std::string& text);
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void MakeDirs(const std::string& path);
// Replaces the first `from` in `text` with `to`; a test failure when there is none.
void Replace(std::string& text, const std::string& from, const std::string& to);
// Byte vectors for tests that spell out binary layouts: parts joined, and UCS-2 text with its NUL.
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts);
std::vector<uint8_t> Utf16(std::u16string_view text);

// A firmware tree for KESTREL_SYSFS_FIRMWARE: acpi/tables/FIDT holding a supported core version
// (or the given bytes) and an empty efi/efivars directory.
void MakeFirmwareTree(const std::string& root, std::optional<std::vector<uint8_t>> fidt = std::nullopt);
std::vector<uint8_t> SupportedFidt();

}  // namespace kes::test
