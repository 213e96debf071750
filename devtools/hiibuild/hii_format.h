// Constants of the UEFI HII binary formats that the image builder writes: package list and
// package headers, string packages and their blocks, and the IFR opcodes with their flags.
// Layouts (little-endian, offsets from the start of the structure):
//
//   EFI_HII_PACKAGE_LIST_HEADER  PackageListGuid[16] PackageLength(u32)                    20 bytes
//   EFI_HII_PACKAGE_HEADER       Length(24 bits) Type(u8)                                   4 bytes
//   EFI_HII_STRING_PACKAGE_HDR   Header(4) HdrSize(u32) StringInfoOffset(u32)
//                                LanguageWindow[16](UCS-2) LanguageName(u16) Language[](ASCII, NUL)
//   EFI_IFR_OP_HEADER            OpCode(u8) Length(7 bits) Scope(1 bit)                     2 bytes
//   EFI_IFR_QUESTION_HEADER      Prompt Help QuestionId VarStoreId VarOffset (u16 each) Flags(u8)
#pragma once
#include <cstddef>
#include <cstdint>

namespace kes::hiibuild {

inline constexpr size_t kPackageListHeaderSize = 20;
inline constexpr size_t kPackageHeaderSize = 4;
inline constexpr uint32_t kMaxPackageLength = 0xFFFFFF;  // 24-bit Length field
inline constexpr size_t kStringPackageFixedSize = 46;    // header up to the Language tag
inline constexpr size_t kIfrMaxLength = 0x7F;            // 7-bit opcode Length field

namespace package {
inline constexpr uint8_t kGuid = 0x01;
inline constexpr uint8_t kForms = 0x02;
inline constexpr uint8_t kStrings = 0x04;
inline constexpr uint8_t kFonts = 0x05;
inline constexpr uint8_t kImages = 0x06;
inline constexpr uint8_t kSimpleFonts = 0x07;
inline constexpr uint8_t kDevicePath = 0x08;
inline constexpr uint8_t kKeyboardLayout = 0x09;
inline constexpr uint8_t kAnimations = 0x0A;
inline constexpr uint8_t kEnd = 0xDF;
}  // namespace package

// EFI_HII_SIBT_* string block types.
namespace sibt {
inline constexpr uint8_t kEnd = 0x00;
inline constexpr uint8_t kStringScsu = 0x10;
inline constexpr uint8_t kStringScsuFont = 0x11;
inline constexpr uint8_t kStringsScsu = 0x12;
inline constexpr uint8_t kStringsScsuFont = 0x13;
inline constexpr uint8_t kStringUcs2 = 0x14;
inline constexpr uint8_t kStringUcs2Font = 0x15;
inline constexpr uint8_t kStringsUcs2 = 0x16;
inline constexpr uint8_t kStringsUcs2Font = 0x17;
inline constexpr uint8_t kDuplicate = 0x20;
inline constexpr uint8_t kSkip2 = 0x21;
inline constexpr uint8_t kSkip1 = 0x22;
inline constexpr uint8_t kExt1 = 0x30;
inline constexpr uint8_t kExt2 = 0x31;
inline constexpr uint8_t kExt4 = 0x32;
inline constexpr uint8_t kFont = 0x40;
}  // namespace sibt

// EFI_IFR_*_OP opcode values.
namespace op {
inline constexpr uint8_t kForm = 0x01;
inline constexpr uint8_t kSubtitle = 0x02;
inline constexpr uint8_t kText = 0x03;
inline constexpr uint8_t kImage = 0x04;
inline constexpr uint8_t kOneOf = 0x05;
inline constexpr uint8_t kCheckbox = 0x06;
inline constexpr uint8_t kNumeric = 0x07;
inline constexpr uint8_t kPassword = 0x08;
inline constexpr uint8_t kOneOfOption = 0x09;
inline constexpr uint8_t kSuppressIf = 0x0A;
inline constexpr uint8_t kLocked = 0x0B;
inline constexpr uint8_t kAction = 0x0C;
inline constexpr uint8_t kResetButton = 0x0D;
inline constexpr uint8_t kFormSet = 0x0E;
inline constexpr uint8_t kRef = 0x0F;
inline constexpr uint8_t kNoSubmitIf = 0x10;
inline constexpr uint8_t kInconsistentIf = 0x11;
inline constexpr uint8_t kEqIdVal = 0x12;
inline constexpr uint8_t kEqIdId = 0x13;
inline constexpr uint8_t kEqIdValList = 0x14;
inline constexpr uint8_t kAnd = 0x15;
inline constexpr uint8_t kOr = 0x16;
inline constexpr uint8_t kNot = 0x17;
inline constexpr uint8_t kRule = 0x18;
inline constexpr uint8_t kGrayOutIf = 0x19;
inline constexpr uint8_t kDate = 0x1A;
inline constexpr uint8_t kTime = 0x1B;
inline constexpr uint8_t kString = 0x1C;
inline constexpr uint8_t kRefresh = 0x1D;
inline constexpr uint8_t kDisableIf = 0x1E;
inline constexpr uint8_t kAnimation = 0x1F;
inline constexpr uint8_t kToLower = 0x20;
inline constexpr uint8_t kToUpper = 0x21;
inline constexpr uint8_t kMap = 0x22;
inline constexpr uint8_t kOrderedList = 0x23;
inline constexpr uint8_t kVarStore = 0x24;
inline constexpr uint8_t kVarStoreNameValue = 0x25;
inline constexpr uint8_t kVarStoreEfi = 0x26;
inline constexpr uint8_t kVarStoreDevice = 0x27;
inline constexpr uint8_t kVersion = 0x28;
inline constexpr uint8_t kEnd = 0x29;
inline constexpr uint8_t kMatch = 0x2A;
inline constexpr uint8_t kGet = 0x2B;
inline constexpr uint8_t kSet = 0x2C;
inline constexpr uint8_t kRead = 0x2D;
inline constexpr uint8_t kWrite = 0x2E;
inline constexpr uint8_t kEqual = 0x2F;
inline constexpr uint8_t kNotEqual = 0x30;
inline constexpr uint8_t kGreaterThan = 0x31;
inline constexpr uint8_t kGreaterEqual = 0x32;
inline constexpr uint8_t kLessThan = 0x33;
inline constexpr uint8_t kLessEqual = 0x34;
inline constexpr uint8_t kBitwiseAnd = 0x35;
inline constexpr uint8_t kBitwiseOr = 0x36;
inline constexpr uint8_t kBitwiseNot = 0x37;
inline constexpr uint8_t kShiftLeft = 0x38;
inline constexpr uint8_t kShiftRight = 0x39;
inline constexpr uint8_t kAdd = 0x3A;
inline constexpr uint8_t kSubtract = 0x3B;
inline constexpr uint8_t kMultiply = 0x3C;
inline constexpr uint8_t kDivide = 0x3D;
inline constexpr uint8_t kModulo = 0x3E;
inline constexpr uint8_t kRuleRef = 0x3F;
inline constexpr uint8_t kQuestionRef1 = 0x40;
inline constexpr uint8_t kQuestionRef2 = 0x41;
inline constexpr uint8_t kUint8 = 0x42;
inline constexpr uint8_t kUint16 = 0x43;
inline constexpr uint8_t kUint32 = 0x44;
inline constexpr uint8_t kUint64 = 0x45;
inline constexpr uint8_t kTrue = 0x46;
inline constexpr uint8_t kFalse = 0x47;
inline constexpr uint8_t kToUint = 0x48;
inline constexpr uint8_t kToString = 0x49;
inline constexpr uint8_t kToBoolean = 0x4A;
inline constexpr uint8_t kMid = 0x4B;
inline constexpr uint8_t kFind = 0x4C;
inline constexpr uint8_t kToken = 0x4D;
inline constexpr uint8_t kStringRef1 = 0x4E;
inline constexpr uint8_t kStringRef2 = 0x4F;
inline constexpr uint8_t kConditional = 0x50;
inline constexpr uint8_t kQuestionRef3 = 0x51;
inline constexpr uint8_t kZero = 0x52;
inline constexpr uint8_t kOne = 0x53;
inline constexpr uint8_t kOnes = 0x54;
inline constexpr uint8_t kUndefined = 0x55;
inline constexpr uint8_t kLength = 0x56;
inline constexpr uint8_t kDup = 0x57;
inline constexpr uint8_t kThis = 0x58;
inline constexpr uint8_t kSpan = 0x59;
inline constexpr uint8_t kValue = 0x5A;
inline constexpr uint8_t kDefault = 0x5B;
inline constexpr uint8_t kDefaultStore = 0x5C;
inline constexpr uint8_t kFormMap = 0x5D;
inline constexpr uint8_t kCatenate = 0x5E;
inline constexpr uint8_t kGuid = 0x5F;
inline constexpr uint8_t kSecurity = 0x60;
inline constexpr uint8_t kModalTag = 0x61;
inline constexpr uint8_t kRefreshId = 0x62;
inline constexpr uint8_t kWarningIf = 0x63;
inline constexpr uint8_t kMatch2 = 0x64;
}  // namespace op

// EFI_IFR_TYPE_* value types of ONE_OF_OPTION and DEFAULT.
namespace type {
inline constexpr uint8_t kNum8 = 0x00;
inline constexpr uint8_t kNum16 = 0x01;
inline constexpr uint8_t kNum32 = 0x02;
inline constexpr uint8_t kNum64 = 0x03;
inline constexpr uint8_t kBoolean = 0x04;
inline constexpr uint8_t kTime = 0x05;
inline constexpr uint8_t kDate = 0x06;
inline constexpr uint8_t kString = 0x07;
inline constexpr uint8_t kOther = 0x08;
inline constexpr uint8_t kUndefined = 0x09;
inline constexpr uint8_t kAction = 0x0A;
inline constexpr uint8_t kBuffer = 0x0B;
inline constexpr uint8_t kRef = 0x0C;
}  // namespace type

// Bytes of the value of each type as stored in ONE_OF_OPTION and DEFAULT (0 for types whose
// value is not a fixed-size field: OTHER, UNDEFINED and BUFFER).
constexpr size_t TypeValueSize(uint8_t t) {
  switch (t) {
    case type::kNum8: case type::kBoolean: return 1;
    case type::kNum16: case type::kString: case type::kAction: return 2;
    case type::kNum32: case type::kDate: return 4;
    case type::kNum64: return 8;
    case type::kTime: return 3;
    case type::kRef: return 22;  // EFI_HII_REF: QuestionId, FormId, FormSetGuid, DevicePath
    default: return 0;
  }
}

// The value type that matches a numeric width of 1, 2, 4 or 8 bytes.
constexpr uint8_t TypeForSize(uint8_t size) {
  return size >= 8 ? type::kNum64 : size >= 4 ? type::kNum32 : size >= 2 ? type::kNum16 : type::kNum8;
}

namespace flags {
// Question header Flags (EFI_IFR_FLAG_*).
inline constexpr uint8_t kReadOnly = 0x01;
inline constexpr uint8_t kCallback = 0x04;
inline constexpr uint8_t kResetRequired = 0x10;
inline constexpr uint8_t kReconnectRequired = 0x40;
inline constexpr uint8_t kOptionsOnly = 0x80;
// ONE_OF and NUMERIC Flags: size bits and display bits.
inline constexpr uint8_t kSize1 = 0x00;
inline constexpr uint8_t kSize2 = 0x01;
inline constexpr uint8_t kSize4 = 0x02;
inline constexpr uint8_t kSize8 = 0x03;
inline constexpr uint8_t kSizeMask = 0x03;
inline constexpr uint8_t kDisplayIntDec = 0x00;
inline constexpr uint8_t kDisplayUintDec = 0x10;
inline constexpr uint8_t kDisplayUintHex = 0x20;
inline constexpr uint8_t kDisplayMask = 0x30;
// ONE_OF_OPTION Flags.
inline constexpr uint8_t kOptionDefault = 0x10;
inline constexpr uint8_t kOptionDefaultMfg = 0x20;
// CHECKBOX Flags.
inline constexpr uint8_t kCheckboxDefault = 0x01;
inline constexpr uint8_t kCheckboxDefaultMfg = 0x02;
// DATE Flags (TIME uses the same bit positions for hour, minute, second).
inline constexpr uint8_t kDateYearSuppress = 0x01;
inline constexpr uint8_t kDateMonthSuppress = 0x02;
inline constexpr uint8_t kDateDaySuppress = 0x04;
inline constexpr uint8_t kStorageNormal = 0x00;
inline constexpr uint8_t kStorageTime = 0x10;    // kept in the real-time clock
inline constexpr uint8_t kStorageWakeup = 0x20;  // a wake-up time
inline constexpr uint8_t kStorageMask = 0x30;
// STRING Flags.
inline constexpr uint8_t kStringMultiLine = 0x01;
// ORDERED_LIST Flags.
inline constexpr uint8_t kUniqueSet = 0x01;
inline constexpr uint8_t kNoEmptySet = 0x02;
// SUBTITLE Flags.
inline constexpr uint8_t kSubtitleHorizontal = 0x01;
}  // namespace flags

// Default store ids (EFI_HII_DEFAULT_CLASS_*).
inline constexpr uint16_t kDefaultStandard = 0x0000;
inline constexpr uint16_t kDefaultManufacturing = 0x0001;

// The GUID opcode extensions that carry a form set's class and subclass, and form labels:
// EFI_IFR_GUID with this GUID, then ExtendOpCode (u8) at 18 and a u16 at 19.
namespace guidop {
inline constexpr uint8_t kLabel = 0x00;
inline constexpr uint8_t kBanner = 0x01;
inline constexpr uint8_t kTimeout = 0x02;
inline constexpr uint8_t kClass = 0x03;
inline constexpr uint8_t kSubclass = 0x04;
}  // namespace guidop

// Variable attributes (EFI_VARIABLE_*).
namespace attr {
inline constexpr uint32_t kNonVolatile = 0x1;
inline constexpr uint32_t kBootService = 0x2;
inline constexpr uint32_t kRuntime = 0x4;
inline constexpr uint32_t kNvBsRt = 0x7;
}  // namespace attr

}  // namespace kes::hiibuild
