// GATHER_ND and SCATTER_ND kernels of the host's own, registered with every
// interpreter in place of the runtime's.
//
// The shipped runtime's kernels of these two operators take every index as
// given: an index past the end of a dimension reads or writes outside the
// tensor. Constant indices are checked when the model is admitted; indices
// computed at run time can only be checked while the operator runs. These
// kernels compute exactly what the runtime's do (the same bytes, element for
// element, in the same order) and fail the invocation, naming the index, when
// one lies outside its tensor.
#pragma once

#include <tensorflow/lite/c/c_api.h>

namespace kinra2::chain {

// Registers both kernels with `options` for every version of the operators
// the runtime itself offers.
void add_checked_kernels(TfLiteInterpreterOptions* options);

}  // namespace kinra2::chain
