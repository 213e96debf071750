// Walking the Setup questions: package list by package list, the form set of each list, its
// forms, and the questions of each form, handed out one QuestionRecord at a time. With /sp or /g
// during an export, questions inside a true suppress-if or gray-out-if are left out (or marked
// with /ce). A QuestionWalk object holds everything one walk needs (its varstore table, its
// scope state, the reference marks and the subtitle sink); a second walk is a second object.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <tuple>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/strings.h"
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
  static WalkContext FromRun(const RunState& run);
};

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
// mapping-language check walks this way).
enum class WalkMode { Normal = 0, Plain = 3 };

// Questions that share storage within one form set.
class SeenStorage {
 public:
  void Add(const VarStoreTable& table, const QuestionRecord& record);
  bool Contains(const VarStoreTable& table, const QuestionRecord& record) const;
  void Clear() { entries_.clear(); }

 private:
  // (varstore GUID, varstore name, offset); the width is not compared.
  std::set<std::tuple<std::array<uint8_t, 16>, std::wstring, uint16_t>> entries_;
};

// The first DEFAULT opcode inside the question (not for strings and passwords), if any.
std::optional<IfrOp> DefaultOpcode(Bytes image, const QuestionRecord& record);

// 0 valid, 1 invalid: hexadecimal (optionally "0x"), or decimal with an optional sign.
int NumericTextCheck(const char* text, bool decimal);

enum class QuestionStep {
  Question,   // `record` holds the next question
  Nothing,    // nothing handed out at this step; call again
  FormDone,   // the form is finished
};

// A condition scope that encloses the question handed out last: SUPPRESS_IF, GRAY_OUT_IF or
// DISABLE_IF (in the older layout SUPPRESS_IF or GRAYOUT_IF, up to END_IF).
struct OpenCondition {
  size_t opcode = 0;  // offset in the image
  uint8_t code = 0;
  int depth = 0;      // scope depth it was opened at
};

// Forms targeted by a suppressed or grayed-out REF.
struct ReferenceMarks {
  bool hidden = false;
  bool suppressed = false;
  bool grayedOut = false;
};

// Visits every question of the image in walk order. The callbacks may be empty.
struct QuestionVisitor {
  std::function<void(const PackageList&, const FormSetInfo&)> formSet;
  std::function<void(const PackageList&, const FormSetInfo&, const FormInfo&)> form;
  std::function<void(const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord&)> question;
  std::function<void(const FormInfo&)> formEnd;
  std::function<bool()> stop;  // checked after each question; true ends the walk
};

// One walk over the questions of an HII database. The database, the string lookup, the firmware
// access (which reads the varstores) and the evaluator (which may be null: no conditions, no
// pages) must outlive the walk.
class QuestionWalk {
 public:
  QuestionWalk(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware,
               Evaluator* evaluator, WalkContext context);

  const HiiDatabase& Database() const { return database_; }
  const StringLookup& Strings() const { return strings_; }
  const WalkContext& Context() const { return context_; }
  Evaluator* Evaluation() const { return evaluator_; }
  VarStoreTable& VarStores() { return varStores_; }
  const VarStoreTable& VarStores() const { return varStores_; }

  // The list's form set: the first forms package (before any keyboard-layout package) must start
  // with FORM_SET. Class and subclass come from the GUID opcodes that follow it. In the older
  // layout: the data table's FORM_SET when its class is not 0; its "Setup" store is registered.
  std::optional<FormSetInfo> FirstFormSet(const PackageList& list);
  // The next FORM of the form set; registers the varstores it passes. `cursor` is the previous
  // form (none for the first).
  std::optional<FormInfo> NextForm(const FormSetInfo& formSet, const FormInfo* cursor);
  // `cursor` is 0 at the start of a form and is advanced by the iterator.
  QuestionStep NextQuestion(const FormSetInfo& formSet, const FormInfo& form, size_t& cursor, QuestionRecord& record,
                            WalkMode mode = WalkMode::Normal);

  // Every question of the image in walk order. The varstore table is emptied at the start of
  // each package list.
  void WalkQuestions(const QuestionVisitor& visitor, WalkMode mode = WalkMode::Normal);

  // The conditions around the question NextQuestion handed out last, within its form, outermost
  // first; kept whatever the walk mode.
  const std::vector<OpenCondition>& OpenConditions() const { return openConditions_; }

  // Subtitles met in verbose export walks are handed to this sink (the script writer).
  void SetSubtitleSink(std::function<void(const IfrOp&)> sink) { subtitleSink_ = std::move(sink); }

  // Keyed by form set and form id: form ids repeat across form sets.
  ReferenceMarks LookupReference(const EfiGuid& formSet, uint16_t formId) const;

 private:
  // The older layout's walk (older_walk.cpp), behind the three calls above.
  std::optional<FormSetInfo> FirstOlderFormSet(const PackageList& list);
  std::optional<FormInfo> NextOlderForm(const FormSetInfo& formSet, const FormInfo* cursor);
  QuestionStep NextOlderQuestion(const FormSetInfo& formSet, const FormInfo& form, size_t& cursor,
                                 QuestionRecord& record, WalkMode mode);
  void DecodeOlderQuestion(const FormSetInfo& formSet, const IfrOp& op, QuestionRecord& record);
  uint16_t OlderComparedValue(const FormSetInfo& formSet, size_t from);
  // What the older walk keeps between calls: the selected varstore (0 at each form set) and the
  // suppress-if it is in.
  struct OlderState {
    uint16_t varStoreId = 0;
    bool inSuppress = false;
    uint16_t compared = 0;       // the value the open suppress-if compares with
    bool endIfSeen = false;      // END_IF was the last structural opcode
    // The last scan for a comparison: from `scanFrom` nothing before `scanEnd` compares, and the
    // opcode there (if any) gives `scanValue`. Later scans inside that range reuse it.
    size_t scanFrom = 0, scanEnd = 0;
    uint16_t scanValue = 0;
  };

  struct ReferenceKey {
    std::array<uint8_t, 16> formSet;
    uint16_t formId;
    auto operator<=>(const ReferenceKey&) const = default;
  };
  // What the special-control check needs of one form set, from one pass over it: where each
  // suppress-if and gray-out-if scope ends, where the EQ_ID_VAL and EQ_ID_VAL_LIST opcodes are,
  // the VarStoreId of the first question of each QuestionId and the name of the first varstore
  // of each VarStoreId.
  struct SpecialControlIndex {
    size_t formSet = 0;  // the FORM_SET indexed; 0 = none
    std::vector<std::pair<size_t, size_t>> conditionEnds;  // (condition, end of its scope), in order
    std::vector<size_t> tests;                             // in order
    std::unordered_map<uint16_t, uint16_t> varStoreOfQuestion;
    std::unordered_map<uint16_t, std::wstring> varStoreName;
  };
  void AddReference(const EfiGuid& formSet, uint16_t formId, bool suppressed, bool grayedOut);
  const SpecialControlIndex& IndexFormSet(const FormSetInfo& formSet);
  void CheckSpecialControl(const FormSetInfo& formSet, const IfrOp& condition, uint32_t& index, bool& counted);

  const HiiDatabase& database_;
  const StringLookup& strings_;
  Evaluator* evaluator_;
  WalkContext context_;
  VarStoreTable varStores_;
  int depth_ = 0;
  int baseline_ = 0;
  std::vector<uint8_t> scopeStack_;
  size_t openCondition_ = 0;  // 0 = none (an opcode never sits at offset 0 of the image)
  std::vector<OpenCondition> openConditions_;
  int conditionNesting_ = 0;
  std::function<void(const IfrOp&)> subtitleSink_;
  std::set<ReferenceKey> hidden_, suppressed_, grayedOut_;
  SpecialControlIndex special_;
  OlderState older_;
};

// Single-question mode: how many distinct storages the /ms map string names (0, 1 or 2), from a
// walk of its own.
int CountMapStringMatches(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware,
                          Evaluator* evaluator, const WalkContext& context);

}  // namespace kes
