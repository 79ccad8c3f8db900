// The error messages that the Python layer raises too, each written once as a template whose {field}s
// two readers fill: format() here, and Python's str.format there (the module exports them as
// _MESSAGES), so that an error reads the same whichever side raises it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace quorbis::python {

struct Message {
  const char* name;  // its key in _MESSAGES
  const char* text;  // the template
};

inline constexpr Message kEndogDimensions{"endog_ndim", "endog must be shape (nobs,) or (nobs,1). got ndim={ndim}"};
inline constexpr Message kEndogColumns{"endog_columns",
                                       "endog must be shape (nobs,) or (nobs,1). got=({rows},Some({cols}))"};
inline constexpr Message kExogRows{"exog_rows", "exog has {rows} rows, fewer than nobs={nobs}"};
inline constexpr Message kClusterRows{"cluster_rows", "cluster mismatch: got {rows} rows, nobs={nobs}"};
inline constexpr Message kNotAnArray{"not_an_array", "'{type}' object cannot be converted to 'PyArray<T, D>'"};
inline constexpr Message kCannotConvert{"cannot_convert", "'{type}' object cannot be converted to '{target}'"};
inline constexpr Message kDimensionMismatch{"dimensionality_mismatch", "dimensionality mismatch:\n from={ndim}, to=2"};
inline constexpr Message kTypeMismatch{"type_mismatch", "type mismatch:\n from={dtype}, to=float64"};
inline constexpr Message kArgument{"argument", "argument '{name}': {message}"};
inline constexpr Message kChunkSize{"chunk_size", "chunk_size must be at least 1"};
inline constexpr Message kThreadCount{"thread_count", "n must be from 1 to {max_threads}"};
inline constexpr Message kProbabilityClassical{
    "probability_classical",
    "probability weights need a robust covariance: the classical one, the inverse of the weighted Hessian, "
    "treats the weighted rows as if they were the population, which sampling weights do not make them; leave "
    "robust at its default (the sandwich), or cluster"};

// Not an error: the line the raw fits write on standard error when the Hessian has no inverse.
inline constexpr Message kHessianSingular{"hessian_singular", "Hessian singular => NaN for Cov\n"};

inline constexpr Message kMessages[] = {
    kEndogDimensions, kEndogColumns, kExogRows, kClusterRows, kNotAnArray, kCannotConvert,
    kDimensionMismatch, kTypeMismatch, kArgument, kChunkSize, kThreadCount, kProbabilityClassical,
    kHessianSingular,
};

using Field = std::pair<std::string_view, std::string_view>;

// The template with each {field} replaced by its value and {{ and }} by single braces, as str.format
// does; a field without a value is an internal fault.
std::string format(const Message& message, std::initializer_list<Field> fields);

}  // namespace quorbis::python
