// A model file through admission into the runtime: every signature's
// interpreter is built and invoked on small inputs, so the runtime's own
// reader and kernels meet whatever the model says.
//
// The runtime library is not instrumented: a read or write of its own outside
// a buffer is seen only when it faults (see docs/robustness.md). What runs
// here is bounded: the admission refuses control flow nested deeper than
// MAX_CALL_DEPTH; a signature whose tensors would take more than TENSOR_CAP
// or whose inputs more than INPUT_CAP is only admitted, not built; a model
// with a WHILE is built but not invoked, since its loop may never end.
#include "harness.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "chain/litert_runtime.hpp"
#include "tflite_schema_generated.h"

namespace kinra2::fuzz {

namespace {

constexpr std::uint64_t TENSOR_CAP = 64u << 20;
constexpr std::size_t INPUT_CAP = 64u << 10;

bool has_while(const std::uint8_t* data, std::size_t size) {
  flatbuffers::Verifier v(data, size);
  if (!kinra2::fmt::VerifyModelBuffer(v)) return false;
  const auto* m = kinra2::fmt::GetModel(data);
  if (m->operator_codes() == nullptr) return false;
  for (const auto* c : *m->operator_codes())
    if (std::max<int>(c->deprecated_builtin_code(), static_cast<int>(c->builtin_code())) ==
        static_cast<int>(kinra2::fmt::BuiltinOperator::WHILE))
      return true;
  return false;
}

void run_signature(chain::SignatureRunner& r, const std::uint8_t* data, std::size_t size,
                   bool invoke) {
  if (r.tensor_bytes() > TENSOR_CAP) return;
  r.load();
  std::vector<chain::TensorInfo> ins = r.input_details();
  std::vector<std::vector<std::uint8_t>> bufs;
  std::vector<chain::InputArg> args;
  std::size_t total = 0;
  for (const chain::TensorInfo& in : ins) {
    std::size_t n = chain::type_size(in.type);
    for (int d : in.shape) n *= static_cast<std::size_t>(std::max(d, 0));
    total += n;
    if (chain::type_size(in.type) == 0 || total > INPUT_CAP) return;
    // The model's own bytes as input values: indices and sizes from the file.
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n && size > 0; ++i) b[i] = data[(total + i) % size];
    bufs.push_back(std::move(b));
  }
  for (std::size_t i = 0; i < ins.size(); ++i)
    args.push_back({ins[i].name, ins[i].type, ins[i].shape, bufs[i].data(), bufs[i].size()});
  r.set_inputs(args);
  if (invoke) r.invoke();
}

}  // namespace

int model_run(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_dir() + "/run.tflite";
  put_file(path, {reinterpret_cast<const char*>(data), size});
  const bool invoke = !has_while(data, size);
  try {
    chain::LitertModel model(path, 1, chain::LitertModel::Load::Read);
    for (const auto& key : model.signature_keys()) {
      try {
        run_signature(*model.runner(key), data, size, invoke);
      } catch (const std::exception&) {
        // A signature the runtime refuses, or whose run fails, is the defined outcome.
      }
    }
  } catch (const std::runtime_error&) {
    // A refused model file is the defined outcome.
  }
  return 0;
}

}  // namespace kinra2::fuzz
