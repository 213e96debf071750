// Text helpers shared by every subsystem: conversions between the three text forms the tool
// handles (bytes of the locale, wide text with 32-bit characters, UTF-16 as the firmware stores
// it), trimming, the printable filter, case-insensitive search, and whole-file I/O.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kes {

std::wstring ToWide(std::string_view text);     // bytes -> wide (UTF-8, invalid bytes kept)
std::string ToNarrow(std::wstring_view text);   // wide -> bytes

// Unit-by-unit conversions: every wide character becomes one 16-bit unit (cut to 16 bits) and
// every unit one wide character. No surrogate pairing, as the firmware expects.
std::u16string WideToUtf16(std::wstring_view text);
std::wstring Utf16ToWide(std::u16string_view text);
// Little-endian UTF-16 bytes, optionally followed by a zero unit.
std::vector<uint8_t> WideToUtf16Bytes(std::wstring_view text, bool terminator);
// Reads byteCount / 2 little-endian units; stops early at a zero unit when stopAtZero is set.
std::wstring Utf16BytesToWide(std::span<const uint8_t> bytes, bool stopAtZero);
// Units before the terminating zero, never reading past the view.
size_t Utf16Length(std::span<const uint8_t> bytes);
// Difference of the first differing pair, 0 when equal up to and including the terminator.
int CompareWideToUtf16(std::wstring_view wide, std::u16string_view utf16);

bool IsBlank(int c);  // the C locale's isspace
void TrimLeading(std::string& text);
void TrimTrailing(std::string& text);  // never removes the first character
std::string Trim(std::string_view text);
void TrimWide(std::wstring& text);
bool IsBlankText(std::wstring_view text);  // empty or only white space

// The printable filter: every character outside 0x20..0x7E becomes a blank.
void ReplaceUnprintable(std::wstring& text);
void ReplaceUnprintable(std::string& text);
std::wstring Printable(std::wstring_view text);

// Position of needle in haystack ignoring ASCII case, or npos.
size_t FindNoCase(std::string_view haystack, std::string_view needle);
// 0 when equal ignoring case; otherwise the sign of the first difference.
int CompareNoCase(std::string_view a, std::string_view b);
int CompareNoCaseWide(std::wstring_view a, std::wstring_view b);
std::wstring ToUpperAscii(std::wstring_view text);

// Writes a buffer to a file (created or truncated). Returns 0 on success and 1 on failure, and
// prints "File Name Not Provided", "Unable to create file %s" or "Unable to write into file : %s".
int WriteFile(const std::string& fileName, std::span<const uint8_t> data);
// Joins directory and name with one "/" and calls WriteFile; returns 1 on success, 0 on failure.
int WriteFileInDirectory(const std::wstring& directory, const std::string& fileName,
                         std::span<const uint8_t> data);
// Reads a whole file, but never more than limit bytes, so that a device or pipe without an end
// cannot exhaust memory (callers pass their maximum + 1 to tell an oversized file). nullopt when
// the file cannot be opened or read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& fileName, size_t limit = SIZE_MAX);

}  // namespace kes
