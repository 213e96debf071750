// Byte writer, low-level structure assembly and IFR expressions.
#include <stdexcept>

#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

ByteWriter& ByteWriter::U8(uint8_t v) {
  bytes_.push_back(v);
  return *this;
}
ByteWriter& ByteWriter::U16(uint16_t v) { return N(v, 2); }
ByteWriter& ByteWriter::U24(uint32_t v) { return N(v, 3); }
ByteWriter& ByteWriter::U32(uint32_t v) { return N(v, 4); }
ByteWriter& ByteWriter::U64(uint64_t v) { return N(v, 8); }

ByteWriter& ByteWriter::N(uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes_.push_back(i < 8 ? static_cast<uint8_t>(v >> (8 * i)) : 0);
  return *this;
}

ByteWriter& ByteWriter::Guid(const EfiGuid& guid) {
  auto b = guid.ToBytes();
  bytes_.insert(bytes_.end(), b.begin(), b.end());
  return *this;
}

ByteWriter& ByteWriter::Ascii(std::string_view text, bool nul) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  if (nul) bytes_.push_back(0);
  return *this;
}

ByteWriter& ByteWriter::Ucs2(std::wstring_view text, bool nul) {
  for (wchar_t c : text) U16(static_cast<uint16_t>(c));
  if (nul) U16(0);
  return *this;
}

ByteWriter& ByteWriter::Append(ByteSpan bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ByteWriter& ByteWriter::Zeros(size_t count) {
  bytes_.insert(bytes_.end(), count, 0);
  return *this;
}

std::u16string ToUcs2(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) out.push_back(static_cast<char16_t>(static_cast<uint32_t>(c) & 0xFFFF));
  return out;
}

ByteVector IfrOpBytes(uint8_t opcode, ByteSpan body, bool scope) {
  size_t length = 2 + body.size();
  if (length > kIfrMaxLength) {
    throw std::length_error("IFR opcode longer than 127 bytes");
  }
  ByteVector out;
  out.reserve(length);
  out.push_back(opcode);
  out.push_back(static_cast<uint8_t>(length | (scope ? 0x80 : 0)));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

ByteVector PackageBytes(uint8_t type, ByteSpan body) {
  size_t length = kPackageHeaderSize + body.size();
  if (length > kMaxPackageLength) throw std::length_error("package longer than 24 bits");
  ByteVector bytes;
  bytes.reserve(length);
  for (size_t i = 0; i < 3; ++i) bytes.push_back(static_cast<uint8_t>(length >> (8 * i)));
  bytes.push_back(type);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

ByteVector PackageListBytes(const EfiGuid& guid, ByteSpan packages) {
  size_t length = kPackageListHeaderSize + packages.size();
  if (length > 0xFFFFFFFFu) throw std::length_error("package list longer than 32 bits");
  ByteWriter w;
  w.Guid(guid).U32(static_cast<uint32_t>(length)).Append(packages);
  return w.bytes();
}

ByteVector StringPackageBytes(std::string_view language, ByteSpan blocks, uint16_t languageName,
                              const std::array<uint16_t, 16>& languageWindow) {
  // HdrSize covers the fixed part and the NUL-terminated language tag; the blocks follow it.
  uint32_t hdrSize = static_cast<uint32_t>(kStringPackageFixedSize + language.size() + 1);
  size_t length = hdrSize + blocks.size();
  if (length > kMaxPackageLength) throw std::length_error("string package longer than 24 bits");
  ByteWriter w;
  w.U24(static_cast<uint32_t>(length)).U8(package::kStrings);
  w.U32(hdrSize).U32(hdrSize);
  for (uint16_t unit : languageWindow) w.U16(unit);
  w.U16(languageName).Ascii(language).Append(blocks);
  return w.bytes();
}

// ---------------------------------------------------------------------------------------------

Expr Expr::Op(uint8_t opcode, ByteSpan body, bool scope) {
  Expr e;
  e.bytes_ = IfrOpBytes(opcode, body, scope);
  return e;
}

Expr Expr::Raw(ByteSpan bytes) {
  Expr e;
  e.bytes_.assign(bytes.begin(), bytes.end());
  return e;
}

Expr Expr::End() { return Op(op::kEnd); }

Expr Expr::EqIdVal(uint16_t questionId, uint16_t value) {
  return Op(op::kEqIdVal, ByteWriter().U16(questionId).U16(value).bytes());
}

Expr Expr::EqIdId(uint16_t questionId1, uint16_t questionId2) {
  return Op(op::kEqIdId, ByteWriter().U16(questionId1).U16(questionId2).bytes());
}

Expr Expr::EqIdValList(uint16_t questionId, const std::vector<uint16_t>& values) {
  ByteWriter w;
  w.U16(questionId).U16(static_cast<uint16_t>(values.size()));
  for (uint16_t v : values) w.U16(v);
  return Op(op::kEqIdValList, w.bytes());
}

Expr Expr::QuestionRef(uint16_t questionId) { return Op(op::kQuestionRef1, ByteWriter().U16(questionId).bytes()); }
Expr Expr::RuleRef(uint8_t ruleId) { return Op(op::kRuleRef, ByteWriter().U8(ruleId).bytes()); }
Expr Expr::StringRef(uint16_t stringId) { return Op(op::kStringRef1, ByteWriter().U16(stringId).bytes()); }
Expr Expr::Uint8(uint8_t v) { return Op(op::kUint8, ByteWriter().U8(v).bytes()); }
Expr Expr::Uint16(uint16_t v) { return Op(op::kUint16, ByteWriter().U16(v).bytes()); }
Expr Expr::Uint32(uint32_t v) { return Op(op::kUint32, ByteWriter().U32(v).bytes()); }
Expr Expr::Uint64(uint64_t v) { return Op(op::kUint64, ByteWriter().U64(v).bytes()); }
Expr Expr::True() { return Op(op::kTrue); }
Expr Expr::False() { return Op(op::kFalse); }
Expr Expr::Zero() { return Op(op::kZero); }
Expr Expr::One() { return Op(op::kOne); }
Expr Expr::Ones() { return Op(op::kOnes); }
Expr Expr::Undefined() { return Op(op::kUndefined); }
Expr Expr::Version() { return Op(op::kVersion); }
Expr Expr::This() { return Op(op::kThis); }

Expr& Expr::operator+=(const Expr& other) {
  bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
  return *this;
}

Expr operator+(Expr a, const Expr& b) {
  a += b;
  return a;
}

Expr Apply(uint8_t opcode, std::initializer_list<Expr> operands, ByteSpan body) {
  Expr e;
  for (const Expr& operand : operands) e += operand;
  e += Expr::Op(opcode, body);
  return e;
}

Expr Not(Expr a) { return Apply(op::kNot, {a}); }
Expr And(Expr a, Expr b) { return Apply(op::kAnd, {a, b}); }
Expr Or(Expr a, Expr b) { return Apply(op::kOr, {a, b}); }
Expr Equal(Expr l, Expr r) { return Apply(op::kEqual, {l, r}); }
Expr NotEqual(Expr l, Expr r) { return Apply(op::kNotEqual, {l, r}); }
Expr GreaterThan(Expr l, Expr r) { return Apply(op::kGreaterThan, {l, r}); }
Expr GreaterEqual(Expr l, Expr r) { return Apply(op::kGreaterEqual, {l, r}); }
Expr LessThan(Expr l, Expr r) { return Apply(op::kLessThan, {l, r}); }
Expr LessEqual(Expr l, Expr r) { return Apply(op::kLessEqual, {l, r}); }
Expr BitwiseAnd(Expr l, Expr r) { return Apply(op::kBitwiseAnd, {l, r}); }
Expr BitwiseOr(Expr l, Expr r) { return Apply(op::kBitwiseOr, {l, r}); }
Expr BitwiseNot(Expr a) { return Apply(op::kBitwiseNot, {a}); }
Expr ShiftLeft(Expr l, Expr r) { return Apply(op::kShiftLeft, {l, r}); }
Expr ShiftRight(Expr l, Expr r) { return Apply(op::kShiftRight, {l, r}); }
Expr Add(Expr l, Expr r) { return Apply(op::kAdd, {l, r}); }
Expr Subtract(Expr l, Expr r) { return Apply(op::kSubtract, {l, r}); }
Expr Multiply(Expr l, Expr r) { return Apply(op::kMultiply, {l, r}); }
Expr Divide(Expr l, Expr r) { return Apply(op::kDivide, {l, r}); }
Expr Modulo(Expr l, Expr r) { return Apply(op::kModulo, {l, r}); }
Expr Catenate(Expr first, Expr second) { return Apply(op::kCatenate, {first, second}); }
Expr Match(Expr text, Expr pattern) { return Apply(op::kMatch, {text, pattern}); }
Expr ToLower(Expr a) { return Apply(op::kToLower, {a}); }
Expr ToUpper(Expr a) { return Apply(op::kToUpper, {a}); }
Expr Length(Expr a) { return Apply(op::kLength, {a}); }
Expr ToUint(Expr a) { return Apply(op::kToUint, {a}); }
Expr ToBoolean(Expr a) { return Apply(op::kToBoolean, {a}); }
Expr ToString(Expr a, uint8_t format) { return Apply(op::kToString, {a}, ByteWriter().U8(format).bytes()); }
Expr Mid(Expr text, Expr start, Expr length) { return Apply(op::kMid, {text, start, length}); }
Expr Find(uint8_t format, Expr text, Expr sub, Expr start) {
  return Apply(op::kFind, {text, sub, start}, ByteWriter().U8(format).bytes());
}
Expr Token(Expr text, Expr delimiters, Expr index) { return Apply(op::kToken, {text, delimiters, index}); }
Expr Span(uint8_t spanFlags, Expr text, Expr chars, Expr start) {
  return Apply(op::kSpan, {text, chars, start}, ByteWriter().U8(spanFlags).bytes());
}
Expr QuestionRef2(Expr questionId) { return Apply(op::kQuestionRef2, {questionId}); }
Expr QuestionRef3(Expr questionId) { return Apply(op::kQuestionRef3, {questionId}); }
Expr StringRef2(Expr stringId) { return Apply(op::kStringRef2, {stringId}); }
Expr Dup(Expr a) { return Apply(op::kDup, {a}); }
Expr Conditional(Expr condition, Expr first, Expr second) {
  return Apply(op::kConditional, {condition, first, second});
}

}  // namespace kes::hiibuild
