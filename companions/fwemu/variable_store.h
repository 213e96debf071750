// The emulated firmware's variable storage: variables in the order they were created, which is
// the order the name enumeration walks them in (replacing a variable keeps its place).
#pragma once
#include <cstdint>
#include <vector>

#include "companions/fwemu/efi_types.h"

namespace kes::fwemu {

struct Variable {
  VariableId id;
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
};

class VariableStore {
 public:
  const Variable* Find(const VariableId& id) const;
  // Replaces the variable's attributes and data, or appends a new variable.
  void Put(const VariableId& id, uint32_t attributes, std::vector<uint8_t> data);
  // Put that hands the variable's previous data back in `data` (emptied for a new variable), so
  // that a caller replacing a variable over and over reuses one buffer.
  void Swap(const VariableId& id, uint32_t attributes, std::vector<uint8_t>& data);
  // False when there was no such variable.
  bool Erase(const VariableId& id);
  // The variable after `previous` in enumeration order: the first one for nullptr; nullptr at the
  // end. found is false when previous names no stored variable.
  const Variable* Next(const VariableId* previous, bool& found) const;
  const std::vector<Variable>& All() const { return variables_; }

 private:
  std::vector<Variable> variables_;
};

}  // namespace kes::fwemu
