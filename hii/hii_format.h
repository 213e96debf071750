// Binary layouts of the UEFI HII database: package lists, packages, string blocks and the IFR
// opcodes with the field offsets the tool reads. Offsets are from the start of the structure.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kes::hii {

// EFI_HII_PACKAGE_LIST_HEADER
inline constexpr size_t kListGuid = 0;
inline constexpr size_t kListLength = 16;   // u32, whole list including this header
inline constexpr size_t kListHeaderSize = 20;

// EFI_HII_PACKAGE_HEADER: Length (24 bits) and Type (8 bits)
inline constexpr size_t kPackageHeaderSize = 4;
inline constexpr uint8_t kPackageForms = 0x02;
inline constexpr uint8_t kPackageStrings = 0x04;
inline constexpr uint8_t kPackageKeyboardLayout = 0x09;  // ends the search for a forms package
inline constexpr uint8_t kPackageEnd = 0xDF;

// EFI_HII_STRING_PACKAGE_HDR
inline constexpr size_t kStringInfoOffset = 8;   // u32, from the package start
inline constexpr size_t kStringLanguage = 46;    // NUL-terminated ASCII tag

// String block types
inline constexpr uint8_t SIBT_END = 0x00;
inline constexpr uint8_t SIBT_STRING_UCS2 = 0x14;
inline constexpr uint8_t SIBT_STRINGS_UCS2 = 0x16;
inline constexpr uint8_t SIBT_SKIP2 = 0x21;
inline constexpr uint8_t SIBT_SKIP1 = 0x22;

// EFI_IFR_OP_HEADER: byte 0 opcode, byte 1 bits 0-6 length, bit 7 scope.
inline constexpr uint8_t kScopeBit = 0x80;
inline constexpr uint8_t kLengthMask = 0x7F;

// IFR opcodes
inline constexpr uint8_t IFR_FORM = 0x01;
inline constexpr uint8_t IFR_SUBTITLE = 0x02;
inline constexpr uint8_t IFR_TEXT = 0x03;
inline constexpr uint8_t IFR_ONE_OF = 0x05;
inline constexpr uint8_t IFR_CHECKBOX = 0x06;
inline constexpr uint8_t IFR_NUMERIC = 0x07;
inline constexpr uint8_t IFR_PASSWORD = 0x08;
inline constexpr uint8_t IFR_ONE_OF_OPTION = 0x09;
inline constexpr uint8_t IFR_SUPPRESS_IF = 0x0A;
inline constexpr uint8_t IFR_ACTION = 0x0C;
inline constexpr uint8_t IFR_FORM_SET = 0x0E;
inline constexpr uint8_t IFR_REF = 0x0F;
inline constexpr uint8_t IFR_NO_SUBMIT_IF = 0x10;
inline constexpr uint8_t IFR_INCONSISTENT_IF = 0x11;
inline constexpr uint8_t IFR_EQ_ID_VAL = 0x12;
inline constexpr uint8_t IFR_EQ_ID_ID = 0x13;
inline constexpr uint8_t IFR_EQ_ID_VAL_LIST = 0x14;
inline constexpr uint8_t IFR_GRAY_OUT_IF = 0x19;
inline constexpr uint8_t IFR_DATE = 0x1A;
inline constexpr uint8_t IFR_TIME = 0x1B;
inline constexpr uint8_t IFR_STRING = 0x1C;
inline constexpr uint8_t IFR_DISABLE_IF = 0x1E;
inline constexpr uint8_t IFR_ORDERED_LIST = 0x23;
inline constexpr uint8_t IFR_VARSTORE = 0x24;
inline constexpr uint8_t IFR_VARSTORE_NAME_VALUE = 0x25;
inline constexpr uint8_t IFR_VARSTORE_EFI = 0x26;
inline constexpr uint8_t IFR_END = 0x29;
inline constexpr uint8_t IFR_DEFAULT = 0x5B;
inline constexpr uint8_t IFR_DEFAULTSTORE = 0x5C;
inline constexpr uint8_t IFR_GUID = 0x5F;

// EFI_IFR_QUESTION_HEADER fields, from the opcode start
inline constexpr size_t kQPrompt = 2;
inline constexpr size_t kQHelp = 4;
inline constexpr size_t kQQuestionId = 6;
inline constexpr size_t kQVarStoreId = 8;
inline constexpr size_t kQVarOffset = 10;
inline constexpr size_t kQFlags = 12;
inline constexpr size_t kQTypeFlags = 13;   // first type-specific byte

// FORM
inline constexpr size_t kFormId = 2;
inline constexpr size_t kFormTitle = 4;
// FORM_SET
inline constexpr size_t kFormSetGuid = 2;
inline constexpr size_t kFormSetTitle = 18;
inline constexpr size_t kFormSetHelp = 20;
// GUID opcode class/subclass extension
inline constexpr size_t kGuidExtendOp = 18;
inline constexpr size_t kGuidExtendValue = 19;
inline constexpr uint8_t kGuidClass = 3;
inline constexpr uint8_t kGuidSubClass = 4;
// ONE_OF_OPTION
inline constexpr size_t kOptionString = 2;
inline constexpr size_t kOptionFlags = 4;
inline constexpr size_t kOptionType = 5;
inline constexpr size_t kOptionValue = 6;
// NUMERIC
inline constexpr size_t kNumericMin = 14;
// PASSWORD / STRING sizes
inline constexpr size_t kPasswordMinSize = 13;   // u16
inline constexpr size_t kPasswordMaxSize = 15;   // u16
inline constexpr size_t kStringMinSize = 13;     // u8
inline constexpr size_t kStringMaxSize = 14;     // u8
// ORDERED_LIST
inline constexpr size_t kOrderedMaxContainers = 13;
// REF
inline constexpr size_t kRefFormId = 13;
// EQ_ID_VAL / EQ_ID_VAL_LIST
inline constexpr size_t kEqQuestionId = 2;
inline constexpr size_t kEqValue = 4;
inline constexpr size_t kEqListLength = 4;
inline constexpr size_t kEqListFirst = 6;
// VARSTORE (buffer)
inline constexpr size_t kVarStoreGuid = 2;
inline constexpr size_t kVarStoreId = 18;
inline constexpr size_t kVarStoreSize = 20;
inline constexpr size_t kVarStoreName = 22;
// VARSTORE_EFI
inline constexpr size_t kVarStoreEfiId = 2;
inline constexpr size_t kVarStoreEfiGuid = 4;
inline constexpr size_t kVarStoreEfiSize = 24;
inline constexpr size_t kVarStoreEfiName = 26;

// NUMERIC display flags (Flags at 13, bits 4-5) and DATE/TIME storage flags (mask 0x30)
inline constexpr uint8_t kDisplayMask = 0x30;
inline constexpr uint8_t kDisplaySignedDecimal = 0x00;
inline constexpr uint8_t kDisplayUnsignedDecimal = 0x10;
inline constexpr uint8_t kDisplayHex = 0x20;
inline constexpr uint8_t kStorageMask = 0x30;

// Question header Flags value that alone marks "reset required"
inline constexpr uint8_t kResetRequiredFlags = 0x10;

}  // namespace kes::hii
