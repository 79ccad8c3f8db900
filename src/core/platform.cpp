#include "core/platform.hpp"

#include <cerrno>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <malloc.h>
#else
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorbis::core {

void write_stderr(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
#if defined(_WIN32)
    const int written = _write(2, p, static_cast<unsigned>(left < 0x40000000 ? left : 0x40000000));
#else
    const auto written = ::write(2, p, left);
#endif
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    p += written;
    left -= static_cast<std::size_t>(written);
  }
}

void* aligned_allocate(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(_WIN32)
  return _aligned_malloc(bytes, alignment);
#else
  return std::aligned_alloc(alignment, bytes);
#endif
}

void aligned_free(void* p) noexcept {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(data, bytes, MADV_HUGEPAGE);
#endif
}

}  // namespace quorbis::core
