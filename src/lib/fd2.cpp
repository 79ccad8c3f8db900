#include "lib/fd2.hpp"

#include <unistd.h>

#include <cerrno>

namespace quorbis::lib {

void write_fd2(std::string_view text) noexcept {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(2, p, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    p += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace quorbis::lib
