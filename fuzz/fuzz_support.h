// Shared by the fuzz targets: a temporary firmware root the process owns (efivarfs directory and
// a supported identification table, filled with the demo firmware's variables once), removed at
// exit, and helpers to write a fuzz input into it. Nothing outside the temporary directory is
// touched; console output is captured by each target around the code under test.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/guid.h"
#include "firmware/firmware_access.h"
#include "devtools/hiibuild/emulator_image.h"
#include "devtools/hiibuild/generators.h"

namespace kes::fuzz {

// A directory under $TMPDIR (or /tmp) that lives as long as the object.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-fuzz-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = buffer.data();
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  // Removes everything inside the directory, keeping the directory.
  void Empty() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
      std::filesystem::remove_all(entry.path(), ignored);
  }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::perror(path.c_str());
    std::abort();
  }
  if (size) std::fwrite(data, 1, size, file);
  std::fclose(file);
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteFile(path, bytes.data(), bytes.size());
}

// A firmware root: acpi/tables/FIDT (supported) and efi/efivars holding the demo firmware's
// variables (Setup and the other varstores, StdDefaults, MfgDefaults), or efi/vars only for the
// older sysfs interface.
class FirmwareRoot {
 public:
  explicit FirmwareRoot(const char* tag, bool withDemoVariables = true, bool sysfs = false) : dir_(tag) {
    hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
    WriteFile(dir_ / "acpi/tables/FIDT", demo.fidt ? *demo.fidt : hiibuild::SupportedFidtTable());
    std::error_code ignored;
    if (sysfs) {
      std::filesystem::create_directories(dir_ / "efi/vars", ignored);
    } else {
      std::filesystem::create_directories(dir_ / "efi/efivars", ignored);
      if (withDemoVariables) hiibuild::WriteVariableFiles(dir_ / "efi/efivars", demo.variables);
    }
  }
  const std::string& path() const { return dir_.path(); }
  std::string operator/(std::string_view name) const { return dir_ / name; }
  // A fresh access rooted here, as the driver creates one per run.
  FirmwareAccess Access() const { return FirmwareAccess(dir_.path(), true); }

 private:
  ScratchDir dir_;
};

// A firmware root and a working directory of their own, for the targets that run the command
// line (which opens and creates files relative to the working directory).
struct CommandLineWorkspace {
  FirmwareRoot root;
  ScratchDir cwd;
  CommandLineWorkspace(const char* rootTag, const char* cwdTag) : root(rootTag), cwd(cwdTag) {
    setenv("KESTREL_SYSFS_FIRMWARE", root.path().c_str(), 1);
    if (chdir(cwd.path().c_str()) != 0) std::abort();
  }
};

// An argument vector over `words` as main() receives it: pointers into the strings, then null.
inline std::vector<char*> ArgvOf(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// Reads a whole memory stream opened with open_memstream after it was closed.
struct MemoryFile {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* file = nullptr;
  MemoryFile() { file = open_memstream(&data, &size); }
  ~MemoryFile() {
    if (file) std::fclose(file);
    std::free(data);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
};

// Splits the input at `separator` bytes into parts (the last part may be empty).
inline std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<char>(data[i]) == separator) parts.emplace_back();
    else parts.back().push_back(static_cast<char>(data[i]));
  }
  return parts;
}

// The PLDM target's firmware: the demo firmware's first package list (questions of every kind)
// and its last (the boot manager: language, boot order and legacy order controls), so that each
// import walks a few hundred questions rather than the whole demo.
inline std::vector<uint8_t> PldmFuzzImage(const std::vector<uint8_t>& demoHii) {
  std::vector<std::pair<size_t, size_t>> lists;  // offset, length
  for (size_t at = 0; at + 20 <= demoHii.size();) {
    size_t length = demoHii[at + 16] | demoHii[at + 17] << 8 | demoHii[at + 18] << 16 | size_t{demoHii[at + 19]} << 24;
    if (length == 0 || at + length > demoHii.size()) break;
    lists.emplace_back(at, length);
    at += length;
  }
  std::vector<uint8_t> image;
  if (lists.empty()) return image;
  for (auto [at, length] : {lists.front(), lists.back()})
    image.insert(image.end(), demoHii.begin() + static_cast<std::ptrdiff_t>(at),
                 demoHii.begin() + static_cast<std::ptrdiff_t>(at + length));
  return image;
}

}  // namespace kes::fuzz
