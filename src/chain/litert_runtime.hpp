// A thin layer over the TensorFlow Lite C library that gives it what its C
// interface lacks: the signatures of a multi-signature model file, each with a
// runner that takes and returns tensors by name.
//
// The C library only ever runs a model's primary subgraph. Each signature is
// therefore given its own view of the file: a small flatbuffer prefix written
// in front of the file's bytes whose root Model reuses everything of the
// original except the subgraph list, where the signature's entry subgraph
// becomes subgraph 0 and the other signatures' entries are replaced by one
// empty subgraph (so the XNNPACK delegate does not pack their weights too).
// The file's bytes are held once, however many signatures it has.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tensorflow/lite/c/c_api.h>
#include <tensorflow/lite/c/common.h>

#include "system/cpu_identity.hpp"

namespace kinra2::chain {

namespace detail {
struct ModelBytes;
}

// Current name, type and shape of one runner input.
struct TensorInfo {
  std::string name;
  TfLiteType type = kTfLiteNoType;
  std::vector<int> shape;
};

// Borrowed view of a runtime tensor; valid until the runner's next call.
struct TensorRef {
  TfLiteType type = kTfLiteNoType;
  std::vector<int> shape;
  const void* data = nullptr;
  std::size_t nbytes = 0;
};

// One named input of an invocation; `shape` is adopted when it differs from
// the input's current shape.
struct InputArg {
  std::string_view name;
  TfLiteType type;
  std::span<const int> shape;
  const void* data;
  std::size_t nbytes;
};

// Option flags of the shipped XNNPACK delegate that switch on its signed and
// unsigned 8-bit operators; the library's default options leave both off.
inline constexpr std::uint32_t XNNPACK_FLAG_QS8 = 1;
inline constexpr std::uint32_t XNNPACK_FLAG_QU8 = 2;

const char* type_name(TfLiteType t);
std::size_t type_size(TfLiteType t);  // 0 for types without a fixed element size

// Runner of one signature. Its interpreter is created on first use (or by
// load()), so signatures nobody runs cost no interpreter. Not thread-safe.
class SignatureRunner {
 public:
  ~SignatureRunner();
  SignatureRunner(const SignatureRunner&) = delete;
  SignatureRunner& operator=(const SignatureRunner&) = delete;

  const std::string& key() const { return key_; }
  const std::string& path() const { return path_; }
  // Names in the order the signature definition lists them.
  const std::vector<std::string>& input_names() const { return in_names_; }
  const std::vector<std::string>& output_names() const { return out_names_; }

  // Creates the interpreter and allocates its tensors, if not done yet.
  void load();
  bool loaded() const { return interp_ != nullptr; }
  // Whether the loaded interpreter runs on XNNPACK. A signature that meets a
  // known XNNPACK fault on this processor runs on the built-in kernels; the
  // reason is logged when its interpreter is created.
  bool uses_xnnpack() const { return xnnpack_ != nullptr; }
  const std::string& xnnpack_off_reason() const { return no_xnnpack_; }
  // The 8-bit option flags the delegate was created with (XNNPACK_FLAG_QS8,
  // XNNPACK_FLAG_QU8; 0 for a float signature or without the delegate).
  std::uint32_t xnnpack_flags() const { return xnnpack_ ? xnnpack_flags_ : 0; }
  // How the loaded interpreter's operators were placed: how many the delegate
  // took, in how many partitions, and which run on built-in kernels. Empty
  // when the signature runs without XNNPACK.
  struct NodePlacement {
    int xnnpack = 0, partitions = 0, builtin = 0;
    std::vector<int> builtin_ops;  // operator codes of the built-in nodes
  };
  NodePlacement placement() const;

  std::vector<TensorInfo> input_details();
  // Bytes its computed tensors take at their declared shapes, all summed:
  // about what allocating its interpreter costs, before it is built.
  std::uint64_t tensor_bytes() const { return tensor_bytes_; }

  // Resizes (where the shape differs) and allocates, then copies each input.
  // Every input of the signature must be given, each once
  // (std::invalid_argument otherwise).
  void set_inputs(std::span<const InputArg> inputs);
  // For a runner with a single input to be filled in place: adopts `shape`
  // and returns the input's writable memory of exactly `nbytes` bytes. The
  // pointer stays valid until the next resize of this runner.
  void* input_buffer(std::string_view name, TfLiteType type, std::span<const int> shape,
                     std::size_t nbytes);
  void invoke();
  TensorRef output(std::string_view name) const;

 private:
  friend class LitertModel;
  SignatureRunner() = default;
  int input_pos(std::string_view name) const;
  void require_all_inputs(std::span<const std::string_view> given) const;
  TfLiteTensor* prepare(int pos, TfLiteType type, std::span<const int> shape, bool& resized);
  void allocate();
  enum class Created { Ok, NoInterpreter, NoTensors, NoMemory };
  Created create_interpreter(std::uint32_t flags);
  [[noreturn]] void fail(const std::string& what);
  // "signature 'enc' of '…'", for the line of a fault inside the runtime.
  const char* fault_subject();

  std::shared_ptr<const detail::ModelBytes> bytes_;
  const std::uint8_t* view_ = nullptr;  // this signature's prefix, the file behind it
  std::size_t view_size_ = 0;
  std::string key_, path_;
  int threads_ = 1;
  std::vector<std::string> in_names_, out_names_;
  std::vector<int> in_pos_, out_pos_;  // positions in the entry subgraph's inputs/outputs
  TfLiteModel* model_ = nullptr;
  TfLiteDelegate* xnnpack_ = nullptr;
  TfLiteInterpreter* interp_ = nullptr;
  bool needs_alloc_ = false;
  bool invoked_ = false;
  std::string no_xnnpack_;  // why XNNPACK stays off, empty when it is used
  std::uint32_t xnnpack_flags_ = 0;
  std::string largest_tensor_;  // named when its tensors cannot be allocated
  std::uint64_t largest_bytes_ = 0;
  std::uint64_t tensor_bytes_ = 0;
  [[noreturn]] void out_of_memory(const std::string& what);
  // A delegate that takes nothing: applied after XNNPACK, it counts what
  // XNNPACK took, which the C interface does not tell.
  TfLiteDelegate tally_{};
  // Per subgraph the runtime delegated (it hands each one to every delegate,
  // and again after undoing them), the placement it last reported.
  std::vector<std::pair<const TfLiteContext*, NodePlacement>> placements_;
  static TfLiteStatus tally_nodes(TfLiteContext* context, TfLiteDelegate* self);
  std::string errors_;  // what the runtime reported since the last call, one line
  std::string fault_subject_;
  static void collect_error(void* self, const char* fmt, va_list args);
};

// One model file, verified and mapped once, with a runner per signature.
class LitertModel {
 public:
  enum class Load {
    Map,   // map the file read-only: unused weights never become resident
    Read,  // read it into memory once (for files that cannot be mapped)
  };
  // Throws std::runtime_error naming the file when it cannot be read, is not
  // a valid model, or its primary subgraph is not the entry of a signature.
  // A valid model without signature definitions loads with no keys.
  // `cpu` is the processor whose XNNPACK faults are avoided (this one unless
  // a test says otherwise). Quantised 8-bit operators run on XNNPACK
  // (Int8Kernels::Xnnpack) unless the benchmarks ask for the built-in ones.
  enum class Int8Kernels { Xnnpack, Builtin };
  LitertModel(const std::string& path, int threads, Load how = Load::Map,
              const system::CpuIdentity& cpu = system::this_cpu(),
              Int8Kernels int8_kernels = Int8Kernels::Xnnpack);
  ~LitertModel();

  const std::string& path() const { return path_; }
  // Signature keys in file order.
  const std::vector<std::string>& signature_keys() const { return keys_; }
  // A new runner for `key` (std::out_of_range when the file lacks it). Every
  // call yields a runner of its own, with its own interpreter once loaded.
  std::shared_ptr<SignatureRunner> runner(std::string_view key) const;

 private:
  struct Signature;
  std::string path_;
  int threads_;
  std::shared_ptr<detail::ModelBytes> bytes_;
  std::vector<std::string> keys_;
  std::vector<Signature> signatures_;
};

}  // namespace kinra2::chain
