#include "companions/attrs/conditions.h"

#include <algorithm>

#include "hii/hii_format.h"

namespace kes::attrs {

ConditionFlags FlagsOf(const std::vector<AttributeCondition>& conditions) {
  ConditionFlags flags;
  for (const AttributeCondition& c : conditions) {
    if (!c.holds) continue;
    if (c.code == hii::IFR_SUPPRESS_IF || c.code == hii::IFR_DISABLE_IF) flags.hidden = true;
    if (c.code == hii::IFR_GRAY_OUT_IF) flags.grayOut = true;
    if (c.code == hii::IFR_DISABLE_IF) flags.disabled = true;
  }
  return flags;
}

const ConditionTerms& ConditionBook::Terms(const AttributeCondition& c) {
  auto it = terms_.find(c.opcode);
  if (it != terms_.end()) return it->second;
  ConditionTerms terms;
  if (evaluator_ && c.evaluable) {
    ConditionRequest request;
    request.packageList = c.list;
    request.PageIndex = c.page;
    request.QuestionId = c.questionId;
    request.Condition = c.opcode;
    terms = evaluator_->ReadConditionTerms(request);
  } else {
    terms.unreadable = "the condition cannot be evaluated";
  }
  return terms_.emplace(c.opcode, std::move(terms)).first->second;
}

bool ConditionBook::Holds(const AttributeCondition& c) {
  if (!evaluator_ || !c.evaluable) return false;
  uint64_t key = Terms(c).perQuestion ? (static_cast<uint64_t>(c.opcode) << 16 | c.questionId) << 1 | 1
                                      : static_cast<uint64_t>(c.opcode) << 1;
  auto it = holds_.find(key);
  if (it != holds_.end()) return it->second;
  ConditionRequest request;
  request.packageList = c.list;
  request.PageIndex = c.page;
  request.QuestionId = c.questionId;
  request.Condition = c.opcode;
  IfrValue value;
  size_t consumed = 0;
  // A failed expression counts as false, as in every walk.
  bool holds = !efi::IsError(evaluator_->EvaluateExpression(request, value, consumed)) &&
               value.Type == kValueBoolean && value.Value != 0;
  holds_.emplace(key, holds);
  return holds;
}

bool ConditionBook::Assume(const std::vector<VariableChange>& changes) {
  if (!evaluator_) return false;
  bool all = true;
  std::map<std::pair<std::wstring, std::array<uint8_t, 16>>, std::vector<uint8_t>> patched;
  for (const VariableChange& change : changes) {
    auto key = std::make_pair(change.name, change.guid.ToBytes());
    auto it = patched.find(key);
    if (it == patched.end()) {
      auto bytes = evaluator_->EvaluationVariableBytes(change.name, change.guid);
      if (!bytes) {
        all = false;
        continue;
      }
      saved_.try_emplace(key, *bytes);
      it = patched.emplace(key, std::move(*bytes)).first;
    }
    std::vector<uint8_t>& bytes = it->second;
    if (change.offset + change.bytes.size() > bytes.size()) bytes.resize(change.offset + change.bytes.size(), 0);
    std::copy(change.bytes.begin(), change.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(change.offset));
  }
  for (auto& [key, bytes] : patched)
    all = evaluator_->ReplaceEvaluationVariableBytes(key.first, EfiGuid::FromBytes(key.second, 0), std::move(bytes)) && all;
  holds_.clear();
  return all;
}

void ConditionBook::Forget() {
  if (!evaluator_ || saved_.empty()) return;
  for (auto& [key, bytes] : saved_)
    evaluator_->ReplaceEvaluationVariableBytes(key.first, EfiGuid::FromBytes(key.second, 0), std::move(bytes));
  saved_.clear();
  holds_.clear();
}

}  // namespace kes::attrs
