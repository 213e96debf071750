// Text operations of IFR expressions over UCS-2 strings: simple case mapping, wildcard pattern
// matching as the UEFI collation protocol does it, and the FIND, TOKEN and SPAN searches.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kes::evaluation {

inline constexpr uint64_t kNotFoundIndex = ~uint64_t{0};

// Simple (one unit to one unit) case mapping: ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic
// and the full-width Latin letters; other units are returned unchanged.
char16_t ToLowerUnit(char16_t c);
char16_t ToUpperUnit(char16_t c);
std::u16string ToLowerText(std::u16string_view text);
std::u16string ToUpperText(std::u16string_view text);

// Case-insensitive match of the whole text against a pattern: '*' matches any run of units
// (also none), '?' any one unit, "[...]" one unit of a set of units and ranges ("[a-cx]"); any
// other unit matches itself. A set left open never matches.
bool MatchPattern(std::u16string_view text, std::u16string_view pattern);

// Index of the first occurrence of `sub` in `text` at or after `start`, or kNotFoundIndex.
uint64_t FindText(std::u16string_view text, std::u16string_view sub, uint64_t start, bool ignoreCase);
// The index-th (from 0) token of `text` split at every unit found in `delimiters`; empty when
// there is no such token.
std::u16string TokenOf(std::u16string_view text, std::u16string_view delimiters, uint64_t index);
// Index of the first unit at or after `start` that lies in (or, with `nonMatching`, outside) the
// ranges given as pairs of bounds in `ranges`, or kNotFoundIndex. An unpaired last unit is ignored.
uint64_t SpanOf(std::u16string_view text, std::u16string_view ranges, uint64_t start, bool nonMatching);

}  // namespace kes::evaluation
