// Forms packages: IFR opcodes of form sets, forms, statements, questions and conditions.
#include <algorithm>
#include <stdexcept>

#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

namespace {

uint8_t SizeBits(uint8_t size) {
  switch (size) {
    case 1: return flags::kSize1;
    case 2: return flags::kSize2;
    case 4: return flags::kSize4;
    case 8: return flags::kSize8;
    default: throw std::invalid_argument("numeric size must be 1, 2, 4 or 8");
  }
}

}  // namespace

uint16_t Forms::Resolve(const Str& s) { return s.hasText() ? list_.AddString(s.text()) : s.id(); }

void Forms::QuestionHeader(ByteWriter& w, const Q& q, Emitted& e) {
  e.prompt = Resolve(q.prompt);
  e.help = Resolve(q.help);
  if (!q.map.empty()) {
    if (e.prompt == 0) throw std::invalid_argument("a map string needs a prompt string id");
    list_.SetMapString(e.prompt, q.map);
  }
  w.U16(e.prompt).U16(e.help).U16(q.id).U16(q.varStore).U16(q.offset).U8(q.flags);
}

size_t Forms::Append(uint8_t opcode, const ByteVector& body, bool scope) {
  ByteVector bytes = IfrOpBytes(opcode, body, scope);
  size_t at = kPackageHeaderSize + ifr_.size();
  ifr_.insert(ifr_.end(), bytes.begin(), bytes.end());
  if (scope) scopes_.push_back(opcode);
  return at;
}

// Appends opcodes and follows the scopes they open and close (expressions may hold scopes).
void Forms::AppendTracked(ByteSpan bytes) {
  size_t pos = 0;
  while (pos + 2 <= bytes.size()) {
    uint8_t opcode = bytes[pos];
    size_t length = bytes[pos + 1] & 0x7F;
    if (length < 2 || pos + length > bytes.size()) break;
    if (opcode == op::kEnd) {
      if (!scopes_.empty()) scopes_.pop_back();
    } else if (bytes[pos + 1] & 0x80) {
      scopes_.push_back(opcode);
    }
    pos += length;
  }
  ifr_.insert(ifr_.end(), bytes.begin(), bytes.end());
}

Emitted Forms::Finish(Emitted e, uint8_t questionType, const Extra& x) {
  for (const Def& d : x.defaults) {
    Default(d.defaultId, d.type >= 0 ? static_cast<uint8_t>(d.type) : questionType, d.value);
  }
  if (!x.open && x.scope.value_or(true)) End();
  return e;
}

// ---------------------------------------------------------------------------------------------

Emitted Forms::FormSet(const EfiGuid& guid, Str title, Str help, std::vector<EfiGuid> classGuids) {
  if (classGuids.size() > 3) throw std::invalid_argument("a form set holds at most 3 class GUIDs");
  Emitted e;
  e.prompt = Resolve(title);
  e.help = Resolve(help);
  ByteWriter w;
  w.Guid(guid).U16(e.prompt).U16(e.help).U8(static_cast<uint8_t>(classGuids.size()));
  for (const auto& g : classGuids) w.Guid(g);
  e.at = Append(op::kFormSet, w.bytes(), true);
  return e;
}

size_t Forms::GuidOp(const EfiGuid& guid, ByteSpan data) {
  return Append(op::kGuid, ByteWriter().Guid(guid).Append(data).bytes(), false);
}

size_t Forms::ExtensionOp(uint8_t extendOpcode, uint16_t value) {
  return GuidOp(guids::kIfrExtension, ByteWriter().U8(extendOpcode).U16(value).bytes());
}

void Forms::ClassAndSubclass(uint16_t formSetClass, uint16_t subclass) {
  ExtensionOp(guidop::kClass, formSetClass);
  ExtensionOp(guidop::kSubclass, subclass);
}

Emitted Forms::DefaultStore(Str name, uint16_t defaultId) {
  Emitted e;
  e.prompt = Resolve(name);
  e.at = Append(op::kDefaultStore, ByteWriter().U16(e.prompt).U16(defaultId).bytes(), false);
  return e;
}

size_t Forms::VarStore(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size) {
  return Append(op::kVarStore, ByteWriter().Guid(guid).U16(id).U16(size).Ascii(name).bytes(), false);
}

size_t Forms::VarStoreEfi(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size,
                          uint32_t attributes) {
  return Append(op::kVarStoreEfi,
                ByteWriter().U16(id).Guid(guid).U32(attributes).U16(size).Ascii(name).bytes(), false);
}

Emitted Forms::Form(uint16_t formId, Str title) {
  Emitted e;
  e.prompt = Resolve(title);
  e.at = Append(op::kForm, ByteWriter().U16(formId).U16(e.prompt).bytes(), true);
  return e;
}

Emitted Forms::Subtitle(Str prompt, Str help, uint8_t subtitleFlags) {
  // Written with a scope and its END, as firmware compilers emit subtitles.
  Emitted e;
  e.prompt = Resolve(prompt);
  e.help = Resolve(help);
  e.at = Append(op::kSubtitle, ByteWriter().U16(e.prompt).U16(e.help).U8(subtitleFlags).bytes(), true);
  End();
  return e;
}

Emitted Forms::Text(Str prompt, Str help, Str textTwo) {
  Emitted e;
  e.prompt = Resolve(prompt);
  e.help = Resolve(help);
  uint16_t two = Resolve(textTwo);
  e.at = Append(op::kText, ByteWriter().U16(e.prompt).U16(e.help).U16(two).bytes(), false);
  return e;
}

// ---------------------------------------------------------------------------------------------

Emitted Forms::OneOf(const Q& q, uint8_t size, const std::vector<Opt>& options, const Extra& x,
                     uint8_t display) {
  uint8_t sizeBits = SizeBits(size);
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(x.typeFlags.value_or(static_cast<uint8_t>(sizeBits | display)));
  // MinValue and MaxValue span the option values, as firmware compilers fill them.
  std::array<uint64_t, 3> range{0, 0, 0};
  if (x.range) {
    range = *x.range;
  } else if (!options.empty()) {
    auto [lo, hi] = std::minmax_element(options.begin(), options.end(),
                                        [](const Opt& a, const Opt& b) { return a.value < b.value; });
    range = {lo->value, hi->value, 0};
  }
  for (uint64_t v : range) w.N(v, size);
  e.at = Append(op::kOneOf, w.bytes(), x.scope.value_or(true));
  uint8_t questionType = TypeForSize(size);
  for (const Opt& o : options) e.options.push_back(Option(o, questionType).prompt);
  return Finish(std::move(e), questionType, x);
}

Emitted Forms::Checkbox(const Q& q, uint8_t checkboxFlags, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(x.typeFlags.value_or(checkboxFlags));
  e.at = Append(op::kCheckbox, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kBoolean, x);
}

Emitted Forms::Numeric(const Q& q, uint8_t size, uint64_t minValue, uint64_t maxValue, uint64_t step,
                       uint8_t display, const Extra& x) {
  uint8_t sizeBits = SizeBits(size);
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(x.typeFlags.value_or(static_cast<uint8_t>(sizeBits | display)));
  w.N(minValue, size).N(maxValue, size).N(step, size);
  e.at = Append(op::kNumeric, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), TypeForSize(size), x);
}

Emitted Forms::Password(const Q& q, uint16_t minSize, uint16_t maxSize, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U16(minSize).U16(maxSize);
  e.at = Append(op::kPassword, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kString, x);
}

Emitted Forms::String(const Q& q, uint8_t minSize, uint8_t maxSize, uint8_t stringFlags, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(minSize).U8(maxSize).U8(x.typeFlags.value_or(stringFlags));
  e.at = Append(op::kString, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kString, x);
}

Emitted Forms::Date(const Q& q, uint8_t dateFlags, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(x.typeFlags.value_or(dateFlags));
  e.at = Append(op::kDate, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kDate, x);
}

Emitted Forms::Time(const Q& q, uint8_t timeFlags, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(x.typeFlags.value_or(timeFlags));
  e.at = Append(op::kTime, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kTime, x);
}

Emitted Forms::OrderedList(const Q& q, uint8_t maxContainers, const std::vector<Opt>& options,
                           uint8_t elementType, uint8_t listFlags, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U8(maxContainers).U8(x.typeFlags.value_or(listFlags));
  e.at = Append(op::kOrderedList, w.bytes(), x.scope.value_or(true));
  for (const Opt& o : options) e.options.push_back(Option(o, elementType).prompt);
  return Finish(std::move(e), type::kBuffer, x);
}

Emitted Forms::Action(const Q& q, Str config, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U16(Resolve(config));
  e.at = Append(op::kAction, w.bytes(), x.scope.value_or(true));
  return Finish(std::move(e), type::kAction, x);
}

Emitted Forms::Ref(const Q& q, uint16_t formId, const Extra& x) {
  Emitted e;
  ByteWriter w;
  QuestionHeader(w, q, e);
  w.U16(formId);
  Extra adjusted = x;
  adjusted.scope = x.scope.value_or(false);
  e.at = Append(op::kRef, w.bytes(), *adjusted.scope);
  return Finish(std::move(e), type::kRef, adjusted);
}

Emitted Forms::Option(const Opt& option, uint8_t questionType) {
  Emitted e;
  uint8_t t = option.type >= 0 ? static_cast<uint8_t>(option.type) : questionType;
  e.prompt = Resolve(option.text);
  ByteWriter w;
  w.U16(e.prompt).U8(option.flags).U8(t);
  if (!option.raw.empty()) {
    w.Append(option.raw);
  } else {
    w.N(option.value, TypeValueSize(t));
  }
  e.at = Append(op::kOneOfOption, w.bytes(), false);
  return e;
}

size_t Forms::Default(uint16_t defaultId, uint8_t valueType, uint64_t value) {
  return Append(op::kDefault, ByteWriter().U16(defaultId).U8(valueType).N(value, TypeValueSize(valueType)).bytes(),
                false);
}

size_t Forms::DefaultBytes(uint16_t defaultId, uint8_t valueType, ByteSpan value) {
  return Append(op::kDefault, ByteWriter().U16(defaultId).U8(valueType).Append(value).bytes(), false);
}

// ---------------------------------------------------------------------------------------------

size_t Forms::Condition(uint8_t opcode, ByteSpan body, const Expr& e) {
  size_t at = Append(opcode, ByteVector(body.begin(), body.end()), true);
  AppendTracked(e.bytes());
  return at;
}

Emitted Forms::NoSubmitIf(Str error, const Expr& e) {
  Emitted out;
  out.prompt = Resolve(error);
  out.at = Condition(op::kNoSubmitIf, ByteWriter().U16(out.prompt).bytes(), e);
  End();
  return out;
}

Emitted Forms::InconsistentIf(Str error, const Expr& e) {
  Emitted out;
  out.prompt = Resolve(error);
  out.at = Condition(op::kInconsistentIf, ByteWriter().U16(out.prompt).bytes(), e);
  End();
  return out;
}

size_t Forms::Expression(const Expr& e) {
  size_t at = kPackageHeaderSize + ifr_.size();
  AppendTracked(e.bytes());
  return at;
}

size_t Forms::End() {
  size_t at = Append(op::kEnd, {}, false);
  if (!scopes_.empty()) scopes_.pop_back();
  return at;
}

void Forms::EndAll() {
  while (!scopes_.empty()) End();
}

size_t Forms::Op(uint8_t opcode, ByteSpan body, bool scope) {
  size_t at = kPackageHeaderSize + ifr_.size();
  AppendTracked(IfrOpBytes(opcode, body, scope));
  return at;
}

size_t Forms::Raw(ByteSpan bytes) {
  size_t at = kPackageHeaderSize + ifr_.size();
  ifr_.insert(ifr_.end(), bytes.begin(), bytes.end());
  return at;
}

ByteVector Forms::Bytes() const {
  ByteVector body = ifr_;
  if (autoClose) {
    for (size_t i = 0; i < scopes_.size(); ++i) {
      body.push_back(op::kEnd);
      body.push_back(2);
    }
  }
  return PackageBytes(package::kForms, body);
}

}  // namespace kes::hiibuild
