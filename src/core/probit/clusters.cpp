#include "core/probit/clusters.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace quorbis::core::probit {
namespace {

// Appends one value in four-decimal notation ("NaN", "inf" and "-inf" for the non-finite).
void append_cluster_value(double value, std::string& out) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  // Fixed notation rounds the exact binary value, ties to even; the largest double needs 309 digits.
  char text[320];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 4);
  out.append(text, result.ptr);
}

}  // namespace

void cluster_label(const core::MatrixView& values, std::ptrdiff_t row, std::string& out) {
  out.clear();
  for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
    if (j > 0) out += '|';
    append_cluster_value(values(row, j), out);
  }
}

namespace {

// The cluster ids of the bit patterns seen so far: open addressing in a table of a power of two of
// slots, at most half of them full, so that the lookup of each row mostly costs one probe.
class IdOfBits {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::uint32_t& operator[](std::uint64_t key) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot& slot = find(key);
    if (slot.id == kNone) {
      slot.key = key;
      ++used_;
    }
    return slot.id;
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t id = kNone;
  };

  // Spreads every bit of the key over the low bits (a 64-bit finaliser of MurmurHash3): doubles tend to
  // differ in their high bits alone.
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

// Rows with the same bits have the same label, so each distinct bit pattern (the key) is formatted
// only once; ids follow the first appearance of each label.
template <class IdOfKey, class ReadKey>
Clusters group_rows(const core::MatrixView& values, ReadKey read_key) {
  Clusters clusters;
  clusters.of_row.resize(static_cast<std::size_t>(values.rows));
  std::unordered_map<std::string, std::uint32_t> id_of_label;
  IdOfKey id_of_key;
  std::string label;
  for (std::ptrdiff_t i = 0; i < values.rows; ++i) {
    std::uint32_t& id = id_of_key[read_key(i)];
    if (id == IdOfBits::kNone) {
      cluster_label(values, i, label);
      id = id_of_label.try_emplace(label, static_cast<std::uint32_t>(id_of_label.size())).first->second;
    }
    clusters.of_row[static_cast<std::size_t>(i)] = id;
  }
  clusters.count = id_of_label.size();
  return clusters;
}

// The map of keys of several columns, whose ids start as IdOfBits::kNone too.
struct IdOfText : std::unordered_map<std::string, std::uint32_t> {
  std::uint32_t& operator[](std::string key) { return try_emplace(std::move(key), IdOfBits::kNone).first->second; }
};

}  // namespace

Clusters combine_cluster_keys(const core::MatrixView& values) {
  if (values.cols == 1) {
    return group_rows<IdOfBits>(values, [&](std::ptrdiff_t i) { return std::bit_cast<std::uint64_t>(values(i, 0)); });
  }
  return group_rows<IdOfText>(values, [&](std::ptrdiff_t i) {
    std::string bits(static_cast<std::size_t>(values.cols) * sizeof(double), '\0');
    for (std::ptrdiff_t j = 0; j < values.cols; ++j) {
      const double v = values(i, j);
      std::memcpy(bits.data() + j * std::ptrdiff_t{sizeof(double)}, &v, sizeof v);
    }
    return bits;
  });
}

}  // namespace quorbis::core::probit
