#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

#include "hii/hii_database.h"
#include "hii/hii_format.h"
#include "hii/question_model.h"
#include "devtools/hiibuild/generators.h"

namespace kes::hiibuild {

namespace fs = std::filesystem;

namespace {

std::string AsciiName(Bytes op, size_t offset) {
  std::string name;
  for (size_t i = offset; i < op.size() && op[i] != 0; ++i) name.push_back(static_cast<char>(op[i]));
  return name;
}

// "<Name>-<guid>": the GUID is the last 36 characters, after a '-'.
std::optional<Variable> ReadVariableFile(const fs::path& path) {
  std::string file = path.filename().string();
  if (file.size() < 38 || file[file.size() - 37] != '-') return std::nullopt;
  auto guid = ParseGuidText(std::string_view(file).substr(file.size() - 36));
  if (!guid) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && in.fail()) return std::nullopt;
  if (bytes.size() < 4) return std::nullopt;
  Variable v;
  v.name = file.substr(0, file.size() - 37);
  v.guid = *guid;
  v.attributes = Le32(bytes, 0);
  v.data.assign(bytes.begin() + 4, bytes.end());
  return v;
}

}  // namespace

std::vector<Variable> DeclaredVariables(Bytes hii) {
  HiiDatabase database(hii);
  std::vector<Variable> out;
  std::set<std::pair<std::string, std::string>> seen;
  if (database.Format() != HiiFormat::Uefi) return out;
  for (const PackageList& list : database.Lists()) {
    for (const Package& p : database.PackagesOf(list)) {
      if (p.type != hii::kPackageForms) continue;
      size_t limit = p.offset + p.bytes.size();
      ForEachOp(hii, p.offset + hii::kPackageHeaderSize, limit, [&](const IfrOp& op) {
        Variable v;
        uint32_t size = 0;
        if (op.code == hii::IFR_VARSTORE && op.bytes.size() > hii::kVarStoreName) {
          v.guid = EfiGuid::FromBytes(op.bytes, hii::kVarStoreGuid);
          v.name = AsciiName(op.bytes, hii::kVarStoreName);
          size = Le16(op.bytes, hii::kVarStoreSize);
        } else if (op.code == hii::IFR_VARSTORE_EFI && op.bytes.size() > hii::kVarStoreEfiName) {
          v.guid = EfiGuid::FromBytes(op.bytes, hii::kVarStoreEfiGuid);
          v.name = AsciiName(op.bytes, hii::kVarStoreEfiName);
          size = Le16(op.bytes, hii::kVarStoreEfiSize);
        } else {
          return true;
        }
        if (size == 0 || v.name.empty() || !seen.insert({FormatGuidText(v.guid), v.name}).second) return true;
        v.data.assign(size, 0);
        out.push_back(std::move(v));
        return true;
      });
    }
  }
  return out;
}

std::string CaptureImage(std::vector<uint8_t> hii, const std::string& varsDir, EmulatorImage& image) {
  image = EmulatorImage{};
  std::vector<Variable> variables;
  std::set<std::pair<std::string, std::string>> captured;
  if (!varsDir.empty()) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(varsDir, ec)) {
      if (!entry.is_regular_file()) continue;
      auto v = ReadVariableFile(entry.path());
      if (!v) return "not a variable file in efivarfs form: " + entry.path().string();
      captured.insert({FormatGuidText(v->guid), v->name});
      variables.push_back(std::move(*v));
    }
    if (ec) return "cannot read " + varsDir + ": " + ec.message();
  }
  for (Variable& v : DeclaredVariables(hii))
    if (!captured.count({FormatGuidText(v.guid), v.name})) variables.push_back(std::move(v));
  std::sort(variables.begin(), variables.end(),
            [](const Variable& a, const Variable& b) { return EfivarfsFileName(a) < EfivarfsFileName(b); });
  image.hii = std::move(hii);
  image.fidt = SupportedFidtTable();
  image.variables = std::move(variables);
  return "";
}

}  // namespace kes::hiibuild
