// An owned, 64-byte aligned array of doubles: working memory that can later become a NumPy array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "core/platform.hpp"

namespace quorbis::core {

class Buffer {
 public:
  Buffer() noexcept = default;
  // Uninitialised storage for n doubles; throws std::bad_alloc.
  explicit Buffer(std::size_t n) : size_(n) {
    if (n > (SIZE_MAX - kHugePage) / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(double);
    const std::size_t align = bytes >= kHugeFrom ? kHugePage : kAlign;
    const std::size_t rounded = (bytes + align - 1) / align * align;
    data_ = static_cast<double*>(aligned_allocate(align, rounded == 0 ? align : rounded));
    if (data_ == nullptr) throw std::bad_alloc();
    if (align == kHugePage) advise_huge_pages(data_, rounded);
  }
  // Storage for a rows x cols matrix; a size that would wrap around throws std::bad_alloc.
  static Buffer matrix(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > SIZE_MAX / cols) throw std::bad_alloc();
    return Buffer(rows * cols);
  }

  Buffer(Buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      aligned_free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { aligned_free(data_); }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }
  // Gives up ownership; the caller frees with aligned_free.
  [[nodiscard]] double* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  static constexpr std::size_t kAlign = 64;
  // Large buffers are filled once and then streamed many times: backing them with 2 MiB pages where the
  // system allows it saves most of the cost of first touching them, as NumPy does for its large arrays.
  static constexpr std::size_t kHugePage = std::size_t{1} << 21;
  static constexpr std::size_t kHugeFrom = std::size_t{1} << 22;

  double* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quorbis::core
