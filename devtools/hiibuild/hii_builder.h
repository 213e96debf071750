// Builder of HII databases: package lists with string packages in several languages and forms
// packages holding IFR form sets, written byte for byte in the UEFI layouts (see hii_format.h).
// Tests use it instead of hand-written byte arrays, and the demo and benchmark images are made
// with it. Misuse that cannot be encoded (an opcode longer than 127 bytes, a package longer than
// 24 bits, more than 65535 string ids) throws std::length_error or std::invalid_argument; the
// escape hatches (Op, Raw, AddRaw, explicit string blocks) write anything, for corruption tests.
//
// A typical use:
//   hiibuild::PackageList list(listGuid);
//   hiibuild::Forms& f = list.AddForms();
//   f.FormSet(formSetGuid, L"Main", L"Main settings");
//   f.VarStore(1, setupGuid, "Setup", 64);
//   f.Form(1, L"Main");
//   auto quiet = f.OneOf({.prompt = L"Quiet Boot", .help = L"Boot logo", .id = 0x1A,
//                         .varStore = 1, .offset = 5, .map = L"QBOOT01"},
//                        1, {{0, L"Disabled"}, {1, L"Enabled", flags::kOptionDefault}});
//   // quiet.prompt, quiet.help and quiet.options[] are the string ids
//   std::vector<uint8_t> image = list.Bytes();   // open scopes are closed, END package added
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "devtools/hiibuild/hii_format.h"

namespace kes::hiibuild {

using ByteVector = std::vector<uint8_t>;
using ByteSpan = kes::Bytes;  // a view of bytes (the classes below have a Bytes() member)

namespace guids {
// Class GUID that real setup form sets carry (EFI_HII_PLATFORM_SETUP_FORMSET_GUID).
inline constexpr EfiGuid kPlatformSetupClass{0x93039971, 0x8545, 0x4B04, {0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E}};
// GUID of the opcode extensions for class, subclass, label and banner.
inline constexpr EfiGuid kIfrExtension{0x0F0B1735, 0x87A0, 0x4193, {0xB2, 0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE}};
}  // namespace guids

// Little-endian writer for structure bodies.
class ByteWriter {
 public:
  ByteWriter& U8(uint8_t v);
  ByteWriter& U16(uint16_t v);
  ByteWriter& U24(uint32_t v);
  ByteWriter& U32(uint32_t v);
  ByteWriter& U64(uint64_t v);
  ByteWriter& N(uint64_t v, size_t width);            // the low `width` bytes of v
  ByteWriter& Guid(const EfiGuid& guid);
  ByteWriter& Ascii(std::string_view text, bool nul = true);
  ByteWriter& Ucs2(std::wstring_view text, bool nul = true);  // one unit per character
  ByteWriter& Append(ByteSpan bytes);
  ByteWriter& Zeros(size_t count);
  const ByteVector& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  ByteVector bytes_;
};

// Wide text to UCS-2 units, one unit per character (cut to 16 bits).
std::u16string ToUcs2(std::wstring_view text);

// A string reference of a statement or question: a text, for which a new string id is allocated
// in the package list's primary language, or an explicit id. The default is id 0 (no string).
class Str {
 public:
  Str() = default;
  Str(const wchar_t* text) : text_(text), hasText_(true) {}
  Str(std::wstring text) : text_(std::move(text)), hasText_(true) {}
  static Str Id(uint16_t id) {
    Str s;
    s.id_ = id;
    return s;
  }
  bool hasText() const { return hasText_; }
  const std::wstring& text() const { return text_; }
  uint16_t id() const { return id_; }

 private:
  std::wstring text_;
  bool hasText_ = false;
  uint16_t id_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Expressions: IFR expression opcodes in evaluation order (operands before their operator).

class Expr {
 public:
  Expr() = default;
  // Any opcode: the 2-byte header (with the scope bit) and the body.
  static Expr Op(uint8_t opcode, ByteSpan body = {}, bool scope = false);
  static Expr Raw(ByteSpan bytes);  // bytes as they are
  static Expr End();

  static Expr EqIdVal(uint16_t questionId, uint16_t value);
  static Expr EqIdId(uint16_t questionId1, uint16_t questionId2);
  static Expr EqIdValList(uint16_t questionId, const std::vector<uint16_t>& values);
  static Expr QuestionRef(uint16_t questionId);  // QUESTION_REF1
  static Expr RuleRef(uint8_t ruleId);
  static Expr StringRef(uint16_t stringId);      // STRING_REF1
  static Expr Uint8(uint8_t v);
  static Expr Uint16(uint16_t v);
  static Expr Uint32(uint32_t v);
  static Expr Uint64(uint64_t v);
  static Expr True();
  static Expr False();
  static Expr Zero();
  static Expr One();
  static Expr Ones();
  static Expr Undefined();
  static Expr Version();
  static Expr This();

  Expr& operator+=(const Expr& other);  // concatenation
  const ByteVector& bytes() const { return bytes_; }

 private:
  ByteVector bytes_;
};

Expr operator+(Expr a, const Expr& b);
// An operator applied to its operands: the operands in order, then the opcode.
Expr Apply(uint8_t opcode, std::initializer_list<Expr> operands, ByteSpan body = {});

Expr Not(Expr a);
Expr And(Expr a, Expr b);
Expr Or(Expr a, Expr b);
Expr Equal(Expr left, Expr right);
Expr NotEqual(Expr left, Expr right);
Expr GreaterThan(Expr left, Expr right);
Expr GreaterEqual(Expr left, Expr right);
Expr LessThan(Expr left, Expr right);
Expr LessEqual(Expr left, Expr right);
Expr BitwiseAnd(Expr left, Expr right);
Expr BitwiseOr(Expr left, Expr right);
Expr BitwiseNot(Expr a);
Expr ShiftLeft(Expr left, Expr right);
Expr ShiftRight(Expr left, Expr right);
Expr Add(Expr left, Expr right);
Expr Subtract(Expr left, Expr right);
Expr Multiply(Expr left, Expr right);
Expr Divide(Expr left, Expr right);
Expr Modulo(Expr left, Expr right);
Expr Catenate(Expr first, Expr second);
Expr Match(Expr text, Expr pattern);
Expr ToLower(Expr a);
Expr ToUpper(Expr a);
Expr Length(Expr a);
Expr ToUint(Expr a);
Expr ToBoolean(Expr a);
Expr ToString(Expr a, uint8_t format);
Expr Mid(Expr text, Expr start, Expr length);
Expr Find(uint8_t format, Expr text, Expr sub, Expr start);
Expr Token(Expr text, Expr delimiters, Expr index);
Expr Span(uint8_t spanFlags, Expr text, Expr chars, Expr start);
Expr QuestionRef2(Expr questionId);
Expr QuestionRef3(Expr questionId);
Expr StringRef2(Expr stringId);
Expr Dup(Expr a);
// CONDITIONAL: the condition, then the two values, pushed in the order given (so `second` is
// the value popped first).
Expr Conditional(Expr condition, Expr first, Expr second);

// ---------------------------------------------------------------------------------------------
// String packages.

// An explicit sequence of string blocks, for tests that choose every block type themselves.
class StringBlocks {
 public:
  StringBlocks& String(std::wstring_view text);                  // STRING_UCS2
  StringBlocks& Strings(const std::vector<std::wstring>& texts);  // STRINGS_UCS2
  StringBlocks& Skip1(uint8_t count);
  StringBlocks& Skip2(uint16_t count);
  StringBlocks& Scsu(std::string_view text);  // STRING_SCSU, a block type readers refuse
  StringBlocks& End();
  StringBlocks& Raw(ByteSpan bytes);
  uint16_t nextId() const { return nextId_; }  // id the next string would get
  const ByteVector& bytes() const { return bytes_; }

 private:
  ByteVector bytes_;
  uint16_t nextId_ = 1;
};

enum class SkipStyle {
  Mixed,     // SKIP1 for gaps up to 255 ids, SKIP2 beyond
  Skip2Only, // every gap as SKIP2 (as common firmware writes them)
};

// One string package (one language) of a package list.
struct StringPackage {
  std::string language;                    // RFC 4646 tag, e.g. "en-US", "x-Vorn"
  uint16_t languageName = 0;               // LanguageName string id
  std::array<uint16_t, 16> languageWindow{};
  std::map<uint16_t, std::u16string> strings;  // texts by string id
  bool useStringsRuns = false;             // consecutive ids as STRINGS_UCS2 runs
  SkipStyle skipStyle = SkipStyle::Mixed;
  bool endBlock = true;                    // END block after the last string
  std::optional<StringBlocks> explicitBlocks;  // when set, written instead of `strings`

  ByteVector Blocks() const;  // the block area
  ByteVector Bytes() const;   // the whole package, header included
};

// ---------------------------------------------------------------------------------------------
// Forms packages.

// Question header fields, with the texts (or ids) of prompt and help.
struct Q {
  Str prompt;
  Str help;
  uint16_t id = 0;        // QuestionId
  uint16_t varStore = 0;  // VarStoreId
  uint16_t offset = 0;    // VarStoreInfo.VarOffset
  uint8_t flags = 0;      // question header Flags (flags::kResetRequired, ...)
  std::wstring map;       // map string: the prompt's text in the mapping languages of the list
};

// An option of a one-of or ordered list.
struct Opt {
  uint64_t value = 0;
  Str text;
  uint8_t flags = 0;  // flags::kOptionDefault, flags::kOptionDefaultMfg
  int type = -1;      // EFI_IFR_TYPE_*; -1: the question's own type
  ByteVector raw;     // value bytes as they are (for BUFFER and odd types); used when not empty
};

// An EFI_IFR_DEFAULT inside a question. The value is written at the width of its type; an
// ordered list's default (a BUFFER of all elements) is written with Forms::DefaultBytes.
struct Def {
  uint16_t defaultId = kDefaultStandard;
  uint64_t value = 0;
  int type = -1;  // -1: the question's own type
};

// Optional parts of a question.
struct Extra {
  std::vector<Def> defaults;          // DEFAULT opcodes, after the options
  bool open = false;                  // leave the question's scope open; close it with End()
  std::optional<bool> scope;          // Scope bit; default: set (REF: clear)
  std::optional<uint8_t> typeFlags;   // replaces the opcode's own Flags byte as computed
  std::optional<std::array<uint64_t, 3>> range;  // ONE_OF MinValue, MaxValue, Step
};

// String ids and position of something written.
struct Emitted {
  uint16_t prompt = 0;             // prompt / title / name id
  uint16_t help = 0;
  std::vector<uint16_t> options;   // option text ids in order
  size_t at = 0;                   // opcode offset inside the forms package (header included)
};

class PackageList;

// One forms package: a stream of IFR opcodes with the scopes that are open.
class Forms {
 public:
  Forms(const Forms&) = delete;
  Forms& operator=(const Forms&) = delete;

  // Form set header.
  Emitted FormSet(const EfiGuid& guid, Str title, Str help,
                  std::vector<EfiGuid> classGuids = {guids::kPlatformSetupClass});
  void ClassAndSubclass(uint16_t formSetClass, uint16_t subclass);  // two GUID opcodes
  size_t GuidOp(const EfiGuid& guid, ByteSpan data);
  size_t ExtensionOp(uint8_t extendOpcode, uint16_t value);  // class, subclass, label ...
  size_t Label(uint16_t number) { return ExtensionOp(guidop::kLabel, number); }
  Emitted DefaultStore(Str name, uint16_t defaultId);
  size_t VarStore(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size);
  size_t VarStoreEfi(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size,
                     uint32_t attributes = attr::kNvBsRt);

  // Forms and statements.
  Emitted Form(uint16_t formId, Str title);  // opens the form's scope
  Emitted Subtitle(Str prompt, Str help = {}, uint8_t subtitleFlags = 0);
  Emitted Text(Str prompt, Str help = {}, Str textTwo = {});

  // Questions. Each writes its opcode, its options and defaults, and the END of its scope
  // (unless Extra::open).
  Emitted OneOf(const Q& q, uint8_t size, const std::vector<Opt>& options, const Extra& x = {},
                uint8_t display = flags::kDisplayUintDec);
  Emitted Checkbox(const Q& q, uint8_t checkboxFlags = 0, const Extra& x = {});
  Emitted Numeric(const Q& q, uint8_t size, uint64_t minValue, uint64_t maxValue, uint64_t step = 0,
                  uint8_t display = flags::kDisplayUintDec, const Extra& x = {});
  Emitted Password(const Q& q, uint16_t minSize, uint16_t maxSize, const Extra& x = {});
  Emitted String(const Q& q, uint8_t minSize, uint8_t maxSize, uint8_t stringFlags = 0,
                 const Extra& x = {});
  Emitted Date(const Q& q, uint8_t dateFlags = 0, const Extra& x = {});
  Emitted Time(const Q& q, uint8_t timeFlags = 0, const Extra& x = {});
  Emitted OrderedList(const Q& q, uint8_t maxContainers, const std::vector<Opt>& options,
                      uint8_t elementType = type::kNum8, uint8_t listFlags = 0, const Extra& x = {});
  Emitted Action(const Q& q, Str config = {}, const Extra& x = {});
  Emitted Ref(const Q& q, uint16_t formId, const Extra& x = {});

  // Inside a question.
  Emitted Option(const Opt& option, uint8_t questionType = type::kNum8);
  size_t Default(uint16_t defaultId, uint8_t valueType, uint64_t value);
  size_t DefaultBytes(uint16_t defaultId, uint8_t valueType, ByteSpan value);

  // Conditions. SuppressIf, GrayOutIf, DisableIf and Condition open a scope holding the
  // expression and what follows; close it with End(). NoSubmitIf and InconsistentIf are
  // complete (opcode, expression, END).
  size_t SuppressIf(const Expr& e) { return Condition(op::kSuppressIf, {}, e); }
  size_t GrayOutIf(const Expr& e) { return Condition(op::kGrayOutIf, {}, e); }
  size_t DisableIf(const Expr& e) { return Condition(op::kDisableIf, {}, e); }
  size_t Condition(uint8_t opcode, ByteSpan body, const Expr& e);
  Emitted NoSubmitIf(Str error, const Expr& e);
  Emitted InconsistentIf(Str error, const Expr& e);
  size_t Expression(const Expr& e);

  // Scopes and escape hatches.
  size_t End();     // END of the innermost open scope
  void EndAll();    // END for every open scope
  int depth() const { return static_cast<int>(scopes_.size()); }
  size_t Op(uint8_t opcode, ByteSpan body, bool scope = false);  // any opcode, correct header
  size_t Raw(ByteSpan bytes);  // bytes as they are; scopes they open or close are not tracked
  bool autoClose = true;    // Bytes() closes the scopes still open

  const ByteVector& ifr() const { return ifr_; }  // the opcodes so far
  ByteVector Bytes() const;                        // the whole package

 private:
  friend class PackageList;
  explicit Forms(PackageList& list) : list_(list) {}
  uint16_t Resolve(const Str& s);
  void QuestionHeader(ByteWriter& w, const Q& q, Emitted& e);
  size_t Append(uint8_t opcode, const ByteVector& body, bool scope);
  void AppendTracked(ByteSpan bytes);
  Emitted Finish(Emitted e, uint8_t questionType, const Extra& x);

  PackageList& list_;
  ByteVector ifr_;
  std::vector<uint8_t> scopes_;  // opcodes of the open scopes, innermost last
};

// ---------------------------------------------------------------------------------------------
// Package lists and databases.

class PackageList {
 public:
  explicit PackageList(const EfiGuid& guid, std::string primaryLanguage = "en-US");
  PackageList(const PackageList&) = delete;
  PackageList& operator=(const PackageList&) = delete;

  const EfiGuid& guid() const { return guid_; }
  const std::string& primaryLanguage() const { return primary_; }
  // Languages that SetMapString (and Q::map) fill.
  std::vector<std::string> mapLanguages{"x-Vorn", "x-UEFI-Vorn"};

  // Strings. Ids are shared by all languages of the list and count up from 1.
  uint16_t AddString(std::wstring_view text);  // a new id with its text in the primary language
  uint16_t ReserveId();                        // a new id without any text
  void SetString(std::string_view language, uint16_t id, std::wstring_view text);
  void SetMapString(uint16_t id, std::wstring_view text);
  StringPackage& Language(std::string_view tag);  // the package of that language (created)
  uint16_t lastStringId() const { return static_cast<uint16_t>(nextId_ - 1); }

  // Packages, written in the order they were created.
  Forms& AddForms();
  void AddPackage(uint8_t type, ByteSpan body);  // any package with a correct header
  void AddRaw(ByteSpan bytes);                   // bytes as they are, between packages
  bool endPackage = true;                     // END package (0xDF) last, as firmware writes it

  ByteVector Bytes() const;

 private:
  enum class SlotKind { Forms, Strings, Raw };
  struct Slot {
    SlotKind kind;
    size_t index;
  };
  EfiGuid guid_;
  std::string primary_;
  uint32_t nextId_ = 1;
  std::deque<std::unique_ptr<Forms>> forms_;
  std::deque<StringPackage> strings_;
  std::deque<ByteVector> raw_;
  std::vector<Slot> slots_;
};

// A database image: package lists back to back.
class Database {
 public:
  PackageList& AddList(const EfiGuid& guid, std::string primaryLanguage = "en-US");
  void AddRaw(ByteSpan bytes);
  ByteVector Bytes() const;

 private:
  std::deque<PackageList> lists_;
  std::deque<ByteVector> raw_;
  std::vector<std::pair<bool, size_t>> order_;  // (is list, index)
};

// Low-level assembly, for tests that pin or corrupt single structures.
ByteVector PackageBytes(uint8_t type, ByteSpan body);
ByteVector PackageListBytes(const EfiGuid& guid, ByteSpan packages);
ByteVector StringPackageBytes(std::string_view language, ByteSpan blocks, uint16_t languageName = 0,
                              const std::array<uint16_t, 16>& languageWindow = {});
ByteVector IfrOpBytes(uint8_t opcode, ByteSpan body, bool scope = false);

// Date and time values packed as the IFR stores them (EFI_HII_DATE: year u16, month, day;
// EFI_HII_TIME: hour, minute, second), for option and default values.
constexpr uint64_t DateValue(uint16_t year, uint8_t month, uint8_t day) {
  return year | (static_cast<uint64_t>(month) << 16) | (static_cast<uint64_t>(day) << 24);
}
constexpr uint64_t TimeValue(uint8_t hour, uint8_t minute, uint8_t second) {
  return hour | (static_cast<uint64_t>(minute) << 8) | (static_cast<uint64_t>(second) << 16);
}

}  // namespace kes::hiibuild
