// What the driver hands to every operation over the Setup questions: the run record, the firmware
// access, the parsed HII database with its string lookup, and the condition evaluator (null when
// evaluation is off). The driver owns all of them for the run; the context only refers to them.
#pragma once
#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "hii/strings.h"

namespace kes {

struct SetupContext {
  RunState& run;
  FirmwareAccess& firmware;
  const HiiDatabase& database;
  const StringLookup& strings;
  Evaluator* evaluator = nullptr;

  // A new walk over the questions for this run's switches (or for `context`).
  QuestionWalk NewWalk() const { return NewWalk(WalkContext::FromRun(run)); }
  QuestionWalk NewWalk(const WalkContext& context) const {
    return QuestionWalk(database, strings, firmware, evaluator, context);
  }
};

}  // namespace kes
