// Builder of HII images in the older (pre-UEFI) export layout: an image header, then one data
// table per form-set package, each holding an IFR pack in the older opcode encoding and one
// string pack per language. All integers are little-endian.
//
//   image:       u16 table count, 16 unused bytes, the tables back to back
//   data table:  u16 HII handle, package GUID, u32 table size, u32 IFR pack offset,
//                u32 offset of the first string pack (offsets from the table start, 0: none);
//                30 bytes, then the IFR pack, then the string packs
//   IFR pack:    u32 length, u16 type 1, then opcodes (u8 code, u8 whole length, fields)
//   string pack: u32 length, u16 type 2, u32 offset of the language name, u32 offset of the
//                printable language name, u32 pointer count, u32 attributes (0), the u32 string
//                pointers (offsets from the pack start) of tokens 0..n-1, then the UCS-2 texts
//
// Every language of a table has the same tokens. Token 0 points at the language name; tokens
// from 1 are allocated by AddString (or by a Str text in an opcode) with their text in the
// primary language. A token without a text of its own in a translation points at the primary
// language's text, as build tools fill untranslated strings. After the last string pack comes
// a 6-byte terminating pack header of length 0 and type 0 (`stringTerminator`), so a reader
// stops there whether it checks the type or the length; without it the table simply ends.
//
// A typical use:
//   hiibuild::OlderTable t(1, formSetGuid);
//   t.AddLanguage("fra", L"Francais");
//   auto set = t.FormSet(formSetGuid, L"Main", L"Main settings", 1);
//   t.Form(1, L"Main");
//   auto quiet = t.OneOf({.prompt = L"Quiet Boot", .offset = 5},
//                        {{0, L"Disabled"}, {1, L"Enabled", older::flags::kDefault}});
//   t.SetString("fra", quiet.prompt, L"Demarrage silencieux");
//   t.EndForm();
//   t.EndFormSet();
//   ByteVector image = OlderImageBytes({t.Bytes()});
//
// Opcodes longer than 255 bytes and tokens beyond 65535 throw std::length_error. Op and Raw
// write anything, `declaredSize` and the count of OlderImageBytes override the size fields,
// for tests of broken images.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

namespace older {

// Opcodes of the older IFR encoding.
namespace op {
inline constexpr uint8_t kForm = 0x01;
inline constexpr uint8_t kSubtitle = 0x02;
inline constexpr uint8_t kOneOf = 0x05;
inline constexpr uint8_t kCheckBox = 0x06;
inline constexpr uint8_t kNumeric = 0x07;
inline constexpr uint8_t kOneOfOption = 0x09;
inline constexpr uint8_t kSuppressIf = 0x0A;
inline constexpr uint8_t kEndForm = 0x0B;
inline constexpr uint8_t kHidden = 0x0C;
inline constexpr uint8_t kEndFormSet = 0x0D;
inline constexpr uint8_t kFormSet = 0x0E;
inline constexpr uint8_t kEndOneOf = 0x10;
inline constexpr uint8_t kEqIdVal = 0x12;
inline constexpr uint8_t kEqIdList = 0x14;
inline constexpr uint8_t kEndIf = 0x18;
inline constexpr uint8_t kGrayOutIf = 0x19;
inline constexpr uint8_t kString = 0x1C;
inline constexpr uint8_t kOrderedList = 0x23;
inline constexpr uint8_t kVarStore = 0x24;
inline constexpr uint8_t kVarStoreSelect = 0x25;
inline constexpr uint8_t kVarStoreSelectPair = 0x26;
}  // namespace op

// Flags of CHECKBOX, NUMERIC, STRING and ONE_OF_OPTION.
namespace flags {
inline constexpr uint8_t kDefault = 0x01;
inline constexpr uint8_t kManufacturing = 0x02;
}  // namespace flags

inline constexpr size_t kImageHeaderSize = 18;
inline constexpr size_t kTableHeaderSize = 30;
inline constexpr size_t kPackHeaderSize = 6;
inline constexpr size_t kStringPackHeaderSize = 22;
inline constexpr uint16_t kIfrPackType = 1;
inline constexpr uint16_t kStringPackType = 2;

}  // namespace older

// Header fields of a question. `offset` is written as the QuestionId: the byte offset of the
// value in the variable selected at that point. For an ORDERED_LIST, `width` is MaxEntries
// (each entry takes one byte).
struct OlderQ {
  Str prompt;
  Str help;
  uint16_t offset = 0;
  uint8_t width = 1;
  uint16_t key = 0;    // CHECKBOX, NUMERIC, STRING
  uint8_t flags = 0;   // CHECKBOX, NUMERIC, STRING: older::flags
};

// A ONE_OF_OPTION.
struct OlderOpt {
  uint16_t value = 0;
  Str text;
  uint8_t flags = 0;  // older::flags
  uint16_t key = 0;
};

// One data table: one form-set package with its IFR opcodes and its string packs.
class OlderTable {
 public:
  OlderTable(uint16_t handle, const EfiGuid& packageGuid, std::string language = "eng",
             std::wstring printableName = L"English");

  uint16_t handle() const { return handle_; }
  const EfiGuid& guid() const { return guid_; }

  // Strings. Languages are written in the order they were added, the primary one first.
  void AddLanguage(std::string language, std::wstring printableName);
  uint16_t AddString(std::wstring_view text);  // a new token with its text in the primary language
  void SetString(std::string_view language, uint16_t token, std::wstring_view text);  // adds the language
  uint32_t tokenCount() const { return nextToken_; }  // pointers per pack

  // Form set and storage.
  Emitted FormSet(const EfiGuid& guid, Str title, Str help, uint16_t formSetClass, uint16_t subclass = 0,
                  uint16_t nvDataSize = 0);
  size_t VarStore(uint16_t id, const EfiGuid& guid, std::string_view name, uint16_t size);
  size_t VarStoreSelect(uint16_t id);
  size_t VarStoreSelectPair(uint16_t id, uint16_t secondaryId);

  // Forms and statements.
  Emitted Form(uint16_t formId, Str title);
  Emitted Subtitle(Str prompt);
  size_t EndForm();
  size_t EndFormSet();

  // Questions. OneOf and OrderedList write their options and the END_ONE_OF.
  Emitted OneOf(const OlderQ& q, const std::vector<OlderOpt>& options);
  Emitted CheckBox(const OlderQ& q);
  Emitted Numeric(const OlderQ& q, uint16_t minimum, uint16_t maximum, uint16_t step, uint16_t defaultValue);
  Emitted String(const OlderQ& q, uint8_t minSize, uint8_t maxSize);
  Emitted OrderedList(const OlderQ& q, const std::vector<OlderOpt>& options);
  Emitted Option(const OlderOpt& option);
  size_t EndOneOf();

  // Conditions: SUPPRESS_IF, GRAYOUT_IF or HIDDEN, comparisons, the statements, END_IF.
  size_t SuppressIf();
  size_t GrayOutIf();
  size_t Hidden();
  size_t EqIdVal(uint16_t questionId, uint8_t width, uint16_t value);
  size_t EqIdList(uint16_t questionId, uint8_t width, const std::vector<uint16_t>& values);
  size_t EndIf();

  // Escape hatches. Op writes the code and the length of the whole opcode before `body`; Raw
  // writes bytes as they are. Both return the offset of what they wrote in the IFR pack.
  size_t Op(uint8_t code, ByteSpan body = {});
  size_t Raw(ByteSpan bytes);

  bool ifrPack = true;           // false: no IFR pack, offset field 0
  bool stringPacks = true;       // false: no string packs, offset field 0
  bool stringTerminator = true;  // the 6-byte zero pack header after the last string pack
  std::optional<uint32_t> declaredSize;  // written instead of the real table size
  ByteVector trailing;           // bytes after the packs, inside the table

  const ByteVector& ifr() const { return ifr_; }  // the opcodes so far
  ByteVector IfrPackBytes() const;
  ByteVector StringPackBytes(std::string_view language) const;
  ByteVector Bytes() const;

 private:
  // A question followed by its options and END_ONE_OF (ONE_OF, ORDERED_LIST).
  Emitted WithOptions(uint8_t code, const OlderQ& q, const std::vector<OlderOpt>& options);
  struct Language {
    std::string name;
    std::wstring printable;
    std::map<uint16_t, std::u16string> texts;
  };
  Language& FindLanguage(std::string_view name);
  uint16_t Resolve(const Str& s);
  ByteWriter& QuestionHead(ByteWriter& w, const OlderQ& q, Emitted& e);
  size_t Append(uint8_t code, const ByteVector& body);

  uint16_t handle_;
  EfiGuid guid_;
  std::vector<Language> languages_;  // the primary language first
  uint32_t nextToken_ = 1;
  ByteVector ifr_;
};

// The whole image: the header with the number of tables (or `declaredCount`), then the tables.
ByteVector OlderImageBytes(const std::vector<ByteVector>& tables, std::optional<uint16_t> declaredCount = {});

}  // namespace kes::hiibuild
