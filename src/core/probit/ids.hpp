// Ids of 64-bit keys in order of first appearance: open addressing in a table of a power of two of
// slots, at most half of them full, so that a lookup mostly costs one probe. Keys are compared whole, so
// two keys never share an id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorbis::core::probit {

class IdOfKey {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // The id slot of key: kNone when key is new, for the caller to fill.
  std::uint32_t& operator[](std::uint64_t key) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot& slot = find(key);
    if (slot.id == kNone) {
      slot.key = key;
      ++used_;
    }
    return slot.id;
  }

  // The id of key, the next one when key is new.
  std::uint32_t id(std::uint64_t key) {
    std::uint32_t& slot = (*this)[key];
    if (slot == kNone) slot = static_cast<std::uint32_t>(used_ - 1);
    return slot;
  }

  std::size_t size() const noexcept { return used_; }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t id = kNone;
  };

  // Spreads every bit of the key over the low bits (a 64-bit finaliser of MurmurHash3): doubles tend to
  // differ in their high bits alone, codes in their low bits.
  static std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    return x ^ (x >> 33);
  }

  Slot& find(std::uint64_t key) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(mix(key)) & mask;
    while (slots_[i].id != kNone && slots_[i].key != key) i = (i + 1) & mask;
    return slots_[i];
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    for (const Slot& slot : old) {
      if (slot.id != kNone) find(slot.key) = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace quorbis::core::probit
