#include "companions/fwemu/image.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "base/le.h"

namespace kes::fwemu {

namespace fs = std::filesystem;

namespace {

enum class ReadResult { kOk, kMissing, kFailed };

// kFailed comes with a message in error. Only a regular file is read: a directory opens like a
// file, and reading it then throws from inside the stream.
ReadResult ReadFile(const fs::path& path, std::vector<uint8_t>& out, std::string& error) {
  std::error_code ec;
  fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) return ReadResult::kMissing;
  if (!fs::is_regular_file(status)) {
    error = path.string() + " is not a regular file";
    return ReadResult::kFailed;
  }
  try {
    std::ifstream f(path, std::ios::binary);
    if (f) {
      out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
      if (!f.bad()) return ReadResult::kOk;
    }
  } catch (const std::exception&) {
  }
  error = "cannot read " + path.string();
  return ReadResult::kFailed;
}

// A table with a valid ACPI header: signature, length, revision 1 and checksum.
std::vector<uint8_t> MakeFidt() {
  std::vector<uint8_t> table(kFidtSize, 0);
  std::copy_n("FIDT", 4, table.begin());
  PutLe32(table.data() + 4, static_cast<uint32_t>(kFidtSize));
  table[8] = 1;
  return table;
}

void FixChecksum(std::vector<uint8_t>& table) {
  if (table.size() < 10) return;
  table[9] = 0;
  uint8_t sum = 0;
  for (uint8_t b : table) sum = static_cast<uint8_t>(sum + b);
  table[9] = static_cast<uint8_t>(0x100 - sum);
}

bool WriteFileAtomically(const fs::path& path, const std::vector<uint8_t>& bytes, std::string& error) {
  fs::path temp = path;
  temp += ".fwemu-tmp";
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) {
      error = "cannot write " + temp.string();
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    error = "cannot rename " + temp.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace

bool LoadImage(const std::string& dir, Image& image, std::string& error) {
  std::error_code ec;
  fs::path root(dir);
  if (!fs::is_directory(root, ec)) {
    error = "image directory " + dir + (fs::exists(root, ec) ? " is not a directory" : " does not exist");
    return false;
  }
  std::vector<uint8_t> bytes;
  switch (ReadFile(root / "fwemu.conf", bytes, error)) {
    case ReadResult::kOk:
      if (!ParseConfig(std::string(bytes.begin(), bytes.end()), image.config, error)) return false;
      break;
    case ReadResult::kMissing: break;
    case ReadResult::kFailed: return false;
  }
  if (ReadFile(root / "hii.bin", image.hiiDatabase, error) == ReadResult::kFailed) return false;
  switch (ReadFile(root / "FIDT", bytes, error)) {
    case ReadResult::kOk: image.fidt = bytes; break;
    case ReadResult::kMissing: break;
    case ReadResult::kFailed: return false;
  }
  if (image.config.fidtCoreVersion) {
    if (!image.fidt) image.fidt = MakeFidt();
    if (image.fidt->size() < kFidtSize) image.fidt->resize(kFidtSize, 0);
    (*image.fidt)[kFidtCoreVersionOffset] = static_cast<uint8_t>((*image.config.fidtCoreVersion)[0]);
    (*image.fidt)[kFidtCoreVersionOffset + 1] = static_cast<uint8_t>((*image.config.fidtCoreVersion)[1]);
    (*image.fidt)[kFidtCoreVersionOffset + 2] = 0;
    FixChecksum(*image.fidt);
  }
  if (image.config.fidtAbsent) image.fidt.reset();

  fs::path vars = root / "vars";
  if (!fs::exists(vars, ec)) return true;
  if (!fs::is_directory(vars, ec)) {
    error = vars.string() + " is not a directory";
    return false;
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(vars, ec)) files.push_back(entry.path());
  if (ec) {
    error = "cannot list " + vars.string() + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  std::set<VariableId> seen;
  for (const auto& path : files) {
    std::string fileName = path.filename().string();
    if (fileName.front() == '.') continue;
    if (!fs::is_regular_file(path, ec)) {
      image.warnings.push_back("vars/" + fileName + " is not a regular file: skipped");
      continue;
    }
    auto id = ParseVariableFileName(fileName);
    if (!id) {
      error = "vars/" + fileName + ": a variable file is named Name-GUID";
      return false;
    }
    if (!seen.insert(*id).second) {
      error = "vars/" + fileName + ": the variable appears twice";
      return false;
    }
    if (ReadFile(path, bytes, error) != ReadResult::kOk) {
      if (error.empty()) error = "cannot read " + path.string();
      return false;
    }
    // Like efivarfs, a file without attribute word and data is no variable.
    if (bytes.size() <= 4) {
      image.warnings.push_back("vars/" + fileName + " holds no data (" + std::to_string(bytes.size()) +
                               " bytes): skipped");
      continue;
    }
    Variable v;
    v.id = *id;
    v.attributes = Le32(Bytes(bytes.data(), bytes.size()), 0);
    v.data.assign(bytes.begin() + 4, bytes.end());
    image.variables.push_back(std::move(v));
  }
  return true;
}

bool SaveVariables(const std::string& dir, const FirmwareModel& firmware, std::string& error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) {
    error = "cannot create " + dir;
    return false;
  }
  std::set<std::string> written;
  for (const auto& v : firmware.variables().All()) {
    if (v.id == firmware.config().mailbox) continue;
    std::vector<uint8_t> bytes;
    AppendLe32(bytes, v.attributes);
    bytes.insert(bytes.end(), v.data.begin(), v.data.end());
    std::string fileName = VariableFileName(v.id);
    if (!WriteFileAtomically(fs::path(dir) / fileName, bytes, error)) return false;
    written.insert(fileName);
  }
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::string fileName = entry.path().filename().string();
    if (ParseVariableFileName(fileName) && !written.count(fileName) && entry.is_regular_file(ec)) {
      fs::remove(entry.path(), ec);
    }
  }
  return true;
}

}  // namespace kes::fwemu
