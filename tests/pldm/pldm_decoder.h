// An independent reader of PLDM files for the tests, written from the table layouts alone (it
// shares no code with the tool's walkers): header, the four tables with their checksums, and the
// attributes joined with their names, keywords, option texts and current values. It also knows
// where each entry sits in the file, so that tests can change single bytes and re-seal a table.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kes::test {

inline uint32_t ReferenceCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

struct PldmDecoded {
  struct Table {
    size_t offset = 0, length = 0;
    bool checksumOk = false;
  };
  struct Attr {
    size_t at = 0;  // file offset of the attribute entry
    uint16_t handle = 0, name = 0;
    uint8_t type = 0;
    std::vector<uint16_t> options, defaults;
    uint64_t lower = 0, upper = 0, defaultValue = 0;
    uint32_t step = 0;
    uint8_t stringType = 0;
    uint16_t minLength = 0, maxLength = 0, defaultLength = 0;
    // The value entry.
    size_t valueAt = 0;
    bool hasValue = false;
    std::vector<unsigned> current;  // positions (enumerations, lists, boot settings)
    uint64_t value = 0;             // integers
    std::vector<uint8_t> bytes;     // strings and passwords
  };
  uint32_t word = 0;
  std::string signature;
  Table tables[4];  // string, attribute, value, keyword
  std::map<uint16_t, std::u16string> strings, keywords;
  std::vector<Attr> attributes;
  bool ok = false;  // every table walked to its pad

  std::string Text(uint16_t handle) const {
    auto it = strings.find(handle);
    std::string out;
    if (it == strings.end()) return out;
    for (char16_t c : it->second) {  // UTF-8, as the script file and the console hold text
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    return out;
  }
  std::string Keyword(uint16_t handle) const {
    auto it = keywords.find(handle);
    std::string out;
    if (it != keywords.end())
      for (char16_t c : it->second) out.push_back(static_cast<char>(c));
    return out;
  }
  const Attr* ByKeyword(const std::string& keyword) const {
    for (const Attr& a : attributes)
      if (Keyword(a.name) == keyword) return &a;
    return nullptr;
  }
  const Attr* ByName(const std::string& name) const {
    for (const Attr& a : attributes)
      if (Text(a.name) == name) return &a;
    return nullptr;
  }
};

namespace pldm_decoder_detail {
inline uint64_t Get(const std::vector<uint8_t>& b, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(at + i < b.size() ? b[at + i] : 0) << (8 * i);
  return v;
}
}  // namespace pldm_decoder_detail

inline PldmDecoded DecodePldmFile(const std::vector<uint8_t>& file) {
  using pldm_decoder_detail::Get;
  PldmDecoded d;
  if (file.size() < 40) return d;
  d.word = static_cast<uint32_t>(Get(file, 0, 4));
  d.signature.assign(file.begin() + 4, file.begin() + 8);
  size_t at = 40;
  for (int i = 0; i < 4; ++i) {
    d.tables[i].offset = at;
    d.tables[i].length = Get(file, 12 + 8 * i, 4);
    at += d.tables[i].length;
  }
  if (at > file.size()) return d;
  bool walked = true;
  // Entries of one table up to its pad; `entry` returns the entry's size (0: broken).
  auto walk = [&](PldmDecoded::Table& t, auto entry) {
    if (t.length == 0) return;
    if (t.length < 4 || t.length % 4 != 0) {
      walked = false;
      return;
    }
    size_t end = t.offset + t.length - 4;
    size_t crc = Get(file, end, 4);
    t.checksumOk = ReferenceCrc32(file.data() + t.offset, t.length - 4) == crc;
    for (size_t p = t.offset; end - p >= 4;) {
      size_t size = entry(p, end);
      if (size == 0 || p + size > end) {
        walked = false;
        return;
      }
      p += size;
    }
  };
  auto strings = [&](std::map<uint16_t, std::u16string>& into) {
    return [&](size_t p, size_t) {
      size_t length = Get(file, p + 2, 2);
      std::u16string text;
      for (size_t i = 0; i + 1 < length; i += 2) text.push_back(static_cast<char16_t>(Get(file, p + 4 + i, 2)));
      into[static_cast<uint16_t>(Get(file, p, 2))] = text;
      return 4 + length;
    };
  };
  walk(d.tables[0], strings(d.strings));
  walk(d.tables[3], strings(d.keywords));
  std::map<uint16_t, size_t> byHandle;
  walk(d.tables[1], [&](size_t p, size_t) -> size_t {
    PldmDecoded::Attr a;
    a.at = p;
    a.handle = static_cast<uint16_t>(Get(file, p, 2));
    a.type = static_cast<uint8_t>(Get(file, p + 2, 1));
    a.name = static_cast<uint16_t>(Get(file, p + 3, 2));
    size_t q = p + 5;
    auto handles = [&](std::vector<uint16_t>& into, size_t countWidth) {
      size_t n = Get(file, q, countWidth);
      q += countWidth;
      for (size_t i = 0; i < n; ++i, q += 2) into.push_back(static_cast<uint16_t>(Get(file, q, 2)));
    };
    switch (a.type & 0x7F) {
      case 0: handles(a.options, 1); handles(a.defaults, 1); break;
      case 1:
      case 2:
        a.stringType = static_cast<uint8_t>(Get(file, q, 1));
        a.minLength = static_cast<uint16_t>(Get(file, q + 1, 2));
        a.maxLength = static_cast<uint16_t>(Get(file, q + 3, 2));
        a.defaultLength = static_cast<uint16_t>(Get(file, q + 5, 2));
        q += 7 + a.defaultLength;
        break;
      case 3:
        a.lower = Get(file, q, 8);
        a.upper = Get(file, q + 8, 8);
        a.step = static_cast<uint32_t>(Get(file, q + 16, 4));
        a.defaultValue = Get(file, q + 20, 8);
        q += 28;
        break;
      case 4: q += 4; handles(a.options, 1); break;
      case 5: handles(a.options, 2); handles(a.defaults, 2); break;
      default: return 0;
    }
    byHandle[a.handle] = d.attributes.size();
    d.attributes.push_back(a);
    return q - p;
  });
  walk(d.tables[2], [&](size_t p, size_t) -> size_t {
    uint16_t handle = static_cast<uint16_t>(Get(file, p, 2));
    uint8_t type = static_cast<uint8_t>(Get(file, p + 2, 1));
    PldmDecoded::Attr scratch;
    auto it = byHandle.find(handle);
    PldmDecoded::Attr& a = it == byHandle.end() ? scratch : d.attributes[it->second];
    a.valueAt = p;
    a.hasValue = true;
    size_t q = p + 3;
    switch (type & 0x7F) {
      case 0: {
        size_t n = Get(file, q, 1);
        for (size_t i = 0; i < n; ++i) a.current.push_back(static_cast<unsigned>(Get(file, q + 1 + i, 1)));
        return 4 + n;
      }
      case 1:
      case 2: {
        size_t n = Get(file, q, 2);
        a.bytes.assign(file.begin() + static_cast<std::ptrdiff_t>(q + 2),
                       file.begin() + static_cast<std::ptrdiff_t>(std::min(q + 2 + n, file.size())));
        return 5 + n;
      }
      case 3: a.value = Get(file, q, 8); return 11;
      case 4: {
        size_t n = Get(file, q + 2, 1);
        for (size_t i = 0; i < n; ++i) a.current.push_back(static_cast<unsigned>(Get(file, q + 3 + i, 1)));
        return 6 + n;
      }
      case 5: {
        size_t n = Get(file, q, 2);
        for (size_t i = 0; i < n; ++i) a.current.push_back(static_cast<unsigned>(Get(file, q + 2 + 2 * i, 2)));
        return 5 + 2 * n;
      }
      default: return 0;
    }
  });
  d.ok = walked;
  return d;
}

// Why a DSP0247 codec would refuse an attribute entry: the checks libpldm's encoders and the BMCs
// built on it apply to integer and string attributes (pldm_bios_table_attr_entry_integer_info_check,
// ..._string_info_check), written from their rules. Bounds and defaults compare as the unsigned
// 64-bit fields they are. Empty when the entry passes.
inline std::string CodecProblem(const PldmDecoded::Attr& a) {
  switch (a.type & 0x7F) {
    case 3:
      if (a.lower == a.upper) {
        if (a.defaultValue != a.lower) return "DefaultValue differs from the equal bounds";
        if (a.step != 0) return "ScalarIncrement is not 0 with equal bounds";
        return "";
      }
      if (a.lower > a.upper) return "LowerBound is greater than UpperBound";
      if (a.defaultValue < a.lower || a.defaultValue > a.upper) return "DefaultValue lies outside the bounds";
      if (a.step == 0) return "ScalarIncrement is 0 while the bounds differ";
      if ((a.defaultValue - a.lower) % a.step != 0) return "DefaultValue is not on a ScalarIncrement from LowerBound";
      return "";
    case 1:
      if (a.minLength > a.maxLength) return "MinimumStringLength is greater than MaximumStringLength";
      if (a.minLength == a.maxLength && a.defaultLength != a.minLength) return "DefaultStringLength differs from the equal bounds";
      if (a.defaultLength < a.minLength || a.defaultLength > a.maxLength) return "DefaultStringLength lies outside the bounds";
      if (a.stringType > 5 && a.stringType != 0xFF) return "StringType is unknown";
      return "";
    default:
      return "";
  }
}

// Recomputes the checksum of table `index` (0 string, 1 attribute, 2 value, 3 keyword).
inline void ResealTable(std::vector<uint8_t>& file, const PldmDecoded& d, int index) {
  const PldmDecoded::Table& t = d.tables[index];
  uint32_t crc = ReferenceCrc32(file.data() + t.offset, t.length - 4);
  for (int i = 0; i < 4; ++i) file[t.offset + t.length - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

}  // namespace kes::test
