// The few services of the operating system that the core needs, behind one portable interface.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorbis::core {

// Writes straight to the standard error stream of the process (file descriptor 2), bypassing any
// buffering of the host language; a failure to write is ignored.
void write_stderr(std::string_view text) noexcept;

// `bytes` bytes (a multiple of `alignment`, a power of two) aligned to `alignment`, or null. Release
// with aligned_free, never with free.
void* aligned_allocate(std::size_t alignment, std::size_t bytes) noexcept;
void aligned_free(void* p) noexcept;

// Asks for large pages to back [data, data + bytes) where the system offers that; only advice.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace quorbis::core
