// The older pre-UEFI export layout of the HII database: a count of data tables, then the tables,
// one per form-set package, each with an IFR pack in the older IFR encoding and string packs in
// one language each. The walk over its form sets, forms and questions lives in QuestionWalk
// (older_walk.cpp); this header has the layout's constants and its string lookup.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <array>
#include <map>
#include <vector>

#include "base/le.h"
#include "firmware/firmware_access.h"
#include "hii/hii_database.h"
#include "hii/question_model.h"

namespace kes::older {

// Image and data-table layout.
inline constexpr size_t kImageHeaderSize = 18;  // table count (2), then 16 unused bytes
inline constexpr size_t kTableHandle = 0;
inline constexpr size_t kTableGuid = 2;
inline constexpr size_t kTableSize = 18;
inline constexpr size_t kTableIfrOffset = 22;
inline constexpr size_t kTableStringOffset = 26;
inline constexpr size_t kTableHeaderSize = 30;
inline constexpr uint32_t kDefaultTableSize = 46;  // taken for a size field of 0

// Packs: length (32 bits) and type (16 bits).
inline constexpr size_t kPackHeaderSize = 6;
inline constexpr uint16_t kPackStrings = 2;
inline constexpr size_t kStringPackLanguage = 6;      // offset of the language name
inline constexpr size_t kStringPackCount = 14;        // number of string pointers
inline constexpr size_t kStringPackPointers = 22;     // the pointers, 32 bits each

// Opcodes of the older IFR encoding: a one-byte code and a one-byte length (no scope bit).
inline constexpr uint8_t OP_FORM = 0x01;
inline constexpr uint8_t OP_SUBTITLE = 0x02;
inline constexpr uint8_t OP_ONE_OF = 0x05;
inline constexpr uint8_t OP_CHECKBOX = 0x06;
inline constexpr uint8_t OP_NUMERIC = 0x07;
inline constexpr uint8_t OP_ONE_OF_OPTION = 0x09;
inline constexpr uint8_t OP_SUPPRESS_IF = 0x0A;
inline constexpr uint8_t OP_END_FORM = 0x0B;
inline constexpr uint8_t OP_HIDDEN = 0x0C;
inline constexpr uint8_t OP_END_FORM_SET = 0x0D;
inline constexpr uint8_t OP_FORM_SET = 0x0E;
inline constexpr uint8_t OP_END_ONE_OF = 0x10;
inline constexpr uint8_t OP_EQ_ID_VAL = 0x12;
inline constexpr uint8_t OP_EQ_ID_LIST = 0x14;
inline constexpr uint8_t OP_END_IF = 0x18;
inline constexpr uint8_t OP_GRAYOUT_IF = 0x19;
inline constexpr uint8_t OP_STRING = 0x1C;
inline constexpr uint8_t OP_ORDERED_LIST = 0x23;
inline constexpr uint8_t OP_VARSTORE = 0x24;
inline constexpr uint8_t OP_VARSTORE_SELECT = 0x25;
inline constexpr uint8_t OP_VARSTORE_SELECT_PAIR = 0x26;

// Field offsets inside the opcodes.
inline constexpr size_t kFormSetGuid = 2;
inline constexpr size_t kFormSetTitle = 18;
inline constexpr size_t kFormSetHelp = 20;
inline constexpr size_t kFormSetClass = 30;
inline constexpr size_t kFormSetSubClass = 32;
inline constexpr size_t kFormId = 2;
inline constexpr size_t kFormTitle = 4;
inline constexpr size_t kSubtitlePrompt = 2;
inline constexpr size_t kQuestionOffset = 2;  // the value's offset in the variable
inline constexpr size_t kQuestionWidth = 4;   // ORDERED_LIST: the maximum number of entries
inline constexpr size_t kQuestionPrompt = 5;
inline constexpr size_t kQuestionHelp = 7;
inline constexpr size_t kQuestionFlags = 9;
inline constexpr size_t kQuestionKey = 10;
inline constexpr size_t kNumericMinimum = 12;
inline constexpr size_t kNumericMaximum = 14;
inline constexpr size_t kNumericDefault = 18;
inline constexpr size_t kStringMinSize = 12;
inline constexpr size_t kStringMaxSize = 13;
inline constexpr size_t kOptionText = 2;
inline constexpr size_t kOptionValue = 4;
inline constexpr size_t kOptionFlags = 6;
inline constexpr size_t kEqIdValValue = 5;
inline constexpr size_t kEqIdListFirst = 7;
inline constexpr size_t kVarStoreGuid = 2;
inline constexpr size_t kVarStoreId = 18;
inline constexpr size_t kVarStoreSize = 20;
inline constexpr size_t kVarStoreName = 22;
inline constexpr size_t kVarStoreNameMax = 39;  // characters kept of a varstore name
inline constexpr size_t kSelectId = 2;

// The opcode at `offset` in the older encoding (its length byte is the whole length), or none
// when the length is 0 or the opcode runs past `limit`.
std::optional<IfrOp> OpAt(Bytes image, size_t offset, size_t limit);

// The run's language for older-layout strings: the first three characters of the "Lang" variable
// (empty when it cannot be read).
std::wstring ReadLanguage(FirmwareAccess& firmware);

// Which string pack answers the string requests of each list in one language: from the first
// table with the list's handle and GUID (the first table when there is none), the first string
// pack in that language of the tables with the list's GUID. Built in one pass over the tables.
class StringPackIndex {
 public:
  StringPackIndex(const HiiDatabase& database, std::wstring_view language);
  // Null when no table of the list's GUID has a pack in the language.
  const OlderStringPack* For(const PackageList& list) const;

 private:
  const HiiDatabase& database_;
  std::vector<const OlderStringPack*> fromTable_;  // by table: the answer for a walk starting there
  std::map<std::array<uint8_t, 16>, const OlderStringPack*> firstByGuid_;
};

// The text of `token` in `pack` (NUL-terminated UCS-2 at the token's pointer, inside the pack), or
// none when the token is not below the pack's pointer count or its text runs out of the pack.
std::optional<std::wstring> StringInPack(const OlderStringPack& pack, uint16_t token);

}  // namespace kes::older
