// The question model: a Setup question is handed out as a QuestionRecord that points at its IFR
// opcode inside the HII database image and carries the decoded fields callers need; its value
// lives in the varstore table at VarOffset for Width bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/le.h"
#include "hii/varstore_table.h"

namespace kes {

class Evaluator;

// One IFR opcode inside the image. `bytes` covers exactly the opcode's Length.
struct IfrOp {
  size_t offset = 0;
  uint8_t code = 0;
  uint8_t length = 0;
  bool scope = false;
  Bytes bytes;
};
// The opcode at `offset`, or none when its Length is 0 or it runs past `limit`.
std::optional<IfrOp> OpAt(Bytes image, size_t offset, size_t limit);

// Calls fn(op) for each opcode from `offset` until `limit`, a zero length, or fn returning false.
template <typename Fn>
void ForEachOp(Bytes image, size_t offset, size_t limit, Fn fn) {
  while (auto op = OpAt(image, offset, limit)) {
    if (!fn(*op)) return;
    offset += op->length;
  }
}

struct OptionRecord {
  uint16_t Option = 0;  // string id
  uint64_t Value = 0;
  uint8_t Flags = 0;
  uint8_t Type = 0;
};

struct QuestionValueInfo {
  uint64_t Minimum = 0;
  uint64_t Maximum = 0;
  uint64_t StdDefault = 0;
  uint64_t MfgDefault = 0;
  uint8_t Flags = 0;  // bit 0: a special-control condition was met before the question
  std::vector<OptionRecord> Options;
};

struct QuestionRecord {
  size_t Opcode = 0;       // offset of the question's opcode in the image
  size_t ScopeLimit = 0;   // end of the forms package holding it
  uint16_t Kind = 0;
  uint16_t PageIndex = 0;
  uint16_t QuestionId = 0;
  uint16_t Prompt = 0;
  uint16_t Help = 0;
  uint16_t VarStoreIndex = 0;
  uint32_t ControlVarStoreIndex = 0;
  uint16_t VarOffset = 0;
  uint16_t Width = 0;
  QuestionValueInfo ValueInfo;
  bool Suppressed = false;
  bool GrayedOut = false;
  // Decoded from the older IFR encoding (older HII layout): the opcode has no display or reset
  // flags, and its length byte is the whole length.
  bool OlderEncoding = false;

  Bytes Op(Bytes image) const;  // the opcode's bytes
};

bool IsQuestionKind(uint8_t code);
// Bytes of an IFR value of the given EFI_IFR_TYPE_* (options, DEFAULT opcodes); 0 for an unknown type.
size_t IfrValueWidth(uint8_t type);

// Fills Opcode, QuestionId, Prompt, Help, VarStoreIndex, VarOffset, Width and ValueInfo.
void DecodeQuestion(Bytes image, const VarStoreTable& table, const IfrOp& op, size_t limit, QuestionRecord& record);
// Registers a VARSTORE or VARSTORE_EFI opcode in the varstore table; anything else is ignored.
void RegisterVarStore(VarStoreTable& table, const IfrOp& op);

// Field accessors over a raw opcode; 0 for opcodes they do not cover.
uint16_t OpPrompt(const IfrOp& op);
uint16_t OpHelp(const IfrOp& op);
uint16_t OpQuestionId(const IfrOp& op);
uint16_t OpVarStoreId(const IfrOp& op);
uint16_t OpVarOffset(const IfrOp& op);
uint8_t OpDisplayBits(const IfrOp& op);       // NUMERIC: Flags & 0x30
uint8_t OpDateTimeStorage(const IfrOp& op);   // DATE/TIME: Flags & 0x30
bool OpResetRequired(const IfrOp& op);        // question header Flags == 0x10 exactly
// How a NUMERIC question's value and bounds are read, the one reading every face of the tool uses
// (script export and import, single question, PLDM tables, kestrel-attrs): signed only where the
// display flag says signed decimal and the bounds, read signed at the question's size, form a
// range (minimum <= maximum); otherwise unsigned. EDK2's compiler leaves many unsigned questions
// with the display flag 0 (a 0..65535 port reads 0..-1 signed), and the firmware's own browser
// takes them as unsigned.
bool IsSignedNumeric(const IfrOp& op);
// The display kind of a NUMERIC question (kDisplay...) in that reading: hexadecimal and unsigned
// decimal as the flags say, signed decimal only where IsSignedNumeric holds, unsigned decimal for
// a signed display whose bounds read signed are no range and for the older encoding, which has no
// display flags.
uint8_t NumericDisplay(const IfrOp& op, const QuestionRecord& record);

// The offset just after the END that closes the opcode's scope (the next opcode when it has
// none); `limit` when the walk runs out first.
size_t EndOfScope(Bytes image, size_t offset, size_t limit);

// The options of a one-of or ordered-list question with those hidden by their own suppress-if
// dropped (when the condition evaluator says so; without one every option is visible).
std::vector<OptionRecord> VisibleOptions(Bytes image, const QuestionRecord& record, size_t packageList,
                                         Evaluator* evaluator);

}  // namespace kes
