// A hash index of numbered entries (records, directories): open addressing
// with linear probing, each slot holding 32 bits of the key's hash and the
// entry's number, so probes compare hashes before touching any key and
// growing never hashes a key again. The caller keeps the keys and says
// whether an entry's key is the one sought.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace warderon {

class TSlotIndex {
 public:
  TSlotIndex() { Clear(); }

  // The number of the entry with this hash whose key matches(number).
  template <class TMatches>
  std::optional<std::uint32_t> Find(std::uint64_t hash, TMatches matches) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint64_t entry = slots_[slot];
      if (entry == kEmpty) return std::nullopt;
      if (SlotHash(entry) == (hash & 0xFFFFFFFFULL) && matches(SlotNumber(entry))) {
        return SlotNumber(entry);
      }
    }
  }

  void Insert(std::uint32_t number, std::uint64_t hash) {
    if ((count_ + 1) * 10 > slots_.size() * 7) Grow();
    Place(number, hash);
    ++count_;
  }

  // Takes out the entry of this number, inserted under this hash.
  void Erase(std::uint32_t number, std::uint64_t hash) {
    // Backward-shift deletion keeps the probing chains whole.
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot] == kEmpty || SlotNumber(slots_[slot]) != number) slot = (slot + 1) & mask;
    for (std::size_t next = (slot + 1) & mask;; next = (next + 1) & mask) {
      const std::uint64_t moving = slots_[next];
      if (moving == kEmpty) break;
      const std::size_t home = SlotHash(moving) & mask;
      // Move it back unless its home lies cyclically in (slot, next].
      const bool stays =
          slot <= next ? (slot < home && home <= next) : (slot < home || home <= next);
      if (!stays) {
        slots_[slot] = moving;
        slot = next;
      }
    }
    slots_[slot] = kEmpty;
    --count_;
  }

  void Clear() {
    slots_.assign(kFirstSize, kEmpty);
    count_ = 0;
  }

  std::size_t MemoryBytes() const { return slots_.capacity() * sizeof(std::uint64_t); }

 private:
  static constexpr std::uint64_t kEmpty = ~0ULL;
  static constexpr std::size_t kFirstSize = 1024;

  // The low half of the hash (which also chooses the slot, for any table of
  // up to 2^32 slots) in the high half, the number in the low half.
  static std::uint32_t SlotNumber(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot & 0xFFFFFFFFULL);
  }
  static std::uint64_t SlotHash(std::uint64_t slot) { return slot >> 32; }

  void Place(std::uint32_t number, std::uint64_t hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = (hash << 32) | number;
  }

  void Grow() {
    std::vector<std::uint64_t> old(slots_.size() * 2, kEmpty);
    old.swap(slots_);
    for (const std::uint64_t entry : old) {
      if (entry != kEmpty) Place(SlotNumber(entry), SlotHash(entry));
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

}  // namespace warderon
