#include "companions/fwemu/config.h"

#include <cctype>
#include <charconv>
#include <functional>
#include <map>
#include <set>

namespace kes::fwemu {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<bool> ParseBool(std::string_view value) {
  std::string v = Lower(value);
  if (v == "yes" || v == "true" || v == "on" || v == "1") return true;
  if (v == "no" || v == "false" || v == "off" || v == "0") return false;
  return std::nullopt;
}

// Decimal, or hexadecimal with a "0x" prefix.
std::optional<uint64_t> ParseNumber(std::string_view value) {
  int base = 10;
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    value.remove_prefix(2);
    base = 16;
  }
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n, base);
  if (ec != std::errc() || end != value.data() + value.size() || value.empty()) return std::nullopt;
  return n;
}

std::vector<std::string_view> SplitWords(std::string_view value) {
  std::vector<std::string_view> words;
  size_t i = 0;
  auto separator = [](char c) { return c == ',' || std::isspace(static_cast<unsigned char>(c)); };
  while (i < value.size()) {
    while (i < value.size() && separator(value[i])) ++i;
    size_t start = i;
    while (i < value.size() && !separator(value[i])) ++i;
    if (i > start) words.push_back(value.substr(start, i - start));
  }
  return words;
}

VariablePattern ParsePattern(std::string_view word) {
  if (auto id = ParseVariableFileName(word)) return {id->name, id->guid};
  return {std::string(word), std::nullopt};
}

// Appends the UTF-16 units of one UTF-8 text; bytes that are not valid UTF-8 count as one unit each.
void AppendUtf16(std::string_view utf8, std::vector<uint16_t>& units) {
  size_t i = 0;
  while (i < utf8.size()) {
    auto b = static_cast<uint8_t>(utf8[i]);
    uint32_t cp = b;
    size_t len = 1;
    if (b >= 0xC0 && b < 0xE0) len = 2, cp = b & 0x1F;
    else if (b >= 0xE0 && b < 0xF0) len = 3, cp = b & 0x0F;
    else if (b >= 0xF0 && b < 0xF8) len = 4, cp = b & 0x07;
    bool valid = len == 1 || i + len <= utf8.size();
    for (size_t k = 1; valid && k < len; ++k) {
      auto c = static_cast<uint8_t>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!valid) {
      cp = b;
      len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    i += len;
  }
}

void AppendUnit(std::vector<uint8_t>& out, uint16_t unit) {
  out.push_back(static_cast<uint8_t>(unit));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

std::vector<uint8_t> PlainPasswordBytes(std::string_view utf8) {
  std::vector<uint16_t> units;
  AppendUtf16(utf8, units);
  units.push_back(0);
  std::vector<uint8_t> out;
  for (uint16_t u : units) AppendUnit(out, u);
  return out;
}

std::optional<std::vector<uint8_t>> KeyUnitPasswordBytes(std::string_view words, bool efiKey) {
  std::vector<uint8_t> out;
  for (std::string_view word : SplitWords(words)) {
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) word.remove_prefix(2);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), n, 16);
    if (ec != std::errc() || end != word.data() + word.size() || n > 0xFFFF) return std::nullopt;
    auto unit = static_cast<uint16_t>(n);
    if (efiKey) unit ^= 0x8000;
    AppendUnit(out, unit);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

bool ParseConfig(std::string_view text, Config& config, std::string& error) {
  using Setter = std::function<std::string(std::string_view)>;  // returns "" or what is wrong
  auto boolean = [](bool& field) {
    return Setter([&field](std::string_view v) -> std::string {
      auto b = ParseBool(v);
      if (!b) return "expected yes or no";
      field = *b;
      return "";
    });
  };
  auto patterns = [](std::vector<VariablePattern>& field) {
    return Setter([&field](std::string_view v) -> std::string {
      for (auto word : SplitWords(v)) field.push_back(ParsePattern(word));
      return "";
    });
  };
  int passwordKeys = 0;
  auto password = [&](auto make) {
    return Setter([&config, &passwordKeys, make](std::string_view v) -> std::string {
      auto bytes = make(v);
      if (!bytes) return "expected hexadecimal 16-bit key units";
      config.adminPassword = std::move(*bytes);
      ++passwordKeys;
      return "";
    });
  };
  const std::set<std::string> listKeys = {"protected_variables", "failing_variables",
                                          "write_protected_variables"};
  const std::map<std::string, Setter> setters = {
      {"mailbox_variable",
       [&](std::string_view v) -> std::string {
         auto id = ParseVariableFileName(v);
         if (!id) return "expected Name-guid";
         config.mailbox = *id;
         return "";
       }},
      {"mailbox_return_value",
       [&](std::string_view v) -> std::string {
         auto n = ParseNumber(v);
         if (!n || *n > 0xFFFF) return "expected a 16-bit number";
         config.mailboxReturnValue = static_cast<uint16_t>(*n);
         return "";
       }},
      {"mailbox_error_service",
       [&](std::string_view v) -> std::string {
         std::string s = Lower(v);
         if (s == "any") config.mailboxErrorService = MailboxService::kAny;
         else if (s == "hii") config.mailboxErrorService = MailboxService::kHiiRead;
         else if (s == "enumerate") config.mailboxErrorService = MailboxService::kEnumerate;
         else return "expected any, hii or enumerate";
         return "";
       }},
      {"reject_version_8", boolean(config.rejectVersion8)},
      {"hii_fail_offset",
       [&](std::string_view v) -> std::string {
         auto n = ParseNumber(v);
         if (!n) return "expected a byte offset";
         config.hiiFailOffset = *n;
         return "";
       }},
      {"hii_fail_status",
       [&](std::string_view v) -> std::string {
         auto n = ParseNumber(v);
         if (!n || *n == 0) return "expected a non-zero status";
         config.hiiFailStatus = *n | kEfiErrorBit;
         return "";
       }},
      {"password_feature", boolean(config.passwordFeature)},
      {"admin_password", password([](std::string_view v) {
         return std::optional<std::vector<uint8_t>>(PlainPasswordBytes(v));
       })},
      {"admin_password_scancode",
       password([](std::string_view v) { return KeyUnitPasswordBytes(v, false); })},
      {"admin_password_efikey",
       password([](std::string_view v) { return KeyUnitPasswordBytes(v, true); })},
      {"password_retry_limit",
       [&](std::string_view v) -> std::string {
         auto n = ParseNumber(v);
         if (!n || *n > 1000000) return "expected a number";
         config.passwordRetryLimit = static_cast<unsigned>(*n);
         return "";
       }},
      {"protected_variables", patterns(config.protectedVariables)},
      {"failing_variables", patterns(config.failingVariables)},
      {"write_protected_variables", patterns(config.writeProtectedVariables)},
      {"strict_attributes", boolean(config.strictAttributes)},
      {"max_variable_size",
       [&](std::string_view v) -> std::string {
         auto n = ParseNumber(v);
         if (!n) return "expected a number of bytes";
         config.maxVariableSize = *n;
         return "";
       }},
      {"fidt_core_version",
       [&](std::string_view v) -> std::string {
         if (v.size() != 2) return "expected two characters, for example 05";
         config.fidtCoreVersion = std::string(v);
         return "";
       }},
      {"fidt_absent", boolean(config.fidtAbsent)},
  };

  std::set<std::string> seen;
  size_t lineNumber = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    auto fail = [&](const std::string& what) {
      error = "fwemu.conf line " + std::to_string(lineNumber) + ": " + what;
      return false;
    };
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected key = value");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string_view value = Trim(line.substr(eq + 1));
    auto setter = setters.find(key);
    if (setter == setters.end()) return fail("unknown key '" + key + "'");
    if (!listKeys.count(key) && !seen.insert(key).second) return fail("'" + key + "' given twice");
    if (value.empty() && !listKeys.count(key)) return fail("'" + key + "' has no value");
    std::string problem = setter->second(value);
    if (!problem.empty()) return fail(key + ": " + problem);
  }
  if (passwordKeys > 1) {
    error = "fwemu.conf: give only one of admin_password, admin_password_scancode, admin_password_efikey";
    return false;
  }
  if (config.adminPassword && !config.passwordFeature) {
    error = "fwemu.conf: an admin password needs password_feature = yes";
    return false;
  }
  return true;
}

}  // namespace kes::fwemu
