// Walking the Setup questions: package list by package list, the form set of each list, its
// forms, and the questions of each form, handed out one QuestionRecord at a time. With /sp or /g
// during an export, questions inside a true suppress-if or gray-out-if are left out (or marked
// with /ce). The walk state is process-wide: one walk at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "base/guid.h"
#include "hii/hii_image.h"
#include "hii/question_model.h"
#include "hii/varstore_table.h"

namespace kes {

// What the caller's run asks of the iterator.
struct WalkContext {
  bool exportMode = false;   // /o
  bool verbose = false;      // /v
  bool suppressIf = false;   // /sp
  bool grayOutIf = false;    // /g
  bool commentOut = false;   // /ce
  std::wstring mapString;    // /ms (single-question mode)
};
WalkContext WalkContextFromRun();

struct FormSetInfo {
  size_t opcode = 0;         // the FORM_SET
  size_t limit = 0;          // end of its forms package
  size_t listOffset = 0;
  EfiGuid guid;
  uint16_t title = 0;
  uint16_t help = 0;
  uint16_t classId = 0;
  uint16_t subClass = 0;
};

struct FormInfo {
  size_t opcode = 0;         // the FORM
  uint16_t formId = 0;
  uint16_t title = 0;
  int depthBefore = 0;       // scope depth just before the FORM (where the next search resumes)
};

// Normal: conditions are evaluated when an export asks for /sp or /g; Plain: never (the
// mapping-language check walks this way). A new walk starts with ResetWalkState().
enum class WalkMode { Normal = 0, Plain = 3 };

// The list's form set: the first forms package (before any keyboard-layout package) must start
// with FORM_SET. Class and subclass come from the GUID opcodes that follow it.
std::optional<FormSetInfo> FirstFormSet(const PackageList& list);
// The next FORM of the form set; registers the varstores it passes. `cursor` is the previous
// form (none for the first).
std::optional<FormInfo> NextForm(const FormSetInfo& formSet, const FormInfo* cursor);

enum class QuestionStep {
  Question,   // `record` holds the next question
  Nothing,    // nothing handed out at this step; call again
  FormDone,   // the form is finished
};
// `cursor` is 0 at the start of a form and is advanced by the iterator.
QuestionStep NextQuestion(const FormSetInfo& formSet, const FormInfo& form, size_t& cursor,
                          const WalkContext& context, QuestionRecord& record, WalkMode mode = WalkMode::Normal);

void ResetWalkState();

// Subtitles met in verbose export walks are handed to this sink (the script writer).
void SetSubtitleSink(std::function<void(const IfrOp&)> sink);

// Forms targeted by a suppressed or grayed-out REF, kept for the whole run.
struct ReferenceMarks {
  bool hidden = false;
  bool suppressed = false;
  bool grayedOut = false;
};
// Keyed by form set and form id: form ids repeat across form sets.
ReferenceMarks LookupReference(const EfiGuid& formSet, uint16_t formId);
void ClearReferenceTable();

// Questions that share storage within one form set.
class SeenStorage {
 public:
  void Add(const QuestionRecord& record);
  bool Contains(const QuestionRecord& record) const;
  void Clear() { entries_.clear(); }

 private:
  // (varstore GUID, varstore name, offset); the width is not compared.
  std::set<std::tuple<std::array<uint8_t, 16>, std::wstring, uint16_t>> entries_;
};

// The first DEFAULT opcode inside the question (not for strings and passwords), if any.
std::optional<IfrOp> DefaultOpcode(Bytes image, const QuestionRecord& record);

// 0 valid, 1 invalid: hexadecimal (optionally "0x"), or decimal with an optional sign.
int NumericTextCheck(const char* text, bool decimal);

// Single-question mode: how many distinct storages the /ms map string names (0, 1 or 2).
int CountMapStringMatches(const WalkContext& context);

// Visits every question of the image in walk order. The callbacks may be empty. The varstore
// table is emptied at the start of each package list.
struct QuestionVisitor {
  std::function<void(const PackageList&, const FormSetInfo&)> formSet;
  std::function<void(const PackageList&, const FormSetInfo&, const FormInfo&)> form;
  std::function<void(const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord&)> question;
  std::function<void(const FormInfo&)> formEnd;
  std::function<bool()> stop;  // checked after each question; true ends the walk
};
void WalkQuestions(const WalkContext& context, const QuestionVisitor& visitor, WalkMode mode = WalkMode::Normal);

}  // namespace kes
