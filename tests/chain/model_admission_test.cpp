// Crafted model files against the host: each hazard the runtime would meet
// (a crash, a read or write outside a tensor, unbounded recursion) is refused
// with one line and status 1, and the host's own GATHER_ND and SCATTER_ND
// compute what the runtime's do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "chain/checked_kernels.hpp"
#include "chain/litert_runtime.hpp"
#include "host/host_process.hpp"
#include "litert/runtime_library.hpp"
#include "support/bundle_files.hpp"
#include "crafted_models.hpp"
#include "tiny_models.hpp"

using namespace kinra2::chain;
using k2test::Crafted;
using k2test::ModelMaker;
using k2test::TempDir;
namespace fmt = kinra2::fmt;
using ::testing::HasSubstr;

namespace {

class CraftedModel : public ::testing::TestWithParam<Crafted> {};

TEST_P(CraftedModel, IsRefusedWithOneLineAndStatus1) {
  const Crafted& c = GetParam();
#if defined(_WIN32) || defined(K2_SANITIZE)
  // The cap is an address-space limit, which sanitizers reserve far beyond.
  if (c.memory_cap) GTEST_SKIP() << "needs an address-space limit";
#endif
  TempDir dir;
  const std::string model = k2test::crafted_model(c).write(dir.file("combined_litert.tflite"));
  k2test::write_file(dir.file("canon.bin"), k2test::canon_bytes());
  std::vector<std::string> argv = k2test::host_argv(dir.path().string());
  if (c.memory_cap)
    argv.insert(argv.begin(), {"/bin/sh", "-c", "ulimit -v 4000000 && exec \"$@\"", "sh"});
  const std::string input = std::string(c.input) == "flush" ? k2test::Records().flush().bytes : "";
  // A loop without end gives up after a second; the others end long before.
  const k2test::HostRun run = k2test::run_peer(argv, input, {"KINRA2_INVOKE_TIMEOUT=1"});

  EXPECT_EQ(run.status, 1) << run.log;
  EXPECT_TRUE(run.records.empty());
  std::vector<std::string> errors;
  for (std::size_t at = 0, nl; (nl = run.log.find('\n', at)) != std::string::npos; at = nl + 1)
    if (run.log.compare(at, 34, "[render-stream-host-litert] error:") == 0)
      errors.push_back(run.log.substr(at, nl - at));
  ASSERT_EQ(errors.size(), 1u) << run.log;
  EXPECT_THAT(errors[0], HasSubstr("'" + model + "'"));
  EXPECT_THAT(errors[0], HasSubstr("signature '" + std::string(c.signature) + "'"));
  EXPECT_THAT(errors[0], HasSubstr(c.phrase));
}

INSTANTIATE_TEST_SUITE_P(Hazards, CraftedModel, ::testing::ValuesIn(k2test::crafted_models()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the host's kernels against the runtime's --------------------------------

struct Kernel {
  const char* name;
  fmt::BuiltinOperator code;
  fmt::TensorType data_type, index_type;
  std::vector<int> data_shape, index_shape;
  std::vector<std::int64_t> indices;
  std::vector<int> out_shape;
};

std::vector<std::uint8_t> int_bytes(const std::vector<std::int64_t>& v, fmt::TensorType t) {
  std::vector<std::uint8_t> b;
  for (std::int64_t x : v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&x);
    b.insert(b.end(), p, p + (t == fmt::TensorType::INT64 ? 8 : 4));
  }
  return b;
}

// One signature "k" whose inputs are the data and the indices (SCATTER_ND's
// shape a constant, or a third input when `shape_input`).
ModelMaker kernel_model(const Kernel& k, bool shape_input) {
  ModelMaker mk;
  auto g = mk.graph("k");
  const bool gather = k.code == fmt::BuiltinOperator::GATHER_ND;
  const int data = g.tensor("data", k.data_shape, k.data_type);
  const int idx = g.tensor("indices", k.index_shape, k.index_type);
  const int out = g.tensor("out", k.out_shape, k.data_type);
  std::vector<std::pair<std::string, int>> ins = {{"data", data}, {"indices", idx}};
  if (gather) {
    g.op(k.code, {data, idx}, {out});
  } else {
    const int n = static_cast<int>(k.out_shape.size());
    const int shape = shape_input ? g.tensor("shape", {n}, fmt::TensorType::INT32)
                                  : g.const_i32("shape", {n}, k.out_shape);
    if (shape_input) ins.emplace_back("shape", shape);
    g.op(k.code, {idx, data, shape}, {out});
  }
  for (const auto& [name, t] : ins) g.sg->inputs.push_back(t);
  g.sg->outputs = {out};
  mk.signature("k", g, ins, {{"out", out}});
  return mk;
}

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return b;
}

const Kernel KERNELS[] = {
    {"GatherFloatRows",
     fmt::BuiltinOperator::GATHER_ND,
     fmt::TensorType::FLOAT32,
     fmt::TensorType::INT32,
     {3, 4, 2},
     {2, 1},
     {2, 0},
     {2, 4, 2}},
    {"GatherInt8Elements",
     fmt::BuiltinOperator::GATHER_ND,
     fmt::TensorType::INT8,
     fmt::TensorType::INT64,
     {3, 4},
     {2, 2, 2},
     {0, 3, 2, 1, 1, 1, 2, 3},
     {2, 2}},
    {"ScatterFloatRepeated",
     fmt::BuiltinOperator::SCATTER_ND,
     fmt::TensorType::FLOAT32,
     fmt::TensorType::INT32,
     {3, 2},
     {3, 1},
     {1, 3, 1},
     {4, 2}},
    {"ScatterInt32Elements",
     fmt::BuiltinOperator::SCATTER_ND,
     fmt::TensorType::INT32,
     fmt::TensorType::INT32,
     {2},
     {2, 2},
     {0, 1, 2, 0},
     {3, 2}},
};

std::size_t bytes_of(const std::vector<int>& shape, fmt::TensorType t) {
  std::size_t n = t == fmt::TensorType::FLOAT32 || t == fmt::TensorType::INT32 ? 4 : 1;
  for (int d : shape) n *= static_cast<std::size_t>(d);
  return n;
}

TfLiteType type_of(fmt::TensorType t) {
  switch (t) {
    case fmt::TensorType::INT8: return kTfLiteInt8;
    case fmt::TensorType::INT32: return kTfLiteInt32;
    case fmt::TensorType::INT64: return kTfLiteInt64;
    default: return kTfLiteFloat32;
  }
}

struct KernelRun {
  TfLiteStatus status = kTfLiteError;
  std::vector<std::uint8_t> out;
  std::vector<int> shape;
  std::string errors;
};

// Runs the model's primary subgraph on `inputs` with the runtime's kernels or
// the host's, through the plain C interface.
KernelRun run_kernel(const std::vector<std::uint8_t>& bytes, const std::vector<InputArg>& inputs,
                     bool checked) {
  KernelRun r;
  TfLiteModel* model = TfLiteModelCreate(bytes.data(), bytes.size());
  TfLiteInterpreterOptions* opts = TfLiteInterpreterOptionsCreate();
  TfLiteInterpreterOptionsSetErrorReporter(
      opts,
      [](void* self, const char* f, va_list a) {
        char buf[512];
        std::vsnprintf(buf, sizeof buf, f, a);
        static_cast<KernelRun*>(self)->errors += std::string(buf) + "\n";
      },
      &r);
  if (checked) add_checked_kernels(opts);
  TfLiteInterpreter* it = TfLiteInterpreterCreate(model, opts);
  for (std::size_t i = 0; it && i < inputs.size(); ++i)
    TfLiteInterpreterResizeInputTensor(it, static_cast<int>(i), inputs[i].shape.data(),
                                       static_cast<int>(inputs[i].shape.size()));
  if (it && TfLiteInterpreterAllocateTensors(it) == kTfLiteOk) {
    for (std::size_t i = 0; i < inputs.size(); ++i)
      TfLiteTensorCopyFromBuffer(TfLiteInterpreterGetInputTensor(it, static_cast<int>(i)),
                                 inputs[i].data, inputs[i].nbytes);
    r.status = TfLiteInterpreterInvoke(it);
    const TfLiteTensor* t = TfLiteInterpreterGetOutputTensor(it, 0);
    const auto* d = static_cast<const std::uint8_t*>(TfLiteTensorData(t));
    if (r.status == kTfLiteOk) r.out.assign(d, d + TfLiteTensorByteSize(t));
    for (int k = 0; k < TfLiteTensorNumDims(t); ++k) r.shape.push_back(TfLiteTensorDim(t, k));
  }
  if (it) TfLiteInterpreterDelete(it);
  TfLiteInterpreterOptionsDelete(opts);
  TfLiteModelDelete(model);
  return r;
}

void PrintTo(const Kernel& k, std::ostream* os) {
  *os << k.name;
}

class CheckedKernel : public ::testing::TestWithParam<Kernel> {};

TEST_P(CheckedKernel, GivesTheRuntimesBytesAndRefusesAnIndexOutside) {
  const Kernel& k = GetParam();
  const bool gather = k.code == fmt::BuiltinOperator::GATHER_ND;
  for (bool shape_input : {false, true}) {
    if (shape_input && gather) continue;
    SCOPED_TRACE(shape_input ? "shape as an input" : "constant shape");
    const auto model = kernel_model(k, shape_input).bytes();
    const auto data = pattern(bytes_of(k.data_shape, k.data_type));
    const auto idx = int_bytes(k.indices, k.index_type);
    const auto shape = int_bytes({k.out_shape.begin(), k.out_shape.end()}, fmt::TensorType::INT32);
    const std::vector<int> n_shape{static_cast<int>(k.out_shape.size())};
    std::vector<InputArg> args = {
        {"data", type_of(k.data_type), k.data_shape, data.data(), data.size()},
        {"indices", type_of(k.index_type), k.index_shape, idx.data(), idx.size()}};
    if (shape_input) args.push_back({"shape", kTfLiteInt32, n_shape, shape.data(), shape.size()});

    const KernelRun stock = run_kernel(model, args, false);
    const KernelRun ours = run_kernel(model, args, true);
    ASSERT_EQ(stock.status, kTfLiteOk) << stock.errors;
    ASSERT_EQ(ours.status, kTfLiteOk) << ours.errors;
    EXPECT_EQ(ours.shape, k.out_shape);
    EXPECT_EQ(ours.out, stock.out);

    // One index past the end of its dimension fails the invocation by name.
    auto far = k.indices;
    far.back() = (gather ? k.data_shape : k.out_shape)[std::size_t(k.index_shape.back() - 1)];
    const auto far_bytes = int_bytes(far, k.index_type);
    args[1].data = far_bytes.data();
    const KernelRun refused = run_kernel(model, args, true);
    EXPECT_EQ(refused.status, kTfLiteError);
    EXPECT_THAT(refused.errors,
                HasSubstr(std::string(fmt::EnumNameBuiltinOperator(k.code)) + " index ["));
    EXPECT_THAT(refused.errors, HasSubstr(std::to_string(far.back()) + "] (row "));
    EXPECT_THAT(refused.errors, HasSubstr("Node number 0"));
  }
}

INSTANTIATE_TEST_SUITE_P(Operators, CheckedKernel, ::testing::ValuesIn(KERNELS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
