// The LiteRT (TensorFlow Lite) C library, loaded by the host itself rather
// than by the system loader when the program starts. A program linked against
// it directly dies before main when it or one of its own dependencies is
// missing (on Windows the C++ runtime it was built with), with nothing on
// either stream; loaded here, the host says which file is missing and how to
// get it, and exits with its usual error status.
//
// It is loaded when first needed, which is when the model chain is built:
// until then a run reads its bundle and colour correction and says what it
// found, also where the runtime is missing.
//
// Every C API function the host calls is defined by this layer with the
// library's own signature (tensorflow/lite/c/c_api.h) and forwards to the
// loaded library, so callers use the C API as usual. The first call loads the
// library as `require_runtime` does, and throws RuntimeUnavailable when it
// cannot.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

// From the experimental C API, whose header the library does not ship either:
// registers `registration` as the kernel of builtin operator `op` (the
// format's code) for versions `min_version` to `max_version`, in place of the
// runtime's own.
void TfLiteInterpreterOptionsAddBuiltinOp(TfLiteInterpreterOptions* options, int32_t op,
                                          const TfLiteRegistration* registration,
                                          int32_t min_version, int32_t max_version);
}

namespace kinra2::litert {

// Which build of the library the host ships, as a PEP 440 local label: the
// package its prebuilt libraries come from (scripts/lib.sh pins it). Two
// builds of one version need not compute the same, so the version alone does
// not name the runtime a model was checked on.
inline constexpr std::string_view RUNTIME_BUILD = "tfjs.tflite.node.0.0.2";

// The library's file name on this platform (libtensorflowlite_c.so,
// tensorflowlite_c.dll).
std::string runtime_library_file();

// The library could not be loaded. what() is the one line that says what is
// missing and what to do about it: "cannot load the LiteRT runtime: ...".
struct RuntimeUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The host's own folder, searched for the library before anything else (a
// host loaded as a module keeps it beside the module, not beside the
// interpreter). Loads nothing. Until it is set, the program's own folder.
void set_host_dir(const std::string& dir);
// That folder, where a release also keeps the other libraries it ships.
std::string host_dir();

// Loads the library, if that has not been done yet, from the host's folder or
// through the platform's own search; throws RuntimeUnavailable when it cannot.
void require_runtime();

// Loads the library once per process: from the first of `dirs` that holds
// it, else through the platform's own search (the program's run path, the
// system's library path). Nothing when it is loaded, else the line of
// RuntimeUnavailable. Safe to call again: once loaded it stays loaded and is
// never looked for again, and a failed attempt may be retried.
std::optional<std::string> load_runtime(const std::vector<std::string>& dirs);

// Where the loaded library came from (empty before it is loaded).
std::string runtime_path();

}  // namespace kinra2::litert
