#include "base/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/console.h"
#include "base/interrupt.h"

namespace kes {

std::wstring ToWide(std::string_view text) { return DecodeText(text); }
std::string ToNarrow(std::wstring_view text) { return EncodeText(text); }

std::u16string WideToUtf16(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) out.push_back(static_cast<char16_t>(static_cast<uint32_t>(c) & 0xFFFF));
  return out;
}

std::wstring Utf16ToWide(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(static_cast<wchar_t>(c));
  return out;
}

std::vector<uint8_t> WideToUtf16Bytes(std::wstring_view text, bool terminator) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2 + 2);
  for (wchar_t c : text) {
    uint32_t u = static_cast<uint32_t>(c);
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>((u >> 8) & 0xFF));
  }
  if (terminator) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

std::wstring Utf16BytesToWide(std::span<const uint8_t> bytes, bool stopAtZero) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wchar_t c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    if (stopAtZero && c == 0) break;
    out.push_back(c);
  }
  return out;
}

size_t Utf16Length(std::span<const uint8_t> bytes) {
  size_t n = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2, ++n) {
    if (bytes[i] == 0 && bytes[i + 1] == 0) return n;
  }
  return n;
}

int CompareWideToUtf16(std::wstring_view wide, std::u16string_view utf16) {
  for (size_t i = 0;; ++i) {
    uint32_t a = i < wide.size() ? static_cast<uint32_t>(wide[i]) : 0;
    uint32_t b = i < utf16.size() ? static_cast<uint32_t>(utf16[i]) : 0;
    if (a != b) return static_cast<int>(a) - static_cast<int>(b);
    if (a == 0) return 0;
  }
}

bool IsBlank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void TrimLeading(std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) ++i;
  text.erase(0, i);
}

void TrimTrailing(std::string& text) {
  size_t end = text.size();
  while (end > 1 && IsBlank(static_cast<unsigned char>(text[end - 1]))) --end;
  text.resize(end);
}

std::string Trim(std::string_view text) {
  std::string s(text);
  TrimLeading(s);
  TrimTrailing(s);
  return s;
}

void TrimWide(std::wstring& text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] < 0x80 && IsBlank(static_cast<int>(text[b]))) ++b;
  while (e > b && text[e - 1] < 0x80 && IsBlank(static_cast<int>(text[e - 1]))) --e;
  text = text.substr(b, e - b);
}

bool IsBlankText(std::wstring_view text) {
  for (wchar_t c : text)
    if (!(c < 0x80 && IsBlank(static_cast<int>(c)))) return false;
  return true;
}

void ReplaceUnprintable(std::wstring& text) {
  for (wchar_t& c : text)
    if (c < 0x20 || c > 0x7E) c = L' ';
}

void ReplaceUnprintable(std::string& text) {
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) c = ' ';
  }
}

std::wstring Printable(std::wstring_view text) {
  std::wstring s(text);
  ReplaceUnprintable(s);
  return s;
}

namespace {
int UpperAscii(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
}  // namespace

size_t FindNoCase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && UpperAscii(static_cast<unsigned char>(haystack[i + k])) ==
                                    UpperAscii(static_cast<unsigned char>(needle[k])))
      ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

int CompareNoCaseWide(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = UpperAscii(static_cast<int>(a[i])), y = UpperAscii(static_cast<int>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CompareNoCase(std::string_view a, std::string_view b) { return CompareNoCaseWide(ToWide(a), ToWide(b)); }

std::wstring ToUpperAscii(std::wstring_view text) {
  std::wstring s(text);
  for (wchar_t& c : s) c = static_cast<wchar_t>(UpperAscii(static_cast<int>(c)));
  return s;
}

int WriteFile(const std::string& fileName, std::span<const uint8_t> data) {
  if (fileName.empty()) {
    PrintNarrow(Stream::Out, "File Name Not Provided\n");
    return 1;
  }
  std::FILE* f = std::fopen(fileName.c_str(), "wb");
  if (!f) {
    PrintNarrow(Stream::Out, "Unable to create file %s\n", fileName.c_str());
    return 1;
  }
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (std::fclose(f) != 0) ok = false;
  if (!ok) {
    PrintNarrow(Stream::Out, "Unable to write into file : %s\n", fileName.c_str());
    return 1;
  }
  return 0;
}

int WriteFileInDirectory(const std::wstring& directory, const std::string& fileName,
                         std::span<const uint8_t> data) {
  std::string path = ToNarrow(directory);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += fileName;
  return WriteFile(path, data) == 0 ? 1 : 0;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& fileName, size_t limit) {
  int fd = OpenForReading(fileName.c_str());
  if (fd < 0) return std::nullopt;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  std::vector<uint8_t> data;
  // A regular file's size is known: one buffer of that size instead of growing (and copying)
  // one as the reads come in. A file that grows meanwhile is still read to its end.
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    data.reserve(std::min(static_cast<size_t>(st.st_size), limit));
  uint8_t buffer[65536];
  while (data.size() < limit) {
    long n = ReadInput(fd, buffer, std::min(sizeof buffer, limit - data.size()));
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

}  // namespace kes
