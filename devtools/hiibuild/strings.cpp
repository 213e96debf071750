// String packages: the block area, either encoded from the texts by id or given block by block.
#include <stdexcept>

#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

namespace {

void AppendUcs2(ByteVector& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

void CheckNoNul(std::u16string_view text) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    throw std::invalid_argument("a string block text cannot hold a zero unit");
  }
}

void AppendSkip(ByteVector& out, uint32_t count, SkipStyle style) {
  while (count > 0) {
    if (style == SkipStyle::Mixed && count <= 0xFF) {
      out.push_back(sibt::kSkip1);
      out.push_back(static_cast<uint8_t>(count));
      return;
    }
    uint16_t n = static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count);
    out.push_back(sibt::kSkip2);
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(n >> 8));
    count -= n;
  }
}

}  // namespace

StringBlocks& StringBlocks::String(std::wstring_view text) {
  std::u16string units = ToUcs2(text);
  CheckNoNul(units);
  bytes_.push_back(sibt::kStringUcs2);
  AppendUcs2(bytes_, units);
  ++nextId_;
  return *this;
}

StringBlocks& StringBlocks::Strings(const std::vector<std::wstring>& texts) {
  if (texts.size() > 0xFFFF) throw std::length_error("too many strings in one STRINGS_UCS2 block");
  bytes_.push_back(sibt::kStringsUcs2);
  bytes_.push_back(static_cast<uint8_t>(texts.size()));
  bytes_.push_back(static_cast<uint8_t>(texts.size() >> 8));
  for (const auto& t : texts) {
    std::u16string units = ToUcs2(t);
    CheckNoNul(units);
    AppendUcs2(bytes_, units);
  }
  nextId_ = static_cast<uint16_t>(nextId_ + texts.size());
  return *this;
}

StringBlocks& StringBlocks::Skip1(uint8_t count) {
  bytes_.push_back(sibt::kSkip1);
  bytes_.push_back(count);
  nextId_ = static_cast<uint16_t>(nextId_ + count);
  return *this;
}

StringBlocks& StringBlocks::Skip2(uint16_t count) {
  bytes_.push_back(sibt::kSkip2);
  bytes_.push_back(static_cast<uint8_t>(count));
  bytes_.push_back(static_cast<uint8_t>(count >> 8));
  nextId_ = static_cast<uint16_t>(nextId_ + count);
  return *this;
}

StringBlocks& StringBlocks::Scsu(std::string_view text) {
  // EFI_HII_SIBT_STRING_SCSU: the type byte, then NUL-terminated 8-bit text.
  bytes_.push_back(sibt::kStringScsu);
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  bytes_.push_back(0);
  ++nextId_;
  return *this;
}

StringBlocks& StringBlocks::End() {
  bytes_.push_back(sibt::kEnd);
  return *this;
}

StringBlocks& StringBlocks::Raw(ByteSpan bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ByteVector StringPackage::Blocks() const {
  if (explicitBlocks) return explicitBlocks->bytes();
  ByteVector out;
  uint32_t next = 1;  // the id the next block describes
  auto it = strings.begin();
  while (it != strings.end()) {
    if (it->first == 0) throw std::invalid_argument("string id 0 does not exist");
    if (it->first > next) AppendSkip(out, it->first - next, skipStyle);
    next = it->first;
    // The run of consecutive ids starting here.
    auto runEnd = it;
    uint32_t runLength = 0;
    while (runEnd != strings.end() && runEnd->first == next + runLength && runLength < 0xFFFF) {
      CheckNoNul(runEnd->second);
      ++runEnd;
      ++runLength;
    }
    if (useStringsRuns && runLength > 1) {
      out.push_back(sibt::kStringsUcs2);
      out.push_back(static_cast<uint8_t>(runLength));
      out.push_back(static_cast<uint8_t>(runLength >> 8));
      for (auto r = it; r != runEnd; ++r) AppendUcs2(out, r->second);
    } else {
      for (auto r = it; r != runEnd; ++r) {
        out.push_back(sibt::kStringUcs2);
        AppendUcs2(out, r->second);
      }
    }
    next += runLength;
    it = runEnd;
  }
  if (endBlock) out.push_back(sibt::kEnd);
  return out;
}

ByteVector StringPackage::Bytes() const {
  return StringPackageBytes(language, Blocks(), languageName, languageWindow);
}

}  // namespace kes::hiibuild
