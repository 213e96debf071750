#include "pldm/pldm_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/console.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "firmware/mailbox.h"

namespace kes::pldm {
namespace {

// A sized field list: `count` items of `each` bytes after a count field; the end offset, or 0
// when it runs past `rest`.
size_t AfterList(Bytes rest, size_t at, size_t countWidth, size_t each) {
  if (!Fits(rest, at, countWidth)) return 0;
  size_t count = LeN(rest, at, countWidth);
  size_t end = at + countWidth + count * each;
  return end <= rest.size() ? end : 0;
}

// Reads successive fields of one entry; the entry was sized first, so reads stay inside it.
class Fields {
 public:
  explicit Fields(Bytes entry, size_t at) : entry_(entry), at_(at) {}
  uint64_t Take(size_t width) {
    uint64_t v = LeN(entry_, at_, width);
    at_ += width;
    return v;
  }
  std::vector<uint16_t> Handles(size_t count, size_t width = 2) {
    std::vector<uint16_t> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint16_t>(Take(width)));
    return out;
  }
  std::vector<uint8_t> Raw(size_t count) {
    Bytes part = Fits(entry_, at_, count) ? entry_.subspan(at_, count) : Bytes();
    at_ += count;
    return {part.begin(), part.end()};
  }

 private:
  Bytes entry_;
  size_t at_;
};

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Handles(const std::vector<uint16_t>& handles, size_t width = 2) {
    for (uint16_t h : handles) Put(h, width);
  }
  void Raw(const std::vector<uint8_t>& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

 private:
  std::vector<uint8_t>& out_;
};

}  // namespace

size_t StringEntrySize(Bytes rest) {
  if (!Fits(rest, 0, kStringText)) return 0;
  size_t size = kStringText + Le16(rest, kStringLength);
  return size <= rest.size() ? size : 0;
}

size_t AttributeEntrySize(Bytes rest) {
  if (!Fits(rest, 0, kAttributeFields)) return 0;
  uint8_t type = Le8(rest, kAttributeType);
  if (!KnownType(type)) return 0;
  size_t at = kAttributeFields;
  switch (BaseType(type)) {
    case kEnumeration:
      if (!(at = AfterList(rest, at, 1, 2))) return 0;
      return AfterList(rest, at, 1, 2);
    case kString:
    case kPassword:
      return AfterList(rest, at + 5, 2, 1);
    case kInteger:
      return kIntegerEntrySize <= rest.size() ? kIntegerEntrySize : 0;
    case kBootConfig:
      return AfterList(rest, at + 4, 1, 2);
    default:  // ordered list
      if (!(at = AfterList(rest, at, 2, 2))) return 0;
      return AfterList(rest, at, 2, 2);
  }
}

size_t ValueEntrySize(Bytes rest) {
  if (!Fits(rest, 0, kValueFields)) return 0;
  uint8_t type = Le8(rest, kValueType);
  if (!KnownType(type)) return 0;
  switch (BaseType(type)) {
    case kEnumeration: return AfterList(rest, kValueFields, 1, 1);
    case kString:
    case kPassword: return AfterList(rest, kValueFields, 2, 1);
    case kInteger: return kIntegerValueSize <= rest.size() ? kIntegerValueSize : 0;
    case kBootConfig: return AfterList(rest, kValueFields + 2, 1, 1);
    default: return AfterList(rest, kValueFields, 2, 2);
  }
}

std::optional<std::vector<Bytes>> TableEntries(Bytes table, TableKind kind) {
  std::vector<Bytes> entries;
  if (table.empty()) return entries;
  if (table.size() < 4 || (table.size() - 4) % 4 != 0) return std::nullopt;
  Bytes body = table.first(table.size() - 4);
  size_t at = 0;
  while (body.size() - at >= 4) {
    Bytes rest = body.subspan(at);
    size_t size = kind == TableKind::String      ? StringEntrySize(rest)
                  : kind == TableKind::Attribute ? AttributeEntrySize(rest)
                                                 : ValueEntrySize(rest);
    if (size == 0) return std::nullopt;
    entries.push_back(rest.first(size));
    at += size;
  }
  return entries;
}

void PadAndChecksum(std::vector<uint8_t>& table) {
  if (table.empty()) return;
  while (table.size() % 4 != 0) table.push_back(0);
  uint32_t crc = CalculateCrc32(Bytes(table));
  Writer(table).Put(crc, 4);
}

bool ChecksumMatches(Bytes table) {
  if (table.size() < 4) return false;
  return CalculateCrc32(table.first(table.size() - 4)) == Le32(table, table.size() - 4);
}

std::optional<std::vector<StringEntry>> DecodeStringTable(Bytes table) {
  auto entries = TableEntries(table, TableKind::String);
  if (!entries) return std::nullopt;
  std::vector<StringEntry> out;
  out.reserve(entries->size());
  for (Bytes e : *entries) {
    StringEntry s;
    s.handle = Le16(e, kStringHandle);
    for (size_t at = kStringText; at + 1 < e.size(); at += 2) s.text.push_back(static_cast<char16_t>(Le16(e, at)));
    out.push_back(std::move(s));
  }
  return out;
}

std::optional<std::vector<Attribute>> DecodeAttributeTable(Bytes table) {
  auto entries = TableEntries(table, TableKind::Attribute);
  if (!entries) return std::nullopt;
  std::vector<Attribute> out;
  out.reserve(entries->size());
  for (Bytes e : *entries) {
    Attribute a;
    a.handle = Le16(e, kAttributeHandle);
    a.type = Le8(e, kAttributeType);
    a.nameHandle = Le16(e, kAttributeName);
    Fields f(e, kAttributeFields);
    switch (BaseType(a.type)) {
      case kEnumeration:
        a.possible = f.Handles(f.Take(1));
        a.defaults = f.Handles(f.Take(1));
        break;
      case kString:
      case kPassword:
        a.stringType = static_cast<uint8_t>(f.Take(1));
        a.minLength = static_cast<uint16_t>(f.Take(2));
        a.maxLength = static_cast<uint16_t>(f.Take(2));
        a.defaultBytes = f.Raw(f.Take(2));
        break;
      case kInteger:
        a.lower = f.Take(8);
        a.upper = f.Take(8);
        a.step = static_cast<uint32_t>(f.Take(4));
        a.defaultValue = f.Take(8);
        break;
      case kBootConfig:
        a.bootType = static_cast<uint8_t>(f.Take(1));
        a.modes = static_cast<uint8_t>(f.Take(1));
        a.minSettings = static_cast<uint8_t>(f.Take(1));
        a.maxSettings = static_cast<uint8_t>(f.Take(1));
        a.possible = f.Handles(f.Take(1));
        break;
      default:
        a.possible = f.Handles(f.Take(2));
        a.defaults = f.Handles(f.Take(2));
        break;
    }
    out.push_back(std::move(a));
  }
  return out;
}

std::optional<std::vector<Value>> DecodeValueTable(Bytes table) {
  auto entries = TableEntries(table, TableKind::Value);
  if (!entries) return std::nullopt;
  std::vector<Value> out;
  out.reserve(entries->size());
  for (Bytes e : *entries) {
    Value v;
    v.handle = Le16(e, kValueHandle);
    v.type = Le8(e, kValueType);
    Fields f(e, kValueFields);
    switch (BaseType(v.type)) {
      case kEnumeration: v.indexes = f.Handles(f.Take(1), 1); break;
      case kString:
      case kPassword: v.bytes = f.Raw(f.Take(2)); break;
      case kInteger: v.value = f.Take(8); break;
      case kBootConfig:
        v.bootType = static_cast<uint8_t>(f.Take(1));
        v.mode = static_cast<uint8_t>(f.Take(1));
        v.indexes = f.Handles(f.Take(1), 1);
        break;
      default: v.indexes = f.Handles(f.Take(2)); break;
    }
    out.push_back(std::move(v));
  }
  return out;
}

bool EncodeString(std::vector<uint8_t>& out, uint16_t handle, std::u16string_view text) {
  if (text.size() * 2 > 0xFFFF) return false;
  Writer w(out);
  w.Put(handle, 2);
  w.Put(text.size() * 2, 2);
  for (char16_t c : text) w.Put(c, 2);
  return true;
}

bool EncodeAttribute(std::vector<uint8_t>& out, const Attribute& a) {
  uint8_t base = BaseType(a.type);
  bool byteCounts = base == kEnumeration || base == kBootConfig;
  if (!KnownType(a.type)) return false;
  if (byteCounts && (a.possible.size() > 0xFF || a.defaults.size() > 0xFF)) return false;
  if (a.possible.size() > 0xFFFF || a.defaults.size() > 0xFFFF || a.defaultBytes.size() > 0xFFFF) return false;
  Writer w(out);
  w.Put(a.handle, 2);
  w.Put(a.type, 1);
  w.Put(a.nameHandle, 2);
  switch (base) {
    case kEnumeration:
      w.Put(a.possible.size(), 1);
      w.Handles(a.possible);
      w.Put(a.defaults.size(), 1);
      w.Handles(a.defaults);
      break;
    case kString:
    case kPassword:
      w.Put(a.stringType, 1);
      w.Put(a.minLength, 2);
      w.Put(a.maxLength, 2);
      w.Put(a.defaultBytes.size(), 2);
      w.Raw(a.defaultBytes);
      break;
    case kInteger:
      w.Put(a.lower, 8);
      w.Put(a.upper, 8);
      w.Put(a.step, 4);
      w.Put(a.defaultValue, 8);
      break;
    case kBootConfig:
      w.Put(a.bootType, 1);
      w.Put(a.modes, 1);
      w.Put(a.minSettings, 1);
      w.Put(a.maxSettings, 1);
      w.Put(a.possible.size(), 1);
      w.Handles(a.possible);
      break;
    default:
      w.Put(a.possible.size(), 2);
      w.Handles(a.possible);
      w.Put(a.defaults.size(), 2);
      w.Handles(a.defaults);
      break;
  }
  return true;
}

bool EncodeValue(std::vector<uint8_t>& out, const Value& v) {
  uint8_t base = BaseType(v.type);
  if (!KnownType(v.type)) return false;
  bool byteIndexes = base == kEnumeration || base == kBootConfig;
  if (byteIndexes && v.indexes.size() > 0xFF) return false;
  if (v.indexes.size() > 0xFFFF || v.bytes.size() > 0xFFFF) return false;
  if (byteIndexes)
    for (uint16_t i : v.indexes)
      if (i > 0xFF) return false;
  Writer w(out);
  w.Put(v.handle, 2);
  w.Put(v.type, 1);
  switch (base) {
    case kEnumeration:
      w.Put(v.indexes.size(), 1);
      w.Handles(v.indexes, 1);
      break;
    case kString:
    case kPassword:
      w.Put(v.bytes.size(), 2);
      w.Raw(v.bytes);
      break;
    case kInteger: w.Put(v.value, 8); break;
    case kBootConfig:
      w.Put(v.bootType, 1);
      w.Put(v.mode, 1);
      w.Put(v.indexes.size(), 1);
      w.Handles(v.indexes, 1);
      break;
    default:
      w.Put(v.indexes.size(), 2);
      w.Handles(v.indexes);
      break;
  }
  return true;
}

std::optional<PldmTables> SplitPldmFile(Bytes file, std::wstring& error) {
  if (file.size() < kFileHeaderSize) {
    error = WFormat(L"the file holds %u bytes, fewer than the 40 of a PLDM file header",
                    static_cast<unsigned>(file.size()));
    return std::nullopt;
  }
  const size_t lengthFields[] = {kHeaderStringTable + 4, kHeaderAttributeTable + 4, kHeaderValueTable + 4,
                                 kHeaderKeywordTable + 4};
  uint64_t at = kFileHeaderSize;
  std::vector<uint8_t>* targets[4];
  PldmTables tables;
  targets[0] = &tables.strings;
  targets[1] = &tables.attributes;
  targets[2] = &tables.values;
  targets[3] = &tables.keywords;
  const wchar_t* names[] = {L"string", L"attribute", L"attribute value", L"keyword"};
  for (size_t i = 0; i < 4; ++i) {
    uint64_t length = Le32(file, lengthFields[i]);
    if (at + length > file.size()) {
      error = WFormat(L"the header gives the %ls table %llu bytes from offset %llu, past the end of the file (%llu "
                      L"bytes)",
                      names[i], static_cast<unsigned long long>(length), static_cast<unsigned long long>(at),
                      static_cast<unsigned long long>(file.size()));
      return std::nullopt;
    }
    Bytes part = file.subspan(static_cast<size_t>(at), static_cast<size_t>(length));
    targets[i]->assign(part.begin(), part.end());
    at += length;
  }
  return tables;
}

std::vector<uint8_t> AssemblePldmFile(const PldmTables& tables) {
  std::vector<uint8_t> out;
  out.reserve(kFileHeaderSize + tables.strings.size() + tables.attributes.size() + tables.values.size() +
              tables.keywords.size());
  Writer w(out);
  w.Put(1, 4);
  w.Raw({'P', 'L', 'D', 'M'});
  uint32_t offset = kFileHeaderSize;
  for (const std::vector<uint8_t>* t : {&tables.strings, &tables.attributes, &tables.values, &tables.keywords}) {
    w.Put(offset, 4);
    w.Put(t->size(), 4);
    offset += static_cast<uint32_t>(t->size());
  }
  for (const std::vector<uint8_t>* t : {&tables.strings, &tables.attributes, &tables.values, &tables.keywords})
    w.Raw(*t);
  return out;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::wstring& error) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file(OpenStreamForReading(path.c_str(), "rb"));
  if (!file) {
    error = WFormat(L"cannot open %ls: %s", ToWide(path).c_str(), std::strerror(errno));
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  long got;
  // At most one byte more than the cap is read, so that a device or a pipe without an end
  // (/dev/zero) is refused quickly.
  while ((got = ReadInput(fileno(file.get()), chunk, std::min(sizeof chunk, kMaxPldmFileBytes + 1 - bytes.size()))) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (bytes.size() > kMaxPldmFileBytes) break;
  }
  bool failed = got < 0;
  file.reset();
  if (failed) {
    error = WFormat(L"cannot read %ls", ToWide(path).c_str());
    return std::nullopt;
  }
  if (bytes.size() > kMaxPldmFileBytes) {
    error = WFormat(L"%ls is larger than %llu bytes, more than a PLDM file holds", ToWide(path).c_str(),
                    static_cast<unsigned long long>(kMaxPldmFileBytes));
    return std::nullopt;
  }
  return bytes;
}

}  // namespace kes::pldm
