// The benchmarks' shared command-line words: --scales N[,N...] (1 to 64) and --runs N.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kes::bench {

// "1,4" -> {1, 4}; nullopt for an empty item, a non-digit or a scale outside 1..64.
inline std::optional<std::vector<unsigned>> ParseScales(std::string_view text) {
  std::vector<unsigned> scales;
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (item.empty() || item.size() > 2 || item.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    unsigned scale = static_cast<unsigned>(std::stoul(std::string(item)));
    if (scale < 1 || scale > 64) return std::nullopt;
    scales.push_back(scale);
    if (comma == std::string_view::npos) return scales;
    text.remove_prefix(comma + 1);
  }
}

// A whole number from 1 to `max`.
inline std::optional<unsigned> ParseCount(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  unsigned long value = std::stoul(std::string(text));
  if (value < 1 || value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

// argv[first...] holding only --scales and --runs (at most 100); false on anything else.
inline bool ParseScalesAndRuns(int argc, char** argv, int first, std::vector<unsigned>& scales, int& runs) {
  for (int i = first; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    std::string_view flag = argv[i], value = argv[i + 1];
    if (flag == "--runs") {
      auto parsed = ParseCount(value, 100);
      if (!parsed) return false;
      runs = static_cast<int>(*parsed);
    } else if (flag == "--scales") {
      auto parsed = ParseScales(value);
      if (!parsed) return false;
      scales = *parsed;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace kes::bench
