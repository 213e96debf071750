// Reading a script export for comparison with a PLDM file: the blocks by question name and the
// items of their value lines, in the script's own text form.
#pragma once
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/pldm/pldm_decoder.h"

namespace kes::test {

// Text as the script file holds it: characters outside printable ASCII become blanks.
inline std::string Ascii(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if ((c & 0xC0) == 0x80) continue;  // continuation bytes of one character
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : ' ');
  }
  return out;
}
inline std::string Utf16Ascii(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    if (bytes[i + 1] == 0 && bytes[i] >= 0x20 && bytes[i] < 0x7F) out.push_back(static_cast<char>(bytes[i]));
  return out;
}

// The script's blocks by question name (the first block of each name).
inline std::map<std::string, std::string> ScriptBlocks(const std::string& script, size_t* count) {
  std::map<std::string, std::string> blocks;
  *count = 0;
  static const std::regex header("(^|\n)(// )?Setup Question\t= ([^\n]*)\n");
  auto begin = std::sregex_iterator(script.begin(), script.end(), header);
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    ++*count;
    size_t start = static_cast<size_t>(it->position(0));
    size_t end = script.find("\nSetup Question\t= ", start + 1);
    size_t commented = script.find("\n// Setup Question\t= ", start + 1);
    end = std::min(end, commented);
    blocks.emplace((*it)[3].str(), script.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  return blocks;
}

// The texts of "[xx]text" items of a block's value lines, in order, and the starred one.
inline std::vector<std::string> Items(const std::string& block, std::string* starred = nullptr) {
  std::vector<std::string> out;
  static const std::regex item("(\\*?)\\[[0-9A-Fa-f]+\\] ?([^\t\n]*)");
  size_t from = block.find("Options\t=");
  if (from == std::string::npos) from = block.find("ListOrder\t=");
  if (from == std::string::npos) return out;
  std::string rest = block.substr(from);
  for (auto it = std::sregex_iterator(rest.begin(), rest.end(), item); it != std::sregex_iterator(); ++it) {
    out.push_back((*it)[2].str());
    if (starred && (*it)[1].length()) *starred = (*it)[2].str();
  }
  return out;
}

inline std::vector<std::string> Texts(const PldmDecoded& d, const std::vector<uint16_t>& handles) {
  std::vector<std::string> out;
  for (uint16_t h : handles) out.push_back(Ascii(d.Text(h)));
  return out;
}

inline std::vector<std::string> CurrentTexts(const PldmDecoded& d, const PldmDecoded::Attr& a) {
  std::vector<std::string> out;
  for (unsigned i : a.current) out.push_back(i < a.options.size() ? Ascii(d.Text(a.options[i])) : "?");
  return out;
}

}  // namespace kes::test
