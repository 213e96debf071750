#include "base/console.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

namespace kes {
namespace {

// The innermost live capture. Standard output and standard error are process-wide, and so is
// their redirection; set only by ConsoleCapture's constructor and destructor.
ConsoleCapture* g_capture = nullptr;

// The conversion spec is a C string: va_start after a parameter of reference type is undefined.
void AppendNarrowSpec(std::wstring& out, const char* spec, ...) {
  va_list args;
  va_start(args, spec);
  char buffer[128];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(buffer, sizeof buffer, spec, copy);
  va_end(copy);
  if (n >= 0 && static_cast<size_t>(n) < sizeof buffer) {
    out.append(buffer, buffer + n);
  } else if (n >= 0) {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), spec, args);
    out.append(big.data(), big.data() + n);
  }
  va_end(args);
}

void AppendPadded(std::wstring& out, std::wstring_view text, bool left, int width, int precision) {
  if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text = text.substr(0, precision);
  size_t pad = (width > 0 && static_cast<size_t>(width) > text.size()) ? width - text.size() : 0;
  if (!left) out.append(pad, L' ');
  out.append(text);
  if (left) out.append(pad, L' ');
}

}  // namespace

std::wstring WFormatV(const wchar_t* fmt, va_list args) {
  std::wstring out;
  if (!fmt) return out;
  va_list ap;
  va_copy(ap, args);
  for (const wchar_t* p = fmt; *p; ++p) {
    if (*p != L'%') {
      out.push_back(*p);
      continue;
    }
    const wchar_t* start = p;
    ++p;
    if (*p == L'%') {
      out.push_back(L'%');
      continue;
    }
    std::string flags;
    while (*p && std::wcschr(L"-+ #0", *p)) flags.push_back(static_cast<char>(*p++));
    int width = -1;
    if (*p == L'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        flags.push_back('-');
        width = -width;
      }
      ++p;
    } else if (*p >= L'0' && *p <= L'9') {
      width = 0;
      while (*p >= L'0' && *p <= L'9') width = width * 10 + (*p++ - L'0');
    }
    int precision = -1;
    if (*p == L'.') {
      ++p;
      precision = 0;
      if (*p == L'*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= L'0' && *p <= L'9') precision = precision * 10 + (*p++ - L'0');
      }
    }
    std::string length;
    while (*p && std::wcschr(L"hlLzjt", *p)) length.push_back(static_cast<char>(*p++));
    wchar_t conv = *p;
    if (!conv) {  // dangling '%': copy what we have
      out.append(start);
      break;
    }
    std::string spec(1, '%');
    spec += flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) {
      spec += '.';
      spec += std::to_string(precision);
    }
    bool left = flags.find('-') != std::string::npos;
    switch (conv) {
      case L'd':
      case L'i': {
        long long v;
        if (length == "hh") v = static_cast<signed char>(va_arg(ap, int));
        else if (length == "h") v = static_cast<short>(va_arg(ap, int));
        else if (length == "l") v = va_arg(ap, long);
        else if (length == "ll" || length == "j" || length == "L") v = va_arg(ap, long long);
        else if (length == "z" || length == "t") v = va_arg(ap, ptrdiff_t);
        else v = va_arg(ap, int);
        AppendNarrowSpec(out, (spec + "lld").c_str(), v);
        break;
      }
      case L'u':
      case L'x':
      case L'X':
      case L'o': {
        unsigned long long v;
        if (length == "hh") v = static_cast<unsigned char>(va_arg(ap, unsigned));
        else if (length == "h") v = static_cast<unsigned short>(va_arg(ap, unsigned));
        else if (length == "l") v = va_arg(ap, unsigned long);
        else if (length == "ll" || length == "j" || length == "L") v = va_arg(ap, unsigned long long);
        else if (length == "z" || length == "t") v = va_arg(ap, size_t);
        else v = va_arg(ap, unsigned);
        AppendNarrowSpec(out, (spec + "ll" + static_cast<char>(conv)).c_str(), v);
        break;
      }
      case L'c': {
        wchar_t c = (length == "l") ? static_cast<wchar_t>(va_arg(ap, wint_t))
                                    : static_cast<wchar_t>(static_cast<unsigned char>(va_arg(ap, int)));
        AppendPadded(out, std::wstring_view(&c, 1), left, width, -1);
        break;
      }
      case L's': {
        if (length == "l") {
          const wchar_t* s = va_arg(ap, const wchar_t*);
          AppendPadded(out, s ? std::wstring_view(s) : std::wstring_view(L"(null)"), left, width, precision);
        } else {
          const char* s = va_arg(ap, const char*);
          std::wstring w = s ? DecodeText(s) : std::wstring(L"(null)");
          AppendPadded(out, w, left, width, precision);
        }
        break;
      }
      case L'p':
        AppendNarrowSpec(out, (spec + "p").c_str(), va_arg(ap, void*));
        break;
      case L'f':
      case L'F':
      case L'e':
      case L'E':
      case L'g':
      case L'G':
        AppendNarrowSpec(out, (spec + static_cast<char>(conv)).c_str(), va_arg(ap, double));
        break;
      default:  // unknown conversion: keep the text as written
        out.append(start, p + 1);
        break;
    }
  }
  va_end(ap);
  return out;
}

std::wstring WFormat(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring s = WFormatV(fmt, args);
  va_end(args);
  return s;
}

std::string NFormatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char buffer[512];
  int n = std::vsnprintf(buffer, sizeof buffer, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), fmt, args);
  big.resize(n);
  return big;
}

std::string NFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = NFormatV(fmt, args);
  va_end(args);
  return s;
}

std::string EncodeText(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c >= 0xDC80 && c <= 0xDCFF) {  // a byte that was not valid UTF-8 when decoded
      out.push_back(static_cast<char>(c - 0xDC00));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back('?');
    }
  }
  return out;
}

std::wstring DecodeText(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t c = extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra > 0 && i + extra < bytes.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char cb = static_cast<unsigned char>(bytes[i + k]);
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (ok) {
      out.push_back(static_cast<wchar_t>(c));
      i += extra + 1;
    } else {
      out.push_back(static_cast<wchar_t>(0xDC00 + b));
      ++i;
    }
  }
  return out;
}

void WriteNarrow(Stream stream, std::string_view bytes) {
  if (g_capture) {
    (stream == Stream::Out ? g_capture->out_ : g_capture->err_).append(bytes);
    return;
  }
  if (stream == Stream::Err) {
    std::fflush(stdout);  // keep the order of interleaved standard output and error lines
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
  } else {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
}

bool StandardOutputWritten() {
  if (g_capture) return true;
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

void Write(Stream stream, std::wstring_view text) { WriteNarrow(stream, EncodeText(text)); }

void Print(Stream stream, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring s = WFormatV(fmt, args);
  va_end(args);
  Write(stream, s);
}

void PrintNarrow(Stream stream, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = NFormatV(fmt, args);
  va_end(args);
  WriteNarrow(stream, s);
}

bool FileWriteNarrow(std::FILE* file, std::string_view bytes) {
  if (!file) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool FileWrite(std::FILE* file, std::wstring_view text) { return FileWriteNarrow(file, EncodeText(text)); }

bool FilePrint(std::FILE* file, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::wstring s = WFormatV(fmt, args);
  va_end(args);
  return FileWrite(file, s);
}

ConsoleCapture::ConsoleCapture() : previous_(g_capture) { g_capture = this; }
ConsoleCapture::~ConsoleCapture() { g_capture = previous_; }

}  // namespace kes
