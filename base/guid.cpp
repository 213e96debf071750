#include "base/guid.h"

#include "base/console.h"

namespace kes {

EfiGuid EfiGuid::FromBytes(Bytes b, size_t offset) {
  EfiGuid g;
  if (!Fits(b, offset, 16)) return g;
  g.Data1 = Le32(b, offset);
  g.Data2 = Le16(b, offset + 4);
  g.Data3 = Le16(b, offset + 6);
  for (int i = 0; i < 8; ++i) g.Data4[i] = b[offset + 8 + i];
  return g;
}

std::array<uint8_t, 16> EfiGuid::ToBytes() const {
  std::array<uint8_t, 16> out{};
  PutLe32(out.data(), Data1);
  PutLe16(out.data() + 4, Data2);
  PutLe16(out.data() + 6, Data3);
  for (int i = 0; i < 8; ++i) out[8 + i] = Data4[i];
  return out;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case, digit by digit (it is formatted once per
// variable of every question a document lists).
std::string FormatGuidText(const EfiGuid& g) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(36, '-');
  auto put = [&](size_t at, uint64_t value, size_t digits) {
    for (size_t i = digits; i-- > 0; value >>= 4) out[at + i] = kDigits[value & 0xF];
  };
  put(0, g.Data1, 8);
  put(9, g.Data2, 4);
  put(14, g.Data3, 4);
  put(19, g.Data4[0], 2);
  put(21, g.Data4[1], 2);
  for (size_t i = 2; i < 8; ++i) put(24 + 2 * (i - 2), g.Data4[i], 2);
  return out;
}

std::wstring FormatGuidTextW(const EfiGuid& g) { return DecodeText(FormatGuidText(g)); }

std::optional<EfiGuid> ParseGuidText(std::string_view t) {
  if (t.size() != 36) return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  uint8_t nibbles[32];
  size_t n = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (t[i] != '-') return std::nullopt;
      continue;
    }
    int v = hex(t[i]);
    if (v < 0) return std::nullopt;
    nibbles[n++] = static_cast<uint8_t>(v);
  }
  auto take = [&](size_t from, size_t count) {
    uint64_t v = 0;
    for (size_t i = 0; i < count; ++i) v = (v << 4) | nibbles[from + i];
    return v;
  };
  EfiGuid g;
  g.Data1 = static_cast<uint32_t>(take(0, 8));
  g.Data2 = static_cast<uint16_t>(take(8, 4));
  g.Data3 = static_cast<uint16_t>(take(12, 4));
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(take(16 + 2 * i, 2));
  return g;
}

std::optional<EfiGuid> ParseGuidText(std::wstring_view t) {
  std::string narrow;
  for (wchar_t c : t) {
    if (c > 0x7F) return std::nullopt;
    narrow.push_back(static_cast<char>(c));
  }
  return ParseGuidText(narrow);
}

}  // namespace kes
