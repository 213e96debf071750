// The one output layer. Every console message and every text file the tool writes goes through
// here, so wide and narrow text can never be lost to a stream's orientation: all streams stay
// byte-oriented, and wide text is encoded to bytes (UTF-8; script files hold ASCII only).
//
// Formatting follows printf conventions (%ls, %X, %02llX, %s, %c, %d, ...). Wide formats are
// rendered by our own formatter so that the result never depends on the C locale.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace kes {

enum class Stream { Out, Err };

std::wstring WFormat(const wchar_t* fmt, ...);
std::wstring WFormatV(const wchar_t* fmt, va_list args);
std::string NFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string NFormatV(const char* fmt, va_list args);

// Console output.
void Write(Stream stream, std::wstring_view text);
void WriteNarrow(Stream stream, std::string_view bytes);
void Print(Stream stream, const wchar_t* fmt, ...);
void PrintNarrow(Stream stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
inline void Out(std::wstring_view text) { Write(Stream::Out, text); }
// Flushes standard output; false when something written to it was lost (a full disk, a closed
// pipe, /dev/full). Always true while a ConsoleCapture is alive. For operations whose result is
// what they print.
bool StandardOutputWritten();
inline void Err(std::wstring_view text) { Write(Stream::Err, text); }

// File output (files opened by the tool with fopen).
bool FileWrite(std::FILE* file, std::wstring_view text);
bool FileWriteNarrow(std::FILE* file, std::string_view bytes);
bool FilePrint(std::FILE* file, const wchar_t* fmt, ...);

// Wide <-> bytes. Decoding takes UTF-8; bytes that are not valid UTF-8 are kept as U+DC80..U+DCFF
// so that encoding them again gives back the very same bytes.
std::string EncodeText(std::wstring_view text);
std::wstring DecodeText(std::string_view bytes);

// Redirects console output into strings while alive (for tests and for callers that need to
// capture a message). Nested captures stack.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  void Clear() { out_.clear(); err_.clear(); }

 private:
  friend void WriteNarrow(Stream, std::string_view);
  std::string out_;
  std::string err_;
  ConsoleCapture* previous_;
};

}  // namespace kes
