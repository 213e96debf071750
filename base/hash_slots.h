// An open-addressed hash index over a caller's own array: 8-byte slots holding a key's 32-bit
// hash and its position in the array. A look-up touches one or two slots and compares a key
// only when the hashes agree, so an index of tens of thousands of keys costs about the same per
// look-up as a small one (node-based maps of that size miss the cache on every look-up).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kes {

class HashSlots {
 public:
  HashSlots() : slots_(64) {}

  // The position of the key with `hash` for which `same(position)` is true, if any.
  template <typename Same>
  std::pair<uint32_t, bool> Find(uint32_t hash, Same same) const {
    const Slot& s = slots_[At(hash, same)];
    return {s.entry - 1, s.entry != 0};
  }

  // Adds `position` under `hash` unless a key for which `same` is true is there already: the
  // position kept, and whether it is the one added.
  template <typename Same>
  std::pair<uint32_t, bool> Insert(uint32_t hash, uint32_t position, Same same) {
    size_t at = At(hash, same);
    if (slots_[at].entry != 0) return {slots_[at].entry - 1, false};
    if (2 * (count_ + 1) > slots_.size()) {
      Grow();
      at = At(hash, [](uint32_t) { return false; });
    }
    slots_[at] = {hash, position + 1};
    ++count_;
    return {position, true};
  }

 private:
  struct Slot {
    uint32_t hash = 0;
    uint32_t entry = 0;  // 1 + the position; 0: free
  };
  // The slot holding the key, or the free slot where it belongs (the table is never full).
  template <typename Same>
  size_t At(uint32_t hash, Same same) const {
    size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask)
      if (slots_[at].entry == 0 || (slots_[at].hash == hash && same(slots_[at].entry - 1))) return at;
  }
  void Grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.entry == 0) continue;
      size_t at = s.hash & mask;
      while (slots_[at].entry != 0) at = (at + 1) & mask;
      slots_[at] = s;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, at most half used
  size_t count_ = 0;
};

}  // namespace kes
