#include "hii/evaluator_text.h"

#include <vector>

namespace kes::evaluation {

namespace {

// Blocks where upper and lower case alternate: `first` upper, `first + 1` its lower case, ...
struct AlternatingBlock {
  char16_t first;
  char16_t last;
};
constexpr AlternatingBlock kAlternating[] = {
    {0x0100, 0x012F}, {0x0132, 0x0137}, {0x0139, 0x0148}, {0x014A, 0x0177}, {0x0179, 0x017E},
    {0x0460, 0x0481}, {0x048A, 0x04BF}, {0x04C1, 0x04CE}, {0x04D0, 0x052F}, {0x1E00, 0x1E95},
    {0x1EA0, 0x1EFF},
};

// Blocks whose lower case lies at a fixed distance above the upper case.
struct ShiftedBlock {
  char16_t upperFirst;
  char16_t upperLast;
  char16_t distance;
};
constexpr ShiftedBlock kShifted[] = {
    {u'A', u'Z', 0x20},       {0x00C0, 0x00D6, 0x20}, {0x00D8, 0x00DE, 0x20}, {0x0388, 0x038A, 0x25},
    {0x038E, 0x038F, 0x3F},   {0x0391, 0x03A1, 0x20}, {0x03A3, 0x03AB, 0x20}, {0x0400, 0x040F, 0x50},
    {0x0410, 0x042F, 0x20},   {0xFF21, 0xFF3A, 0x20},
};

// Single pairs (upper, lower) outside the blocks.
struct Pair {
  char16_t upper;
  char16_t lower;
};
constexpr Pair kPairs[] = {{0x0178, 0x00FF}, {0x0386, 0x03AC}, {0x038C, 0x03CC}, {0x04C0, 0x04CF}};

}  // namespace

char16_t ToLowerUnit(char16_t c) {
  for (const ShiftedBlock& b : kShifted) {
    if (c >= b.upperFirst && c <= b.upperLast) return static_cast<char16_t>(c + b.distance);
  }
  for (const AlternatingBlock& b : kAlternating) {
    if (c >= b.first && c <= b.last) return ((c - b.first) % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  for (const Pair& p : kPairs) {
    if (c == p.upper) return p.lower;
  }
  if (c == 0x0130) return u'i';
  return c;
}

char16_t ToUpperUnit(char16_t c) {
  for (const ShiftedBlock& b : kShifted) {
    if (c >= b.upperFirst + b.distance && c <= b.upperLast + b.distance) return static_cast<char16_t>(c - b.distance);
  }
  for (const AlternatingBlock& b : kAlternating) {
    if (c >= b.first && c <= b.last) return ((c - b.first) % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  for (const Pair& p : kPairs) {
    if (c == p.lower) return p.upper;
  }
  switch (c) {
    case 0x00B5: return 0x039C;  // micro sign
    case 0x0131: return u'I';    // dotless i
    case 0x017F: return u'S';    // long s
    case 0x03C2: return 0x03A3;  // final sigma
    default: return c;
  }
}

std::u16string ToLowerText(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = ToLowerUnit(c);
  return out;
}

std::u16string ToUpperText(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = ToUpperUnit(c);
  return out;
}

namespace {

// One element of a parsed pattern.
struct PatternItem {
  enum Kind { Unit, Any, Star, Set } kind = Unit;
  char16_t unit = 0;
  std::vector<std::pair<char16_t, char16_t>> ranges;  // Set: inclusive bounds, upper-cased

  bool Matches(char16_t c) const {
    char16_t u = ToUpperUnit(c);
    switch (kind) {
      case Unit: return u == unit;
      case Any: return true;
      case Set:
        for (const auto& [low, high] : ranges) {
          if (u >= low && u <= high) return true;
        }
        return false;
      case Star: return false;
    }
    return false;
  }
};

// False when a set is left open (such a pattern matches nothing).
bool ParsePattern(std::u16string_view pattern, std::vector<PatternItem>& items) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    PatternItem item;
    char16_t c = pattern[i];
    if (c == u'*') {
      item.kind = PatternItem::Star;
    } else if (c == u'?') {
      item.kind = PatternItem::Any;
    } else if (c == u'[') {
      item.kind = PatternItem::Set;
      size_t j = i + 1;
      bool closed = false;
      for (; j < pattern.size(); ++j) {
        char16_t p = pattern[j];
        if (p == u']') {
          closed = true;
          break;
        }
        // "x-y" is a range; a '-' first in the set, or before ']', is a plain unit.
        if (j + 2 < pattern.size() && pattern[j + 1] == u'-' && pattern[j + 2] != u']') {
          item.ranges.emplace_back(ToUpperUnit(p), ToUpperUnit(pattern[j + 2]));
          j += 2;
        } else {
          item.ranges.emplace_back(ToUpperUnit(p), ToUpperUnit(p));
        }
      }
      if (!closed) return false;
      i = j;
    } else {
      item.unit = ToUpperUnit(c);
    }
    items.push_back(std::move(item));
  }
  return true;
}

}  // namespace

bool MatchPattern(std::u16string_view text, std::u16string_view pattern) {
  std::vector<PatternItem> items;
  if (!ParsePattern(pattern, items)) return false;
  // Every item but '*' matches exactly one unit, so backtracking to the last '*' is enough:
  // O(text x pattern) at worst.
  size_t t = 0, p = 0;
  size_t starItem = SIZE_MAX, starText = 0;
  while (t < text.size()) {
    if (p < items.size() && items[p].kind == PatternItem::Star) {
      starItem = p++;
      starText = t;
    } else if (p < items.size() && items[p].Matches(text[t])) {
      ++p;
      ++t;
    } else if (starItem != SIZE_MAX) {
      p = starItem + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < items.size() && items[p].kind == PatternItem::Star) ++p;
  return p == items.size();
}

uint64_t FindText(std::u16string_view text, std::u16string_view sub, uint64_t start, bool ignoreCase) {
  if (start > text.size()) return kNotFoundIndex;
  std::u16string t(text), s(sub);
  if (ignoreCase) {
    t = ToUpperText(t);
    s = ToUpperText(s);
  }
  size_t at = t.find(s, static_cast<size_t>(start));
  return at == std::u16string::npos ? kNotFoundIndex : at;
}

std::u16string TokenOf(std::u16string_view text, std::u16string_view delimiters, uint64_t index) {
  uint64_t current = 0;
  size_t begin = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    bool boundary = i == text.size() || delimiters.find(text[i]) != std::u16string_view::npos;
    if (!boundary) continue;
    if (current == index) return std::u16string(text.substr(begin, i - begin));
    ++current;
    begin = i + 1;
  }
  return {};
}

uint64_t SpanOf(std::u16string_view text, std::u16string_view ranges, uint64_t start, bool nonMatching) {
  if (start >= text.size()) return kNotFoundIndex;
  for (size_t i = static_cast<size_t>(start); i < text.size(); ++i) {
    bool inside = false;
    for (size_t r = 0; r + 1 < ranges.size(); r += 2) {
      if (text[i] >= ranges[r] && text[i] <= ranges[r + 1]) {
        inside = true;
        break;
      }
    }
    if (inside != nonMatching) return i;
  }
  return kNotFoundIndex;
}

}  // namespace kes::evaluation
