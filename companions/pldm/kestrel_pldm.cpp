// kestrel-pldm: what a PLDM file holds, and a copy of it with new current values.
//
//   kestrel-pldm dump FILE [--json]
//   kestrel-pldm set FILE OUT KEYWORD=VALUE... | @HANDLE=VALUE...
//
// The file is read with the tool's own bounded reader (pldm/pldm_format.h). Exit status: 0 done,
// 1 a value refused or a table damaged, 2 bad usage or an unreadable file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/console.h"
#include "base/output_file.h"
#include "base/text.h"
#include "pldm/pldm_format.h"

using namespace kes;
using namespace kes::pldm;

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;

const char* kUsageText =
    "usage: kestrel-pldm dump FILE [--json]\n"
    "       kestrel-pldm set FILE OUT KEYWORD=VALUE... (or @HANDLE=VALUE: the attribute with that handle)\n"
    "  VALUE: an option's text (enumerations); decimal or 0x hexadecimal (integers); the text (strings);\n"
    "         option texts separated by ';' in the new order (ordered lists and boot orders)\n";

// UTF-16 text as UTF-8: surrogate pairs joined into their character. A lone surrogate, which no
// UTF-8 text (and so no JSON) can hold, becomes U+FFFD and `lossy` is set.
std::string Utf8(const std::u16string& text, bool* lossy = nullptr) {
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = text[i];
    uint32_t next = i + 1 < text.size() ? text[i + 1] : 0;
    if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00)));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      wide.push_back(static_cast<wchar_t>(0xFFFD));
      if (lossy) *lossy = true;
    } else {
      wide.push_back(static_cast<wchar_t>(unit));
    }
  }
  return EncodeText(wide);
}

// Text as UTF-16LE bytes, characters outside the Basic Multilingual Plane as surrogate pairs
// (two units each, as the firmware stores them). None when the text holds a surrogate code
// point or a byte that is not UTF-8.
std::optional<std::vector<uint8_t>> Utf16Bytes(const std::string& text) {
  std::vector<uint8_t> out;
  auto unit = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (wchar_t c : DecodeText(text)) {
    uint32_t u = static_cast<uint32_t>(c);
    if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) return std::nullopt;
    if (u < 0x10000) {
      unit(u);
    } else {
      unit(0xD800 + ((u - 0x10000) >> 10));
      unit(0xDC00 + ((u - 0x10000) & 0x3FF));
    }
  }
  return out;
}

const char* TypeName(uint8_t type) {
  switch (BaseType(type)) {
    case kEnumeration: return "enumeration";
    case kString: return "string";
    case kPassword: return "password";
    case kInteger: return "integer";
    case kBootConfig: return "boot configuration";
    default: return "ordered list";
  }
}

struct Table {
  const char* name;
  size_t offsetField;
  const std::vector<uint8_t>* bytes;
};

// The file, split, checked and decoded as far as it goes.
struct File {
  std::vector<uint8_t> raw;
  PldmTables tables;
  std::vector<StringEntry> strings, keywords;
  std::vector<Attribute> attributes;
  std::vector<Value> values;
  bool decoded[4] = {false, false, false, false};  // string, attribute, value, keyword
  std::string valueProblem;                        // why the value table is refused, when it is
  std::map<uint16_t, std::u16string> stringByHandle, keywordByHandle;
  mutable std::set<std::string> lossy;             // texts shown with U+FFFD for a lone surrogate

  std::vector<Table> Tables() const {
    return {{"string", kHeaderStringTable, &tables.strings},
            {"attribute", kHeaderAttributeTable, &tables.attributes},
            {"attribute value", kHeaderValueTable, &tables.values},
            {"keyword", kHeaderKeywordTable, &tables.keywords}};
  }
  std::string Shown(const std::u16string& text, const std::string& what) const {
    bool replaced = false;
    std::string out = Utf8(text, &replaced);
    if (replaced) lossy.insert(what);
    return out;
  }
  std::string Text(uint16_t handle) const {
    auto it = stringByHandle.find(handle);
    return it == stringByHandle.end() ? "" : Shown(it->second, NFormat("string %u", handle));
  }
  // None when the attribute name has no keyword (a firmware without x-UEFI strings).
  std::optional<std::string> Keyword(uint16_t handle) const {
    auto it = keywordByHandle.find(handle);
    if (it == keywordByHandle.end()) return std::nullopt;
    return Shown(it->second, NFormat("keyword %u", handle));
  }
  std::map<uint16_t, size_t> valueByHandle;  // the first value of each attribute handle
  const Value* ValueOf(uint16_t handle) const {
    auto it = valueByHandle.find(handle);
    return it == valueByHandle.end() ? nullptr : &values[it->second];
  }
};

std::optional<File> Load(const std::string& path) {
  File file;
  std::wstring error;
  auto raw = ReadWholeFile(path, error);
  if (!raw) {
    Print(Stream::Err, L"kestrel-pldm: %ls\n", error.c_str());
    return std::nullopt;
  }
  file.raw = std::move(*raw);
  auto tables = SplitPldmFile(file.raw, error);
  if (!tables) {
    Print(Stream::Err, L"kestrel-pldm: %ls: %ls\n", ToWide(path).c_str(), error.c_str());
    return std::nullopt;
  }
  file.tables = std::move(*tables);
  if (auto s = DecodeStringTable(file.tables.strings)) {
    file.strings = std::move(*s);
    file.decoded[0] = true;
  }
  if (auto a = DecodeAttributeTable(file.tables.attributes)) {
    file.attributes = std::move(*a);
    file.decoded[1] = true;
  }
  if (auto v = DecodeValueTable(file.tables.values)) {
    file.values = std::move(*v);
    file.decoded[2] = true;
  }
  if (auto k = DecodeStringTable(file.tables.keywords)) {
    file.keywords = std::move(*k);
    file.decoded[3] = true;
  }
  for (const StringEntry& s : file.strings) file.stringByHandle.emplace(s.handle, s.text);
  for (const StringEntry& k : file.keywords) file.keywordByHandle.emplace(k.handle, k.text);
  for (size_t i = 0; i < file.values.size(); ++i) {
    if (file.valueByHandle.emplace(file.values[i].handle, i).second) continue;
    // Two values for one attribute: which one is meant cannot be told, so the table is refused.
    uint16_t handle = file.values[i].handle;
    std::string name = NFormat("@%u", handle);
    for (const Attribute& a : file.attributes)
      if (a.handle == handle) name = file.Keyword(a.nameHandle).value_or(name);
    file.valueProblem = "the attribute value table holds more than one value for attribute " + name;
    file.decoded[2] = false;
    file.values.clear();
    file.valueByHandle.clear();
    break;
  }
  return file;
}

std::string Verdict(const std::vector<uint8_t>& table, bool decoded) {
  if (table.empty()) return "empty";
  if (!ChecksumMatches(table)) return "mismatch";
  return decoded ? "ok" : "malformed";
}

bool SignedBounds(const Attribute& a) { return static_cast<int64_t>(a.lower) < 0; }

nlohmann::json IntegerJson(const Attribute& a, uint64_t value) {
  if (SignedBounds(a)) return static_cast<int64_t>(value);
  return value;
}

nlohmann::json Handles(const File& file, const std::vector<uint16_t>& handles) {
  nlohmann::json out = nlohmann::json::array();
  for (uint16_t h : handles) out.push_back(file.Text(h));
  return out;
}

nlohmann::json Selected(const File& file, const Attribute& a, const std::vector<uint16_t>& indexes) {
  nlohmann::json out = nlohmann::json::array();
  for (uint16_t i : indexes) out.push_back(i < a.possible.size() ? nlohmann::json(file.Text(a.possible[i])) : nlohmann::json(nullptr));
  return out;
}

nlohmann::json AttributeJson(const File& file, const Attribute& a) {
  nlohmann::json j;
  j["handle"] = a.handle;
  auto keyword = file.Keyword(a.nameHandle);
  j["keyword"] = keyword ? nlohmann::json(*keyword) : nlohmann::json(nullptr);
  j["name"] = file.Text(a.nameHandle);
  j["type"] = TypeName(a.type);
  j["readOnly"] = (a.type & kReadOnly) != 0;
  const Value* v = file.ValueOf(a.handle);
  switch (BaseType(a.type)) {
    case kEnumeration:
    case kOrderedList:
      j["options"] = Handles(file, a.possible);
      j["defaults"] = Handles(file, a.defaults);
      if (v) j["current"] = Selected(file, a, v->indexes);
      break;
    case kBootConfig:
      j["options"] = Handles(file, a.possible);
      j["bootConfigType"] = a.bootType;
      j["minimum"] = a.minSettings;
      j["maximum"] = a.maxSettings;
      if (v) j["current"] = Selected(file, a, v->indexes);
      break;
    case kInteger:
      j["lowerBound"] = IntegerJson(a, a.lower);
      j["upperBound"] = IntegerJson(a, a.upper);
      j["scalarIncrement"] = a.step;
      j["default"] = IntegerJson(a, a.defaultValue);
      if (v) j["current"] = IntegerJson(a, v->value);
      break;
    default: {
      j["minimumLength"] = a.minLength;
      j["maximumLength"] = a.maxLength;
      if (v) {
        j["currentLength"] = v->bytes.size();
        if (BaseType(a.type) == kString) {
          std::u16string text;
          for (size_t at = 0; at + 1 < v->bytes.size(); at += 2)
            text.push_back(static_cast<char16_t>(v->bytes[at] | (v->bytes[at + 1] << 8)));
          j["current"] = file.Shown(text, NFormat("the current value of attribute %u", a.handle));
        }
      }
      break;
    }
  }
  if (!v) j["current"] = nullptr;
  return j;
}

nlohmann::json FileJson(const std::string& path, const File& file) {
  nlohmann::json j;
  j["file"] = path;
  j["size"] = file.raw.size();
  j["headerWord"] = Le32(file.raw, kHeaderWord);
  j["signature"] = std::string(file.raw.begin() + kHeaderSignature, file.raw.begin() + kHeaderSignature + 4);
  nlohmann::json tables = nlohmann::json::array();
  auto list = file.Tables();
  const int decodedIndex[] = {0, 1, 2, 3};
  for (size_t i = 0; i < list.size(); ++i) {
    tables.push_back({{"name", list[i].name},
                      {"offset", Le32(file.raw, list[i].offsetField)},
                      {"length", list[i].bytes->size()},
                      {"checksum", Verdict(*list[i].bytes, file.decoded[decodedIndex[i]])}});
  }
  j["tables"] = tables;
  j["attributes"] = nlohmann::json::array();
  for (const Attribute& a : file.attributes) j["attributes"].push_back(AttributeJson(file, a));
  return j;
}

std::string Quoted(const nlohmann::json& list) {
  std::string out;
  for (const auto& item : list) {
    if (!out.empty()) out += ", ";
    if (item.is_null()) {
      out += '?';
    } else {
      out += '"';
      out += item.get_ref<const std::string&>();
      out += '"';
    }
  }
  return out;
}

std::string Number(const nlohmann::json& value) { return value.dump(); }

void DumpText(const nlohmann::json& j) {
  std::string out = "PLDM file " + j["file"].get<std::string>() + ": " + Number(j["size"]) + " bytes, header word " +
                    Number(j["headerWord"]) + ", signature \"" + j["signature"].get<std::string>() + "\"\n";
  out += "table            offset   length  checksum\n";
  for (const auto& t : j["tables"]) {
    out += NFormat("%-16s %6llu %8llu  %s\n", t["name"].get<std::string>().c_str(),
                   static_cast<unsigned long long>(t["offset"].get<uint64_t>()),
                   static_cast<unsigned long long>(t["length"].get<uint64_t>()), t["checksum"].get<std::string>().c_str());
  }
  out += NFormat("attributes: %zu\n", j["attributes"].size());
  for (const auto& a : j["attributes"]) {
    std::string keyword = a["keyword"].is_null() ? "(no keyword)" : a["keyword"].get<std::string>();
    out += NFormat("\n[%u] %s \"%s\" %s%s\n", a["handle"].get<unsigned>(), keyword.c_str(),
                   a["name"].get<std::string>().c_str(), a["type"].get<std::string>().c_str(),
                   a["readOnly"].get<bool>() ? " (read-only)" : "");
    if (a.contains("options")) out += "    options: " + Quoted(a["options"]) + "\n";
    if (a.contains("defaults")) out += "    defaults: " + Quoted(a["defaults"]) + "\n";
    if (a.contains("lowerBound"))
      out += "    bounds: " + Number(a["lowerBound"]) + " to " + Number(a["upperBound"]) + ", increment " +
             Number(a["scalarIncrement"]) + ", default " + Number(a["default"]) + "\n";
    if (a.contains("minimumLength"))
      out += "    length: " + Number(a["minimumLength"]) + " to " + Number(a["maximumLength"]) + " bytes\n";
    if (a.contains("minimum")) out += "    settings: " + Number(a["minimum"]) + " to " + Number(a["maximum"]) + "\n";
    if (!a.contains("current")) {
      if (a.contains("currentLength")) out += "    current length: " + Number(a["currentLength"]) + " bytes\n";
      continue;
    }
    const auto& current = a["current"];
    if (current.is_null()) out += "    current: (no value)\n";
    else if (current.is_array()) out += "    current: " + Quoted(current) + "\n";
    else if (current.is_string()) out += "    current: \"" + current.get<std::string>() + "\"\n";
    else out += "    current: " + Number(current) + "\n";
  }
  WriteNarrow(Stream::Out, out);
}

int Dump(const std::vector<std::string>& args) {
  bool json = false;
  std::optional<std::string> path;
  for (const std::string& a : args) {
    if (a == "--json") json = true;
    else if (!path) path = a;
    else return WriteNarrow(Stream::Err, kUsageText), kUsage;
  }
  if (!path) return WriteNarrow(Stream::Err, kUsageText), kUsage;
  auto file = Load(*path);
  if (!file) return kUsage;
  if (!file->valueProblem.empty()) PrintNarrow(Stream::Err, "kestrel-pldm: %s: %s\n", path->c_str(), file->valueProblem.c_str());
  nlohmann::json j = FileJson(*path, *file);
  for (const std::string& what : file->lossy)
    PrintNarrow(Stream::Err, "kestrel-pldm: %s: %s holds a lone UTF-16 surrogate, shown as U+FFFD\n", path->c_str(),
                what.c_str());
  if (json) WriteNarrow(Stream::Out, j.dump(2) + "\n");
  else DumpText(j);
  for (const auto& t : j["tables"])
    if (t["checksum"] != "ok" && t["checksum"] != "empty") return kRefused;
  return 0;
}

std::optional<uint64_t> ParseInteger(const std::string& text, bool& negative) {
  negative = false;
  std::string digits = text;
  int base = 10;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
    digits = digits.substr(2);
    base = 16;
  } else if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits = digits.substr(1);
  }
  if (digits.empty() || digits.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return std::nullopt;
    uint64_t next = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if ((next - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base) != value) return std::nullopt;  // overflow
    value = next;
  }
  if (negative) {
    if (value > (uint64_t{1} << 63)) return std::nullopt;
    value = ~value + 1;
  }
  return value;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t at = text.find(';', start);
    if (at == std::string::npos) at = text.size();
    out.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  return out;
}

// Sets one value; the reason when the attribute cannot hold it.
std::string Assign(const File& file, const Attribute& a, Value& v, const std::string& text) {
  auto optionIndex = [&](const std::string& option) -> std::optional<uint16_t> {
    for (size_t i = 0; i < a.possible.size(); ++i)
      if (file.Text(a.possible[i]) == option) return static_cast<uint16_t>(i);
    return std::nullopt;
  };
  auto optionList = [&] {
    std::string out;
    for (uint16_t h : a.possible) out += (out.empty() ? "\"" : ", \"") + file.Text(h) + "\"";
    return out;
  };
  switch (BaseType(a.type)) {
    case kEnumeration: {
      auto index = optionIndex(text);
      if (!index) return "\"" + text + "\" is not one of its options (" + optionList() + ")";
      v.indexes = {*index};
      return "";
    }
    case kOrderedList:
    case kBootConfig: {
      std::vector<uint16_t> indexes;
      for (const std::string& item : SplitList(text)) {
        auto index = optionIndex(item);
        if (!index) return "\"" + item + "\" is not one of its options (" + optionList() + ")";
        if (std::find(indexes.begin(), indexes.end(), *index) != indexes.end()) return "\"" + item + "\" is named twice";
        indexes.push_back(*index);
      }
      if (indexes.size() != v.indexes.size())
        return NFormat("it holds %zu elements, the new order names %zu", v.indexes.size(), indexes.size());
      v.indexes = indexes;
      return "";
    }
    case kInteger: {
      bool negative = false;
      auto value = ParseInteger(text, negative);
      if (!value) return "\"" + text + "\" is not a decimal or 0x hexadecimal integer";
      bool isSigned = SignedBounds(a);
      if (negative && !isSigned) return "its bounds are not signed";
      bool inside = isSigned ? static_cast<int64_t>(*value) >= static_cast<int64_t>(a.lower) &&
                                   static_cast<int64_t>(*value) <= static_cast<int64_t>(a.upper)
                             : *value >= a.lower && *value <= a.upper;
      if (!inside)
        return isSigned ? NFormat("%s is outside %lld to %lld", text.c_str(), static_cast<long long>(a.lower),
                                  static_cast<long long>(a.upper))
                        : NFormat("%s is outside %llu to %llu", text.c_str(), static_cast<unsigned long long>(a.lower),
                                  static_cast<unsigned long long>(a.upper));
      v.value = *value;
      return "";
    }
    case kString: {
      auto bytes = Utf16Bytes(text);
      if (!bytes) return "\"" + text + "\" is not valid UTF-8 text";
      if (bytes->size() < a.minLength || bytes->size() > a.maxLength)
        return NFormat("its length of %zu bytes is outside %u to %u", bytes->size(), a.minLength, a.maxLength);
      v.bytes = std::move(*bytes);
      return "";
    }
    default:
      return "passwords are not written into PLDM files";
  }
}

int Set(const std::vector<std::string>& args) {
  if (args.size() < 3) return WriteNarrow(Stream::Err, kUsageText), kUsage;
  const std::string& in = args[0];
  const std::string& out = args[1];
  auto file = Load(in);
  if (!file) return kUsage;
  for (const Table& t : file->Tables()) {
    if (!t.bytes->empty() && !ChecksumMatches(*t.bytes)) {
      PrintNarrow(Stream::Err, "kestrel-pldm: %s: the checksum of the %s table does not match\n", in.c_str(), t.name);
      return kRefused;
    }
  }
  if (!file->valueProblem.empty()) {
    PrintNarrow(Stream::Err, "kestrel-pldm: %s: %s\n", in.c_str(), file->valueProblem.c_str());
    return kRefused;
  }
  if (!file->decoded[0] || !file->decoded[1] || !file->decoded[2] || !file->decoded[3]) {
    PrintNarrow(Stream::Err, "kestrel-pldm: %s: a table is malformed\n", in.c_str());
    return kRefused;
  }
  bool refused = false;
  for (size_t i = 2; i < args.size(); ++i) {
    size_t equals = args[i].find('=');
    if (equals == std::string::npos || equals == 0) return WriteNarrow(Stream::Err, kUsageText), kUsage;
    std::string keyword = args[i].substr(0, equals), text = args[i].substr(equals + 1);
    const Attribute* attribute = nullptr;
    bool byHandle = keyword[0] == '@';
    if (byHandle) {
      // @HANDLE: the attribute with that handle, for files without keywords.
      std::string digits = keyword.substr(1);
      bool number = !digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos;
      if (!number || std::stoul(digits) > 0xFFFF) return WriteNarrow(Stream::Err, kUsageText), kUsage;
      for (const Attribute& a : file->attributes)
        if (a.handle == std::stoul(digits) && !attribute) attribute = &a;
    } else {
      for (const StringEntry& k : file->keywords) {
        if (Utf8(k.text) != keyword) continue;
        for (const Attribute& a : file->attributes)
          if (a.nameHandle == k.handle && !attribute) attribute = &a;
        if (attribute) break;
      }
    }
    Value* value = attribute ? const_cast<Value*>(file->ValueOf(attribute->handle)) : nullptr;
    if (!attribute || !value) {
      if (byHandle)
        PrintNarrow(Stream::Err, "kestrel-pldm: no attribute with a value has the handle %s\n", keyword.c_str() + 1);
      else if (file->keywords.empty())
        PrintNarrow(Stream::Err, "kestrel-pldm: no attribute has the keyword %s: the file has no keywords, name its "
                    "attributes by handle (@HANDLE=VALUE, the handles dump shows)\n", keyword.c_str());
      else
        PrintNarrow(Stream::Err, "kestrel-pldm: no attribute with a value has the keyword %s\n", keyword.c_str());
      refused = true;
      continue;
    }
    if (attribute->type & kReadOnly) {
      PrintNarrow(Stream::Err, "kestrel-pldm: %s is read-only\n", keyword.c_str());
      refused = true;
      continue;
    }
    std::string why = Assign(*file, *attribute, *value, text);
    if (!why.empty()) {
      PrintNarrow(Stream::Err, "kestrel-pldm: %s not set: %s\n", keyword.c_str(), why.c_str());
      refused = true;
    }
  }
  if (refused) return kRefused;
  std::vector<uint8_t> values;
  for (const Value& v : file->values) {
    if (!EncodeValue(values, v)) {
      PrintNarrow(Stream::Err, "kestrel-pldm: a value does not fit its entry\n");
      return kRefused;
    }
  }
  PadAndChecksum(values);
  file->tables.values = std::move(values);
  std::vector<uint8_t> bytes = AssemblePldmFile(file->tables);
  OutputFile output;
  if (!output.Open(out) || std::fwrite(bytes.data(), 1, bytes.size(), output.get()) != bytes.size() || !output.Commit()) {
    output.Discard();
    PrintNarrow(Stream::Err, "kestrel-pldm: cannot write %s\n", out.c_str());
    return kUsage;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return WriteNarrow(Stream::Err, kUsageText), kUsage;
  std::string command = args.front();
  args.erase(args.begin());
  if (command == "dump") return Dump(args);
  if (command == "set") return Set(args);
  WriteNarrow(Stream::Err, kUsageText);
  return kUsage;
}
