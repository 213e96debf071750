// The conditions of the attributes, evaluated: each condition's terms read once and its outcome
// found once (per question where it reads its own question), by the run's condition evaluator,
// on the variables as read or on the bytes a request would write.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "hii/condition_terms.h"
#include "hii/setup_context.h"
#include "companions/attrs/attribute_model.h"

namespace kes::attrs {

// Bytes a request would write into a variable.
struct VariableChange {
  std::wstring name;
  EfiGuid guid;
  size_t offset = 0;
  std::vector<uint8_t> bytes;
};

class ConditionBook {
 public:
  explicit ConditionBook(const SetupContext& setup) : evaluator_(setup.evaluator) {}
  ConditionBook(const ConditionBook&) = delete;
  ConditionBook& operator=(const ConditionBook&) = delete;
  ~ConditionBook() { Forget(); }

  // The condition's expression as terms (unreadable when nothing evaluates it).
  const ConditionTerms& Terms(const AttributeCondition& condition);
  // Whether the condition holds: a condition that cannot be evaluated never does.
  bool Holds(const AttributeCondition& condition);
  // The condition, with `holds` found.
  AttributeCondition Evaluated(AttributeCondition condition) {
    condition.holds = Holds(condition);
    return condition;
  }

  // From now on conditions are evaluated on the variables as the changes would leave them
  // (nothing is written); false when the evaluator holds none of a change's variable.
  bool Assume(const std::vector<VariableChange>& changes);
  // Back to the variables as read.
  void Forget();

 private:
  Evaluator* evaluator_;
  std::unordered_map<size_t, ConditionTerms> terms_;
  std::unordered_map<uint64_t, bool> holds_;
  std::map<std::pair<std::wstring, std::array<uint8_t, 16>>, std::vector<uint8_t>> saved_;  // bytes as read
};

}  // namespace kes::attrs
