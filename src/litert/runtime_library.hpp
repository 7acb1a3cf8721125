// The LiteRT (TensorFlow Lite) C library, loaded by the host itself rather
// than by the system loader when the program starts. A program linked against
// it directly dies before main when it or one of its own dependencies is
// missing (on Windows the C++ runtime it was built with), with nothing on
// either stream; loaded here, the host says which file is missing and how to
// get it, and exits with its usual error status.
//
// Every C API function the host calls is defined by this layer with the
// library's own signature (tensorflow/lite/c/c_api.h) and forwards to the
// loaded library, so callers use the C API as usual. The first call loads the
// library from the program's folder if `load_runtime` has not already done so,
// and throws std::runtime_error with the same line when it cannot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tensorflow/lite/c/c_api.h>
#include <tensorflow/lite/c/common.h>

// The library exports the XNNPACK delegate but ships no header for it; this is
// its option block as the 2.9 runtime defines it.
extern "C" {
struct TfLiteXNNPackDelegateOptions {
  std::int32_t num_threads;
  std::uint32_t flags;
};
TfLiteXNNPackDelegateOptions TfLiteXNNPackDelegateOptionsDefault();
TfLiteDelegate* TfLiteXNNPackDelegateCreate(const TfLiteXNNPackDelegateOptions* options);
void TfLiteXNNPackDelegateDelete(TfLiteDelegate* delegate);
}

namespace kinra2::litert {

// The library's file name on this platform (libtensorflowlite_c.so,
// tensorflowlite_c.dll).
std::string runtime_library_file();

// Loads the library once per process: from the first of `dirs` that holds
// it, else through the platform's own search (the program's run path, the
// system's library path). Nothing when it is loaded, else the one line that
// says what is missing and what to do about it. Safe to call again: once
// loaded it stays loaded, and a failed attempt may be retried.
std::optional<std::string> load_runtime(const std::vector<std::string>& dirs);

// Where the loaded library came from (empty before it is loaded).
std::string runtime_path();

}  // namespace kinra2::litert
