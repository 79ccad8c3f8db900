#include "ame/ame.hpp"

#include "lib/error.hpp"

namespace quorbis::ame {

lib::Ref ame(PyObject*, std::optional<std::uint64_t>) {
  lib::raise(PyExc_NotImplementedError, "ame is not built yet");
}

}  // namespace quorbis::ame
