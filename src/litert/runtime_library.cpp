#include "litert/runtime_library.hpp"

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "base/text.hpp"
#include "system/dynamic_library.hpp"
#include "system/files.hpp"

namespace kinra2::litert {

namespace {

// Every function of the library the host calls, resolved once at load.
#define K2_LITERT_FUNCTIONS(X)                                                                       \
  X(TfLiteVersion) X(TfLiteModelCreate) X(TfLiteModelCreateFromFile) X(TfLiteModelDelete)            \
  X(TfLiteInterpreterOptionsCreate) X(TfLiteInterpreterOptionsDelete)                                \
  X(TfLiteInterpreterOptionsSetNumThreads) X(TfLiteInterpreterOptionsAddDelegate)                    \
  X(TfLiteInterpreterOptionsSetErrorReporter) X(TfLiteInterpreterCreate) X(TfLiteInterpreterDelete)  \
  X(TfLiteInterpreterGetInputTensorCount) X(TfLiteInterpreterGetInputTensor)                         \
  X(TfLiteInterpreterResizeInputTensor) X(TfLiteInterpreterAllocateTensors)                          \
  X(TfLiteInterpreterInvoke) X(TfLiteInterpreterGetOutputTensorCount)                                \
  X(TfLiteInterpreterGetOutputTensor) X(TfLiteTensorType) X(TfLiteTensorNumDims) X(TfLiteTensorDim) \
  X(TfLiteTensorByteSize) X(TfLiteTensorData) X(TfLiteTensorName) X(TfLiteTensorQuantizationParams)  \
  X(TfLiteTensorCopyFromBuffer) X(TfLiteTensorCopyToBuffer) X(TfLiteXNNPackDelegateOptionsDefault)   \
  X(TfLiteXNNPackDelegateCreate) X(TfLiteXNNPackDelegateDelete) X(TfLiteInterpreterOptionsAddBuiltinOp)

#define K2_ENUM(name) name,
enum Fn { K2_LITERT_FUNCTIONS(K2_ENUM) FN_COUNT };
#undef K2_ENUM
#define K2_NAME(name) #name,
constexpr const char* FN_NAMES[FN_COUNT] = {K2_LITERT_FUNCTIONS(K2_NAME)};
#undef K2_NAME

struct Loaded {
  std::unique_ptr<system::DynamicLibrary> library;
  std::string path;
  void* fns[FN_COUNT] = {};
};

// The process's one loaded runtime. Never unloaded: interpreters and the
// threads they start may outlive any owner we could give it.
std::mutex g_load_lock;
std::atomic<const Loaded*> g_loaded{nullptr};
std::optional<std::string> g_host_dir;  // guarded by g_load_lock

std::string fix_for(const std::string& missing) {
  const std::string lower = base::setting_word(missing);
  if (lower.rfind("msvcp", 0) == 0 || lower.rfind("vcruntime", 0) == 0 || lower.rfind("concrt", 0) == 0) {
    return "install the Microsoft Visual C++ 2015-2022 x64 redistributable (vc_redist.x64.exe from Microsoft)";
  }
  return "install it or put it beside " + runtime_library_file();
}

std::string failure(const std::string& what) {
  return "cannot load the LiteRT runtime: " + what;
}

// Loads `path` (a full path, or a bare name for the platform's search) and
// resolves every function; the one-line reason when that fails.
// `looked_in` lists the folders already searched when `path` is a bare name.
std::optional<std::string> try_load(const std::string& path, const std::string& looked_in) {
  std::string why;
  auto lib = system::DynamicLibrary::open(path, why);
  if (!lib) {
    if (!looked_in.empty()) {
      return failure(runtime_library_file() + " is neither in " + looked_in + " nor on the library path (" + why +
                     "); it comes with the host: unpack the whole release again");
    }
    const std::string missing = system::missing_dependency(path);
    if (!missing.empty()) {
      const bool several = missing.find(", ") != std::string::npos;
      return failure(missing + " (needed by " + path + ") " + (several ? "are" : "is") + " missing; " +
                     fix_for(missing));
    }
    return failure(why);
  }
  auto loaded = std::make_unique<Loaded>();
  for (int i = 0; i < FN_COUNT; ++i) {
    loaded->fns[i] = lib->symbol(FN_NAMES[i]);
    if (!loaded->fns[i]) {
      return failure(path + " does not export " + FN_NAMES[i] +
                     ": it is not the TensorFlow Lite 2.9 C library the host was built for");
    }
  }
  loaded->library = std::move(lib);
  loaded->path = path;
  g_loaded.store(loaded.release(), std::memory_order_release);
  return std::nullopt;
}

const Loaded& loaded() {
  const Loaded* l = g_loaded.load(std::memory_order_acquire);
  if (l) return *l;
  require_runtime();
  return *g_loaded.load(std::memory_order_acquire);
}

template <Fn F>
void* fn() {
  return loaded().fns[F];
}

}  // namespace

std::string runtime_library_file() {
  return system::shared_library_file("tensorflowlite_c");
}

void set_host_dir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_load_lock);
  g_host_dir = dir;
}

std::string host_dir() {
  std::lock_guard<std::mutex> lock(g_load_lock);
  return g_host_dir ? *g_host_dir : system::program_dir();
}

void require_runtime() {
  if (g_loaded.load(std::memory_order_acquire)) return;
  if (auto why = load_runtime({host_dir()})) throw RuntimeUnavailable(*why);
}

std::optional<std::string> load_runtime(const std::vector<std::string>& dirs) {
  std::lock_guard<std::mutex> lock(g_load_lock);
  // Once loaded, never searched for again: interpreters already hold the
  // library's functions, and a second copy would not share its state.
  if (g_loaded.load(std::memory_order_acquire)) return std::nullopt;
  const std::string file = runtime_library_file();
  std::string looked_in;
  for (const std::string& dir : dirs) {
    const std::string path = system::join_path(dir, file);
    if (system::path_kind(path) == system::PathKind::regular) return try_load(path, {});
    looked_in += (looked_in.empty() ? "" : " or ") + dir;
  }
  // The build tree's programs and a system-wide install find it by name.
  return try_load(file, looked_in.empty() ? "the host's folder" : looked_in);
}

std::string runtime_path() {
  const Loaded* l = g_loaded.load(std::memory_order_acquire);
  return l ? l->path : std::string();
}

}  // namespace kinra2::litert

// The C API, forwarded to the loaded library.
using kinra2::litert::Fn;
#define K2_CALL(name) reinterpret_cast<decltype(&::name)>(kinra2::litert::fn<Fn::name>())

extern "C" {

const char* TfLiteVersion(void) { return K2_CALL(TfLiteVersion)(); }
TfLiteModel* TfLiteModelCreate(const void* data, size_t size) { return K2_CALL(TfLiteModelCreate)(data, size); }
TfLiteModel* TfLiteModelCreateFromFile(const char* path) { return K2_CALL(TfLiteModelCreateFromFile)(path); }
void TfLiteModelDelete(TfLiteModel* m) { K2_CALL(TfLiteModelDelete)(m); }
TfLiteInterpreterOptions* TfLiteInterpreterOptionsCreate() { return K2_CALL(TfLiteInterpreterOptionsCreate)(); }
void TfLiteInterpreterOptionsDelete(TfLiteInterpreterOptions* o) { K2_CALL(TfLiteInterpreterOptionsDelete)(o); }
void TfLiteInterpreterOptionsSetNumThreads(TfLiteInterpreterOptions* o, int32_t n) {
  K2_CALL(TfLiteInterpreterOptionsSetNumThreads)(o, n);
}
void TfLiteInterpreterOptionsAddDelegate(TfLiteInterpreterOptions* o, TfLiteDelegate* d) {
  K2_CALL(TfLiteInterpreterOptionsAddDelegate)(o, d);
}
void TfLiteInterpreterOptionsSetErrorReporter(TfLiteInterpreterOptions* o,
                                              void (*reporter)(void*, const char*, va_list), void* user) {
  K2_CALL(TfLiteInterpreterOptionsSetErrorReporter)(o, reporter, user);
}
TfLiteInterpreter* TfLiteInterpreterCreate(const TfLiteModel* m, const TfLiteInterpreterOptions* o) {
  return K2_CALL(TfLiteInterpreterCreate)(m, o);
}
void TfLiteInterpreterDelete(TfLiteInterpreter* i) { K2_CALL(TfLiteInterpreterDelete)(i); }
int32_t TfLiteInterpreterGetInputTensorCount(const TfLiteInterpreter* i) {
  return K2_CALL(TfLiteInterpreterGetInputTensorCount)(i);
}
TfLiteTensor* TfLiteInterpreterGetInputTensor(const TfLiteInterpreter* i, int32_t k) {
  return K2_CALL(TfLiteInterpreterGetInputTensor)(i, k);
}
TfLiteStatus TfLiteInterpreterResizeInputTensor(TfLiteInterpreter* i, int32_t k, const int* dims, int32_t n) {
  return K2_CALL(TfLiteInterpreterResizeInputTensor)(i, k, dims, n);
}
TfLiteStatus TfLiteInterpreterAllocateTensors(TfLiteInterpreter* i) {
  return K2_CALL(TfLiteInterpreterAllocateTensors)(i);
}
TfLiteStatus TfLiteInterpreterInvoke(TfLiteInterpreter* i) { return K2_CALL(TfLiteInterpreterInvoke)(i); }
int32_t TfLiteInterpreterGetOutputTensorCount(const TfLiteInterpreter* i) {
  return K2_CALL(TfLiteInterpreterGetOutputTensorCount)(i);
}
const TfLiteTensor* TfLiteInterpreterGetOutputTensor(const TfLiteInterpreter* i, int32_t k) {
  return K2_CALL(TfLiteInterpreterGetOutputTensor)(i, k);
}
TfLiteType TfLiteTensorType(const TfLiteTensor* t) { return K2_CALL(TfLiteTensorType)(t); }
int32_t TfLiteTensorNumDims(const TfLiteTensor* t) { return K2_CALL(TfLiteTensorNumDims)(t); }
int32_t TfLiteTensorDim(const TfLiteTensor* t, int32_t d) { return K2_CALL(TfLiteTensorDim)(t, d); }
size_t TfLiteTensorByteSize(const TfLiteTensor* t) { return K2_CALL(TfLiteTensorByteSize)(t); }
void* TfLiteTensorData(const TfLiteTensor* t) { return K2_CALL(TfLiteTensorData)(t); }
const char* TfLiteTensorName(const TfLiteTensor* t) { return K2_CALL(TfLiteTensorName)(t); }
TfLiteQuantizationParams TfLiteTensorQuantizationParams(const TfLiteTensor* t) {
  return K2_CALL(TfLiteTensorQuantizationParams)(t);
}
TfLiteStatus TfLiteTensorCopyFromBuffer(TfLiteTensor* t, const void* data, size_t n) {
  return K2_CALL(TfLiteTensorCopyFromBuffer)(t, data, n);
}
TfLiteStatus TfLiteTensorCopyToBuffer(const TfLiteTensor* t, void* data, size_t n) {
  return K2_CALL(TfLiteTensorCopyToBuffer)(t, data, n);
}
TfLiteXNNPackDelegateOptions TfLiteXNNPackDelegateOptionsDefault() {
  return K2_CALL(TfLiteXNNPackDelegateOptionsDefault)();
}
TfLiteDelegate* TfLiteXNNPackDelegateCreate(const TfLiteXNNPackDelegateOptions* o) {
  return K2_CALL(TfLiteXNNPackDelegateCreate)(o);
}
void TfLiteXNNPackDelegateDelete(TfLiteDelegate* d) { K2_CALL(TfLiteXNNPackDelegateDelete)(d); }
void TfLiteInterpreterOptionsAddBuiltinOp(TfLiteInterpreterOptions* o, int32_t op, const TfLiteRegistration* r,
                                          int32_t min_version, int32_t max_version) {
  K2_CALL(TfLiteInterpreterOptionsAddBuiltinOp)(o, op, r, min_version, max_version);
}

}  // extern "C"
