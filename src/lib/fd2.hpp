// Writes straight to file descriptor 2, bypassing Python's sys.stderr.
#pragma once

#include <string_view>

namespace quorbis::lib {

void write_fd2(std::string_view text) noexcept;

}  // namespace quorbis::lib
