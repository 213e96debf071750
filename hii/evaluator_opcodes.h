// IFR expression opcodes and the field offsets the condition evaluator reads, beside those of
// hii_format.h (EQ_ID_VAL, EQ_ID_VAL_LIST and the condition opcodes are defined there).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kes::hii {

inline constexpr uint8_t IFR_AND = 0x15;
inline constexpr uint8_t IFR_OR = 0x16;
inline constexpr uint8_t IFR_NOT = 0x17;
inline constexpr uint8_t IFR_RULE = 0x18;
inline constexpr uint8_t IFR_TO_LOWER = 0x20;
inline constexpr uint8_t IFR_TO_UPPER = 0x21;
inline constexpr uint8_t IFR_VERSION = 0x28;
inline constexpr uint8_t IFR_MATCH = 0x2A;
inline constexpr uint8_t IFR_EQUAL = 0x2F;
inline constexpr uint8_t IFR_NOT_EQUAL = 0x30;
inline constexpr uint8_t IFR_GREATER_THAN = 0x31;
inline constexpr uint8_t IFR_GREATER_EQUAL = 0x32;
inline constexpr uint8_t IFR_LESS_THAN = 0x33;
inline constexpr uint8_t IFR_LESS_EQUAL = 0x34;
inline constexpr uint8_t IFR_BITWISE_AND = 0x35;
inline constexpr uint8_t IFR_BITWISE_OR = 0x36;
inline constexpr uint8_t IFR_BITWISE_NOT = 0x37;
inline constexpr uint8_t IFR_SHIFT_LEFT = 0x38;
inline constexpr uint8_t IFR_SHIFT_RIGHT = 0x39;
inline constexpr uint8_t IFR_ADD = 0x3A;
inline constexpr uint8_t IFR_SUBTRACT = 0x3B;
inline constexpr uint8_t IFR_MULTIPLY = 0x3C;
inline constexpr uint8_t IFR_DIVIDE = 0x3D;
inline constexpr uint8_t IFR_MODULO = 0x3E;
inline constexpr uint8_t IFR_RULE_REF = 0x3F;
inline constexpr uint8_t IFR_QUESTION_REF1 = 0x40;
inline constexpr uint8_t IFR_QUESTION_REF2 = 0x41;
inline constexpr uint8_t IFR_UINT8 = 0x42;
inline constexpr uint8_t IFR_UINT16 = 0x43;
inline constexpr uint8_t IFR_UINT32 = 0x44;
inline constexpr uint8_t IFR_UINT64 = 0x45;
inline constexpr uint8_t IFR_TRUE = 0x46;
inline constexpr uint8_t IFR_FALSE = 0x47;
inline constexpr uint8_t IFR_TO_UINT = 0x48;
inline constexpr uint8_t IFR_TO_STRING = 0x49;
inline constexpr uint8_t IFR_TO_BOOLEAN = 0x4A;
inline constexpr uint8_t IFR_MID = 0x4B;
inline constexpr uint8_t IFR_FIND = 0x4C;
inline constexpr uint8_t IFR_TOKEN = 0x4D;
inline constexpr uint8_t IFR_STRING_REF1 = 0x4E;
inline constexpr uint8_t IFR_STRING_REF2 = 0x4F;
inline constexpr uint8_t IFR_CONDITIONAL = 0x50;
inline constexpr uint8_t IFR_QUESTION_REF3 = 0x51;
inline constexpr uint8_t IFR_ZERO = 0x52;
inline constexpr uint8_t IFR_ONE = 0x53;
inline constexpr uint8_t IFR_ONES = 0x54;
inline constexpr uint8_t IFR_UNDEFINED = 0x55;
inline constexpr uint8_t IFR_LENGTH = 0x56;
inline constexpr uint8_t IFR_DUP = 0x57;
inline constexpr uint8_t IFR_THIS = 0x58;
inline constexpr uint8_t IFR_SPAN = 0x59;
inline constexpr uint8_t IFR_VALUE = 0x5A;
inline constexpr uint8_t IFR_CATENATE = 0x5E;

// Operand fields, from the opcode start.
inline constexpr size_t kEqIdFirst = 2;        // EQ_ID_ID: QuestionId1
inline constexpr size_t kEqIdSecond = 4;       // EQ_ID_ID: QuestionId2
inline constexpr size_t kRuleId = 2;           // RULE and RULE_REF: RuleId (u8)
inline constexpr size_t kQuestionRefId = 2;    // QUESTION_REF1: QuestionId
inline constexpr size_t kConstantValue = 2;    // UINT8 .. UINT64
inline constexpr size_t kStringRefId = 2;      // STRING_REF1: StringId
inline constexpr size_t kToStringFormat = 2;   // TO_STRING: Format (u8)
inline constexpr size_t kFindFormat = 2;       // FIND: Format (u8)
inline constexpr size_t kSpanFlags = 2;        // SPAN: Flags (u8)
inline constexpr size_t kOrderedListFlags = 14;
inline constexpr size_t kRefFormSetId = 17;           // REF naming another form set: FormSetId (GUID)
inline constexpr size_t kVarStoreNameValueId = 2;     // VARSTORE_NAME_VALUE: VarStoreId
inline constexpr size_t kVarStoreNameValueGuid = 4;   // VARSTORE_NAME_VALUE: Guid

// TO_STRING formats.
inline constexpr uint8_t kStringUnsignedDecimal = 0;
inline constexpr uint8_t kStringSignedDecimal = 1;
inline constexpr uint8_t kStringLowercaseHex = 2;
inline constexpr uint8_t kStringUppercaseHex = 3;
// FIND formats.
inline constexpr uint8_t kFindSensitive = 0;
inline constexpr uint8_t kFindInsensitive = 1;
// SPAN flags.
inline constexpr uint8_t kSpanFirstMatching = 0;
inline constexpr uint8_t kSpanFirstNonMatching = 1;

// The UEFI version the VERSION opcode reports.
inline constexpr uint16_t kIfrVersion = 539;

}  // namespace kes::hii
