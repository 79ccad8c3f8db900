// QUORBIS_FLATTEN before a function asks the compiler to inline every call inside it: the block loops
// of the kernels are fast only when the whole kernel is one body that keeps its lanes in registers.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUORBIS_FLATTEN [[gnu::flatten]]
#elif defined(_MSC_VER)
#define QUORBIS_FLATTEN [[msvc::flatten]]
#else
#define QUORBIS_FLATTEN
#endif
