#include "companions/fwemu/variable_store.h"

#include <algorithm>

namespace kes::fwemu {

const Variable* VariableStore::Find(const VariableId& id) const {
  auto it = std::find_if(variables_.begin(), variables_.end(), [&](const Variable& v) { return v.id == id; });
  return it == variables_.end() ? nullptr : &*it;
}

void VariableStore::Put(const VariableId& id, uint32_t attributes, std::vector<uint8_t> data) {
  auto it = std::find_if(variables_.begin(), variables_.end(), [&](const Variable& v) { return v.id == id; });
  if (it == variables_.end()) {
    variables_.push_back(Variable{id, attributes, std::move(data)});
  } else {
    it->attributes = attributes;
    it->data = std::move(data);
  }
}

void VariableStore::Swap(const VariableId& id, uint32_t attributes, std::vector<uint8_t>& data) {
  auto it = std::find_if(variables_.begin(), variables_.end(), [&](const Variable& v) { return v.id == id; });
  if (it == variables_.end()) {
    variables_.push_back(Variable{id, attributes, std::move(data)});
    data.clear();
  } else {
    it->attributes = attributes;
    it->data.swap(data);
  }
}

bool VariableStore::Erase(const VariableId& id) {
  auto it = std::find_if(variables_.begin(), variables_.end(), [&](const Variable& v) { return v.id == id; });
  if (it == variables_.end()) return false;
  variables_.erase(it);
  return true;
}

const Variable* VariableStore::Next(const VariableId* previous, bool& found) const {
  found = true;
  if (!previous) return variables_.empty() ? nullptr : &variables_.front();
  auto it = std::find_if(variables_.begin(), variables_.end(), [&](const Variable& v) { return v.id == *previous; });
  if (it == variables_.end()) {
    found = false;
    return nullptr;
  }
  ++it;
  return it == variables_.end() ? nullptr : &*it;
}

}  // namespace kes::fwemu
