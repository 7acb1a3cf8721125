#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "base/shape_text.hpp"
#include "base/text.hpp"
#include "chain/checked_kernels.hpp"
#include "chain/invoke_watchdog.hpp"
#include "chain/litert_runtime.hpp"
#include "chain/model_bytes_internal.hpp"
#include "chain/stderr_capture.hpp"
#include "litert/runtime_library.hpp"
#include "system/fatal_signal.hpp"

namespace kinra2::chain {

const char* type_name(TfLiteType t) {
  switch (t) {
    case kTfLiteFloat32: return "float32";
    case kTfLiteInt32: return "int32";
    case kTfLiteUInt8: return "uint8";
    case kTfLiteInt64: return "int64";
    case kTfLiteString: return "string";
    case kTfLiteBool: return "bool";
    case kTfLiteInt16: return "int16";
    case kTfLiteComplex64: return "complex64";
    case kTfLiteInt8: return "int8";
    case kTfLiteFloat16: return "float16";
    case kTfLiteFloat64: return "float64";
    case kTfLiteComplex128: return "complex128";
    case kTfLiteUInt64: return "uint64";
    case kTfLiteResource: return "resource";
    case kTfLiteVariant: return "variant";
    case kTfLiteUInt32: return "uint32";
    default: return "notype";
  }
}

std::size_t type_size(TfLiteType t) {
  switch (t) {
    case kTfLiteUInt8:
    case kTfLiteInt8:
    case kTfLiteBool: return 1;
    case kTfLiteInt16:
    case kTfLiteFloat16: return 2;
    case kTfLiteFloat32:
    case kTfLiteInt32:
    case kTfLiteUInt32: return 4;
    case kTfLiteInt64:
    case kTfLiteUInt64:
    case kTfLiteFloat64:
    case kTfLiteComplex64: return 8;
    case kTfLiteComplex128: return 16;
    default: return 0;
  }
}

namespace {

void runtime_log(std::string_view line) {
  base::elog("LiteRT: " + std::string(line));
}

std::vector<int> dims_of(const TfLiteTensor* t) {
  std::vector<int> d(static_cast<std::size_t>(TfLiteTensorNumDims(t)));
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = TfLiteTensorDim(t, static_cast<int32_t>(i));
  return d;
}

}  // namespace

SignatureRunner::~SignatureRunner() {
  if (interp_) TfLiteInterpreterDelete(interp_);
  if (xnnpack_) TfLiteXNNPackDelegateDelete(xnnpack_);
  if (model_) TfLiteModelDelete(model_);
}

void SignatureRunner::collect_error(void* self, const char* fmt, va_list args) {
  auto* r = static_cast<SignatureRunner*>(self);
  char buf[1024];
  va_list copy;
  va_copy(copy, args);
  const int len = std::vsnprintf(buf, sizeof buf, fmt, copy);
  va_end(copy);
  if (len < 0) return;
  std::string msg;
  if (static_cast<std::size_t>(len) < sizeof buf) {
    msg.assign(buf, static_cast<std::size_t>(len));
  } else {
    msg.resize(static_cast<std::size_t>(len) + 1);
    std::vsnprintf(msg.data(), msg.size(), fmt, args);
    msg.resize(static_cast<std::size_t>(len));
  }
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
  if (msg.empty()) return;
  // Kept as one line: it ends up in one error line.
  std::replace(msg.begin(), msg.end(), '\n', ' ');
  if (!r->errors_.empty()) r->errors_ += "; ";
  r->errors_ += msg;
}

const char* SignatureRunner::fault_subject() {
  if (fault_subject_.empty()) fault_subject_ = "signature '" + key_ + "' of " + base::quoted(path_);
  return fault_subject_.c_str();
}

void SignatureRunner::fail(const std::string& what) {
  std::string msg = errors_.empty() ? what : what + ": " + errors_;
  errors_.clear();
  throw std::runtime_error(msg);
}

void SignatureRunner::out_of_memory(const std::string& what) {
  errors_.clear();
  throw std::runtime_error(what + ": out of memory; its largest tensor '" + largest_tensor_ +
                           "' asks for " + std::to_string(largest_bytes_) + " bytes");
}

TfLiteStatus SignatureRunner::tally_nodes(TfLiteContext* context, TfLiteDelegate* self) {
  auto* r = static_cast<SignatureRunner*>(self->data_);
  auto it = std::find_if(r->placements_.begin(), r->placements_.end(),
                         [&](const auto& p) { return p.first == context; });
  if (it == r->placements_.end()) it = r->placements_.insert(r->placements_.end(), {context, {}});
  NodePlacement& n = it->second;
  n = {};
  TfLiteIntArray* plan = nullptr;
  if (context->GetExecutionPlan(context, &plan) != kTfLiteOk || plan == nullptr) return kTfLiteOk;
  for (int i = 0; i < plan->size; ++i) {
    TfLiteNode* node = nullptr;
    TfLiteRegistration* reg = nullptr;
    if (context->GetNodeAndRegistration(context, plan->data[i], &node, &reg) != kTfLiteOk ||
        node == nullptr)
      continue;
    if (node->delegate == nullptr) {
      ++n.builtin;
      n.builtin_ops.push_back(reg != nullptr ? reg->builtin_code : -1);
      continue;
    }
    // A delegate's node carries the parameters it was created with.
    const auto* params = static_cast<const TfLiteDelegateParams*>(node->builtin_data);
    ++n.partitions;
    if (params != nullptr && params->nodes_to_replace != nullptr)
      n.xnnpack += params->nodes_to_replace->size;
  }
  return kTfLiteOk;
}

SignatureRunner::NodePlacement SignatureRunner::placement() const {
  NodePlacement sum;
  for (const auto& [context, p] : placements_) {
    sum.xnnpack += p.xnnpack;
    sum.partitions += p.partitions;
    sum.builtin += p.builtin;
    sum.builtin_ops.insert(sum.builtin_ops.end(), p.builtin_ops.begin(), p.builtin_ops.end());
  }
  return sum;
}

SignatureRunner::Created SignatureRunner::create_interpreter(std::uint32_t flags) {
  TfLiteInterpreterOptions* opts = TfLiteInterpreterOptionsCreate();
  if (opts == nullptr) throw std::bad_alloc();
  TfLiteInterpreterOptionsSetNumThreads(opts, threads_);
  TfLiteInterpreterOptionsSetErrorReporter(opts, &SignatureRunner::collect_error, this);
  add_checked_kernels(opts);
  placements_.clear();
  if (no_xnnpack_.empty()) {
    TfLiteXNNPackDelegateOptions xo = TfLiteXNNPackDelegateOptionsDefault();
    xo.num_threads = threads_;
    xo.flags |= flags;
    xnnpack_ = TfLiteXNNPackDelegateCreate(&xo);
    if (xnnpack_) {
      TfLiteInterpreterOptionsAddDelegate(opts, xnnpack_);
      // Zeroed as TfLiteDelegateCreate would make it; the Windows DLL does
      // not export that function.
      tally_ = TfLiteDelegate{};
      tally_.data_ = this;
      tally_.Prepare = &SignatureRunner::tally_nodes;
      tally_.flags = kTfLiteDelegateFlagsAllowDynamicTensors;
      TfLiteInterpreterOptionsAddDelegate(opts, &tally_);
    }
  }
  // The runtime sizes its arena with operator new: a graph too large for
  // this machine surfaces as std::bad_alloc from inside it.
  try {
    interp_ = TfLiteInterpreterCreate(model_, opts);
  } catch (const std::bad_alloc&) {
    interp_ = nullptr;
    TfLiteInterpreterOptionsDelete(opts);
    return Created::NoMemory;
  }
  TfLiteInterpreterOptionsDelete(opts);
  if (interp_ == nullptr) return Created::NoInterpreter;
  TfLiteStatus allocated = kTfLiteError;
  bool no_memory = false;
  try {
    allocated = TfLiteInterpreterAllocateTensors(interp_);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  if (allocated == kTfLiteOk) return Created::Ok;
  TfLiteInterpreterDelete(interp_);
  interp_ = nullptr;
  return no_memory ? Created::NoMemory : Created::NoTensors;
}

void SignatureRunner::load() {
  if (interp_) return;
  if (!no_xnnpack_.empty())
    base::elog("LiteRT: signature '" + key_ + "' of " + base::quoted(path_) +
               " runs on built-in kernels: " + no_xnnpack_);
  errors_.clear();
  const system::FaultContext busy("setting up", fault_subject());
  // The delegate announces itself on creation, the kernels while preparing.
  // The model's own loader prints why it cannot build an interpreter (it has
  // no error reporter of ours): that text is the reason of the refusal.
  std::vector<std::string> printed;
  detail::StderrCapture capture([&](std::string_view line) { printed.emplace_back(line); });
  Created made = create_interpreter(xnnpack_flags_);
  if (made != Created::Ok && xnnpack_ && xnnpack_flags_ != 0) {
    // The delegate may accept 8-bit operators while partitioning and still
    // fail to build them; the built-in kernels compute the same graph.
    const std::string why = errors_.substr(0, errors_.find("; "));
    errors_.clear();
    TfLiteXNNPackDelegateDelete(xnnpack_);
    xnnpack_ = nullptr;
    xnnpack_flags_ = 0;
    base::elog("LiteRT: signature '" + key_ + "' of " + base::quoted(path_) +
               " runs its 8-bit operators on built-in kernels: XNNPACK refused them" +
               (why.empty() ? std::string() : " (" + why + ")"));
    made = create_interpreter(0);
  }
  capture.finish();
  if (made == Created::Ok) {
    for (const std::string& line : printed) runtime_log(line);
    return;
  }
  for (const std::string& line : printed) errors_ += (errors_.empty() ? "" : "; ") + line;
  const std::string which = "signature '" + key_ + "' of " + base::quoted(path_);
  if (made == Created::NoMemory) out_of_memory("LiteRT cannot allocate the tensors of " + which);
  if (made == Created::NoInterpreter) fail("LiteRT cannot create an interpreter for " + which);
  fail("LiteRT cannot allocate the tensors of " + which);
}

std::vector<TensorInfo> SignatureRunner::input_details() {
  load();
  std::vector<TensorInfo> out;
  for (std::size_t i = 0; i < in_names_.size(); ++i) {
    const TfLiteTensor* t = TfLiteInterpreterGetInputTensor(interp_, in_pos_[i]);
    out.push_back({in_names_[i], TfLiteTensorType(t), dims_of(t)});
  }
  return out;
}

int SignatureRunner::input_pos(std::string_view name) const {
  for (std::size_t i = 0; i < in_names_.size(); ++i)
    if (in_names_[i] == name) return in_pos_[i];
  throw std::invalid_argument("signature '" + key_ + "' has no input '" + std::string(name) + "'");
}

TfLiteTensor* SignatureRunner::prepare(int pos, TfLiteType type, std::span<const int> shape,
                                       bool& resized) {
  TfLiteTensor* t = TfLiteInterpreterGetInputTensor(interp_, pos);
  if (TfLiteTensorType(t) != type)
    throw std::invalid_argument("signature '" + key_ + "' input '" + TfLiteTensorName(t) +
                                "' takes " + type_name(TfLiteTensorType(t)) + ", got " +
                                type_name(type));
  const std::vector<int> cur = dims_of(t);
  if (!std::equal(cur.begin(), cur.end(), shape.begin(), shape.end())) {
    if (TfLiteInterpreterResizeInputTensor(interp_, pos, shape.data(),
                                           static_cast<int32_t>(shape.size())) != kTfLiteOk)
      fail("LiteRT cannot resize input '" + std::string(TfLiteTensorName(t)) + "' of '" + key_ +
           "' to " + base::shape_text(shape));
    resized = true;
  }
  return t;
}

void SignatureRunner::allocate() {
  // Stays pending after a failure: the interpreter is unusable until an
  // allocation succeeds, even if the next inputs keep the current shapes.
  needs_alloc_ = true;
  const system::FaultContext busy("setting up", fault_subject());
  TfLiteStatus status = kTfLiteError;
  try {
    status = TfLiteInterpreterAllocateTensors(interp_);
  } catch (const std::bad_alloc&) {
    out_of_memory("LiteRT cannot allocate the tensors of signature '" + key_ + "'");
  }
  if (status != kTfLiteOk) fail("LiteRT cannot allocate the tensors of signature '" + key_ + "'");
  needs_alloc_ = false;
}

void SignatureRunner::require_all_inputs(std::span<const std::string_view> given) const {
  // An input left out would run with whatever its tensor last held: a stale
  // or uninitialised value, and a plausible-looking wrong result.
  bool ok = given.size() == in_names_.size();
  for (std::size_t i = 0; ok && i < given.size(); ++i) {
    ok = std::find(in_names_.begin(), in_names_.end(), given[i]) != in_names_.end() &&
         std::find(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(i), given[i]) ==
             given.begin() + static_cast<std::ptrdiff_t>(i);
  }
  if (ok) return;
  const std::vector<std::string> got(given.begin(), given.end());
  throw std::invalid_argument("signature '" + key_ + "' takes the inputs " +
                              base::literal_list(in_names_) + ", got " + base::literal_list(got));
}

void SignatureRunner::set_inputs(std::span<const InputArg> inputs) {
  std::vector<std::string_view> names;
  for (const InputArg& in : inputs) names.push_back(in.name);
  require_all_inputs(names);
  load();
  errors_.clear();
  // All resizes first: allocation may move every tensor, so data is written
  // only once the arena is final.
  bool resized = false;
  std::vector<TfLiteTensor*> ts;
  for (const InputArg& in : inputs)
    ts.push_back(prepare(input_pos(in.name), in.type, in.shape, resized));
  if (resized || needs_alloc_) allocate();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    TfLiteTensor* t = ts[i];
    if (TfLiteTensorByteSize(t) != inputs[i].nbytes)
      throw std::invalid_argument("signature '" + key_ + "' input '" + std::string(inputs[i].name) +
                                  "' takes " + std::to_string(TfLiteTensorByteSize(t)) +
                                  " bytes, got " + std::to_string(inputs[i].nbytes));
    if (inputs[i].nbytes) std::memcpy(TfLiteTensorData(t), inputs[i].data, inputs[i].nbytes);
  }
}

void* SignatureRunner::input_buffer(std::string_view name, TfLiteType type,
                                    std::span<const int> shape, std::size_t nbytes) {
  require_all_inputs({&name, 1});
  load();
  errors_.clear();
  bool resized = false;
  TfLiteTensor* t = prepare(input_pos(name), type, shape, resized);
  if (resized || needs_alloc_) allocate();
  if (TfLiteTensorByteSize(t) != nbytes || TfLiteTensorData(t) == nullptr)
    throw std::invalid_argument("signature '" + key_ + "' input '" + std::string(name) +
                                "' takes " + std::to_string(TfLiteTensorByteSize(t)) +
                                " bytes, got " + std::to_string(nbytes));
  return TfLiteTensorData(t);
}

void SignatureRunner::invoke() {
  load();
  errors_.clear();
  const system::FaultContext busy("running", fault_subject());
  const InvokeDeadline deadline(fault_subject());
  TfLiteStatus status;
  if (invoked_) {
    status = TfLiteInterpreterInvoke(interp_);
  } else {
    // Kernels prepare lazily and may print on their first run.
    detail::StderrCapture capture(runtime_log);
    status = TfLiteInterpreterInvoke(interp_);
    capture.finish();
    invoked_ = true;
  }
  if (status != kTfLiteOk)
    fail("LiteRT invocation of signature '" + key_ + "' of " + base::quoted(path_) + " failed");
}

TensorRef SignatureRunner::output(std::string_view name) const {
  if (!interp_) throw std::logic_error("signature '" + key_ + "' has not been run");
  for (std::size_t i = 0; i < out_names_.size(); ++i) {
    if (out_names_[i] != name) continue;
    const TfLiteTensor* t = TfLiteInterpreterGetOutputTensor(interp_, out_pos_[i]);
    return {TfLiteTensorType(t), dims_of(t), TfLiteTensorData(t), TfLiteTensorByteSize(t)};
  }
  throw std::invalid_argument("signature '" + key_ + "' has no output '" + std::string(name) + "'");
}

}  // namespace kinra2::chain
