#include "devtools/hiibuild/emulator_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

namespace kes::hiibuild {

namespace fs = std::filesystem;

std::string EfivarfsFileName(const Variable& variable) {
  return variable.name + "-" + FormatGuidText(variable.guid);
}

std::vector<uint8_t> EfivarfsBytes(const Variable& variable) {
  std::vector<uint8_t> out;
  out.reserve(4 + variable.data.size());
  AppendLe32(out, variable.attributes);
  out.insert(out.end(), variable.data.begin(), variable.data.end());
  return out;
}

void VarBuffer::Check(size_t offset, size_t width) const {
  if (offset > bytes_.size() || width > bytes_.size() - offset) {
    throw std::out_of_range("value outside the variable");
  }
}

VarBuffer& VarBuffer::Put(size_t offset, uint64_t value, size_t width) {
  Check(offset, width);
  for (size_t i = 0; i < width; ++i) bytes_[offset + i] = i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
  return *this;
}

VarBuffer& VarBuffer::PutBytes(size_t offset, Bytes bytes) {
  Check(offset, bytes.size());
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return *this;
}

VarBuffer& VarBuffer::PutDate(size_t offset, uint16_t year, uint8_t month, uint8_t day) {
  Check(offset, 4);
  Put(offset, year, 2);
  bytes_[offset + 2] = month;
  bytes_[offset + 3] = day;
  return *this;
}

VarBuffer& VarBuffer::PutTime(size_t offset, uint8_t hour, uint8_t minute, uint8_t second) {
  Check(offset, 3);
  bytes_[offset] = hour;
  bytes_[offset + 1] = minute;
  bytes_[offset + 2] = second;
  return *this;
}

VarBuffer& VarBuffer::PutUcs2(size_t offset, std::wstring_view text, size_t fieldChars) {
  if (text.size() > fieldChars) throw std::out_of_range("text longer than its field");
  Check(offset, fieldChars * 2);
  for (size_t i = 0; i < fieldChars; ++i) {
    uint16_t unit = i < text.size() ? static_cast<uint16_t>(text[i]) : 0;
    Put(offset + 2 * i, unit, 2);
  }
  return *this;
}

std::vector<uint8_t> SupportedFidtTable() {
  std::vector<uint8_t> t(156, 0);
  const char header[] = "FIDT";
  std::memcpy(t.data(), header, 4);
  PutLe32(t.data() + 4, 156);         // Length
  t[8] = 1;                           // Revision
  std::memcpy(t.data() + 10, "KESTRL", 6);     // OEM ID
  std::memcpy(t.data() + 16, "DEMOFW  ", 8);   // OEM table ID
  PutLe32(t.data() + 24, 1);          // OEM revision
  std::memcpy(t.data() + 28, "KEST", 4);       // creator ID
  PutLe32(t.data() + 32, 1);          // creator revision
  t[68] = '0';
  t[69] = '5';
  t[70] = 0;
  uint8_t sum = 0;
  for (uint8_t b : t) sum = static_cast<uint8_t>(sum + b);
  t[9] = static_cast<uint8_t>(0x100 - sum);  // every byte sums to 0
  return t;
}

namespace {

std::string WriteAtomically(const fs::path& path, const uint8_t* data, size_t size) {
  fs::path temporary = path;
  temporary += ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) return "cannot create " + temporary.string() + ": " + std::strerror(errno);
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  int saved = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    std::remove(temporary.c_str());
    return "cannot write " + temporary.string() + ": " + std::strerror(saved);
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    std::remove(temporary.c_str());
    return "cannot rename " + temporary.string() + ": " + ec.message();
  }
  return {};
}

std::string WriteAtomically(const fs::path& path, const std::vector<uint8_t>& data) {
  return WriteAtomically(path, data.data(), data.size());
}

// Names that efivarfs can hold, each once.
std::string CheckNames(const std::vector<Variable>& variables, std::set<std::string>& names) {
  for (const Variable& v : variables) {
    if (v.name.empty() || v.name.find('/') != std::string::npos || v.name.find('\0') != std::string::npos) {
      return "invalid variable name \"" + v.name + "\"";
    }
    if (!names.insert(EfivarfsFileName(v)).second) return "variable " + EfivarfsFileName(v) + " given twice";
  }
  return {};
}

std::string WriteFiles(const fs::path& directory, const std::vector<Variable>& variables) {
  for (const Variable& v : variables) {
    std::string error = WriteAtomically(directory / EfivarfsFileName(v), EfivarfsBytes(v));
    if (!error.empty()) return error;
  }
  return {};
}

}  // namespace

std::string WriteVariableFiles(const std::string& directory, const std::vector<Variable>& variables) {
  std::set<std::string> names;
  std::string error = CheckNames(variables, names);
  if (!error.empty()) return error;
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) return "cannot create " + directory + ": " + ec.message();
  return WriteFiles(directory, variables);
}

std::string WriteEmulatorImage(const std::string& directory, const EmulatorImage& image) {
  std::set<std::string> names;
  std::string error = CheckNames(image.variables, names);
  if (!error.empty()) return error;

  std::error_code ec;
  fs::path root(directory);
  fs::path vars = root / "vars";
  fs::create_directories(vars, ec);
  if (ec) return "cannot create " + vars.string() + ": " + ec.message();

  if (!image.config.empty()) {
    error = WriteAtomically(root / "fwemu.conf", reinterpret_cast<const uint8_t*>(image.config.data()),
                            image.config.size());
    if (!error.empty()) return error;
  }
  if (!(error = WriteAtomically(root / "hii.bin", image.hii)).empty()) return error;
  if (image.fidt) {
    if (!(error = WriteAtomically(root / "FIDT", *image.fidt)).empty()) return error;
  } else {
    fs::remove(root / "FIDT", ec);
  }

  // Variables of an earlier image that this one does not have must not survive in vars/.
  std::vector<fs::path> stale;
  for (const auto& entry : fs::directory_iterator(vars, ec)) {
    if (entry.is_regular_file() && names.count(entry.path().filename().string()) == 0) {
      stale.push_back(entry.path());
    }
  }
  for (const auto& path : stale) fs::remove(path, ec);
  return WriteFiles(vars, image.variables);
}

}  // namespace kes::hiibuild
