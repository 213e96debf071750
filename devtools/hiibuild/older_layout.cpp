// Data tables of the older HII layout: opcodes of the older IFR encoding, string packs per
// language, and the image that holds the tables.
#include "devtools/hiibuild/older_layout.h"

#include <algorithm>
#include <stdexcept>

namespace kes::hiibuild {

namespace {

uint32_t Size32(size_t size, const char* what) {
  if (size > 0xFFFFFFFFu) throw std::length_error(std::string(what) + " is longer than 32 bits");
  return static_cast<uint32_t>(size);
}

}  // namespace

OlderTable::OlderTable(uint16_t handle, const EfiGuid& packageGuid, std::string language, std::wstring printableName)
    : handle_(handle), guid_(packageGuid) {
  languages_.push_back({std::move(language), std::move(printableName), {}});
}

OlderTable::Language& OlderTable::FindLanguage(std::string_view name) {
  for (Language& l : languages_) {
    if (l.name == name) return l;
  }
  languages_.push_back({std::string(name), std::wstring(name.begin(), name.end()), {}});
  return languages_.back();
}

void OlderTable::AddLanguage(std::string language, std::wstring printableName) {
  FindLanguage(language).printable = std::move(printableName);
}

uint16_t OlderTable::AddString(std::wstring_view text) {
  if (nextToken_ > 0xFFFF) throw std::length_error("a data table holds at most 65535 string tokens");
  uint16_t token = static_cast<uint16_t>(nextToken_++);
  languages_.front().texts[token] = ToUcs2(text);
  return token;
}

void OlderTable::SetString(std::string_view language, uint16_t token, std::wstring_view text) {
  if (token == 0) throw std::invalid_argument("token 0 is the language name");
  FindLanguage(language).texts[token] = ToUcs2(text);
  if (token >= nextToken_) nextToken_ = static_cast<uint32_t>(token) + 1;
}

uint16_t OlderTable::Resolve(const Str& s) { return s.hasText() ? AddString(s.text()) : s.id(); }

size_t OlderTable::Append(uint8_t code, const ByteVector& body) {
  if (body.size() + 2 > 0xFF) throw std::length_error("an older IFR opcode is at most 255 bytes long");
  size_t at = older::kPackHeaderSize + ifr_.size();
  ifr_.push_back(code);
  ifr_.push_back(static_cast<uint8_t>(body.size() + 2));
  ifr_.insert(ifr_.end(), body.begin(), body.end());
  return at;
}

size_t OlderTable::Op(uint8_t code, ByteSpan body) { return Append(code, ByteVector(body.begin(), body.end())); }

size_t OlderTable::Raw(ByteSpan bytes) {
  size_t at = older::kPackHeaderSize + ifr_.size();
  ifr_.insert(ifr_.end(), bytes.begin(), bytes.end());
  return at;
}

Emitted OlderTable::FormSet(const EfiGuid& guid, Str title, Str help, uint16_t formSetClass, uint16_t subclass,
                            uint16_t nvDataSize) {
  Emitted e;
  e.prompt = Resolve(title);
  e.help = Resolve(help);
  ByteWriter w;
  w.Guid(guid).U16(e.prompt).U16(e.help).U64(0).U16(formSetClass).U16(subclass).U16(nvDataSize);
  e.at = Append(older::op::kFormSet, w.bytes());
  return e;
}

size_t OlderTable::VarStore(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size) {
  return Append(older::op::kVarStore, ByteWriter().Guid(guid).U16(id).U16(size).Ascii(name).bytes());
}

size_t OlderTable::VarStoreSelect(uint16_t id) {
  return Append(older::op::kVarStoreSelect, ByteWriter().U16(id).bytes());
}

size_t OlderTable::VarStoreSelectPair(uint16_t id, uint16_t secondaryId) {
  return Append(older::op::kVarStoreSelectPair, ByteWriter().U16(id).U16(secondaryId).bytes());
}

Emitted OlderTable::Form(uint16_t formId, Str title) {
  Emitted e;
  e.prompt = Resolve(title);
  e.at = Append(older::op::kForm, ByteWriter().U16(formId).U16(e.prompt).bytes());
  return e;
}

Emitted OlderTable::Subtitle(Str prompt) {
  Emitted e;
  e.prompt = Resolve(prompt);
  e.at = Append(older::op::kSubtitle, ByteWriter().U16(e.prompt).bytes());
  return e;
}

size_t OlderTable::EndForm() { return Append(older::op::kEndForm, {}); }
size_t OlderTable::EndFormSet() { return Append(older::op::kEndFormSet, {}); }
size_t OlderTable::EndOneOf() { return Append(older::op::kEndOneOf, {}); }
size_t OlderTable::SuppressIf() { return Append(older::op::kSuppressIf, {}); }
size_t OlderTable::GrayOutIf() { return Append(older::op::kGrayOutIf, {}); }
size_t OlderTable::Hidden() { return Append(older::op::kHidden, {}); }
size_t OlderTable::EndIf() { return Append(older::op::kEndIf, {}); }

// QuestionId (the value's offset), Width, Prompt, Help: the head shared by every question.
ByteWriter& OlderTable::QuestionHead(ByteWriter& w, const OlderQ& q, Emitted& e) {
  e.prompt = Resolve(q.prompt);
  e.help = Resolve(q.help);
  return w.U16(q.offset).U8(q.width).U16(e.prompt).U16(e.help);
}

Emitted OlderTable::Option(const OlderOpt& option) {
  Emitted e;
  e.prompt = Resolve(option.text);
  e.at = Append(older::op::kOneOfOption,
                ByteWriter().U16(e.prompt).U16(option.value).U8(option.flags).U16(option.key).bytes());
  return e;
}

Emitted OlderTable::WithOptions(uint8_t code, const OlderQ& q, const std::vector<OlderOpt>& options) {
  Emitted e;
  ByteWriter w;
  e.at = Append(code, QuestionHead(w, q, e).bytes());
  for (const OlderOpt& o : options) e.options.push_back(Option(o).prompt);
  EndOneOf();
  return e;
}

Emitted OlderTable::OneOf(const OlderQ& q, const std::vector<OlderOpt>& options) {
  return WithOptions(older::op::kOneOf, q, options);
}

Emitted OlderTable::OrderedList(const OlderQ& q, const std::vector<OlderOpt>& options) {
  return WithOptions(older::op::kOrderedList, q, options);
}

Emitted OlderTable::CheckBox(const OlderQ& q) {
  Emitted e;
  ByteWriter w;
  QuestionHead(w, q, e).U8(q.flags).U16(q.key);
  e.at = Append(older::op::kCheckBox, w.bytes());
  return e;
}

Emitted OlderTable::Numeric(const OlderQ& q, uint16_t minimum, uint16_t maximum, uint16_t step,
                            uint16_t defaultValue) {
  Emitted e;
  ByteWriter w;
  QuestionHead(w, q, e).U8(q.flags).U16(q.key).U16(minimum).U16(maximum).U16(step).U16(defaultValue);
  e.at = Append(older::op::kNumeric, w.bytes());
  return e;
}

Emitted OlderTable::String(const OlderQ& q, uint8_t minSize, uint8_t maxSize) {
  Emitted e;
  ByteWriter w;
  QuestionHead(w, q, e).U8(q.flags).U16(q.key).U8(minSize).U8(maxSize);
  e.at = Append(older::op::kString, w.bytes());
  return e;
}

size_t OlderTable::EqIdVal(uint16_t questionId, uint8_t width, uint16_t value) {
  return Append(older::op::kEqIdVal, ByteWriter().U16(questionId).U8(width).U16(value).bytes());
}

size_t OlderTable::EqIdList(uint16_t questionId, uint8_t width, const std::vector<uint16_t>& values) {
  if (values.size() > 0xFFFF) throw std::length_error("EQ_ID_LIST holds at most 65535 values");
  ByteWriter w;
  w.U16(questionId).U8(width).U16(static_cast<uint16_t>(values.size()));
  for (uint16_t v : values) w.U16(v);
  return Append(older::op::kEqIdList, w.bytes());
}

ByteVector OlderTable::IfrPackBytes() const {
  ByteWriter w;
  w.U32(Size32(older::kPackHeaderSize + ifr_.size(), "an IFR pack")).U16(older::kIfrPackType).Append(ifr_);
  return w.bytes();
}

// Header and pointer array first, then the language name (token 0), the printable name and the
// texts in token order; a token without any text points at an empty string.
ByteVector OlderTable::StringPackBytes(std::string_view language) const {
  const Language* lang = nullptr;
  for (const Language& l : languages_) {
    if (l.name == language) lang = &l;
  }
  if (lang == nullptr) throw std::invalid_argument("no string pack for language " + std::string(language));
  const Language& primary = languages_.front();

  const size_t count = nextToken_;
  ByteWriter texts;
  auto place = [&](const std::u16string& units) {
    uint32_t at = Size32(older::kStringPackHeaderSize + 4 * count + texts.size(), "a string pack");
    for (char16_t c : units) texts.U16(c);
    texts.U16(0);
    return at;
  };
  std::vector<uint32_t> pointers(count);
  pointers[0] = place(ToUcs2(std::wstring(lang->name.begin(), lang->name.end())));
  const uint32_t printable = place(ToUcs2(lang->printable));
  uint32_t empty = 0;
  for (size_t token = 1; token < count; ++token) {
    auto own = lang->texts.find(static_cast<uint16_t>(token));
    auto fallback = primary.texts.find(static_cast<uint16_t>(token));
    if (own != lang->texts.end()) {
      pointers[token] = place(own->second);
    } else if (fallback != primary.texts.end()) {
      pointers[token] = place(fallback->second);
    } else {
      if (empty == 0) empty = place(u"");
      pointers[token] = empty;
    }
  }

  ByteWriter w;
  w.U32(Size32(older::kStringPackHeaderSize + 4 * count + texts.size(), "a string pack"))
      .U16(older::kStringPackType)
      .U32(pointers[0])
      .U32(printable)
      .U32(static_cast<uint32_t>(count))
      .U32(0);
  for (uint32_t p : pointers) w.U32(p);
  w.Append(texts.bytes());
  return w.bytes();
}

ByteVector OlderTable::Bytes() const {
  ByteVector table(older::kTableHeaderSize, 0);
  uint32_t ifrOffset = 0, stringOffset = 0;
  if (ifrPack) {
    ifrOffset = Size32(table.size(), "a data table");
    ByteVector pack = IfrPackBytes();
    table.insert(table.end(), pack.begin(), pack.end());
  }
  if (stringPacks) {
    stringOffset = Size32(table.size(), "a data table");
    for (const Language& l : languages_) {
      ByteVector pack = StringPackBytes(l.name);
      table.insert(table.end(), pack.begin(), pack.end());
    }
    if (stringTerminator) table.insert(table.end(), older::kPackHeaderSize, 0);
  }
  table.insert(table.end(), trailing.begin(), trailing.end());

  ByteWriter head;
  head.U16(handle_).Guid(guid_).U32(declaredSize.value_or(Size32(table.size(), "a data table")))
      .U32(ifrOffset).U32(stringOffset);
  std::copy(head.bytes().begin(), head.bytes().end(), table.begin());
  return table;
}

ByteVector OlderImageBytes(const std::vector<ByteVector>& tables, std::optional<uint16_t> declaredCount) {
  if (!declaredCount && tables.size() > 0xFFFF) throw std::length_error("an image holds at most 65535 tables");
  ByteWriter w;
  w.U16(declaredCount.value_or(static_cast<uint16_t>(tables.size()))).Zeros(16);
  for (const ByteVector& t : tables) w.Append(t);
  return w.bytes();
}

}  // namespace kes::hiibuild
