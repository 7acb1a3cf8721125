#include "chain/xnnpack_guard.hpp"

#include "chain/litert_runtime.hpp"

#include <algorithm>
#include <array>

namespace kinra2::chain {

namespace fmt = kinra2::fmt;

namespace {

// One operator of one subgraph, with what a fault's trigger needs to see.
struct OpView {
  const fmt::Model& model;
  const fmt::SubGraph& graph;
  const fmt::Operator& op;
};

fmt::BuiltinOperator code_of(const fmt::Model& m, const fmt::Operator& op) {
  const auto* codes = m.operator_codes();
  if (codes == nullptr || op.opcode_index() >= codes->size()) return fmt::BuiltinOperator::ADD;
  const fmt::OperatorCode* c = codes->Get(op.opcode_index());
  if (c == nullptr) return fmt::BuiltinOperator::ADD;
  // Older writers fill only the narrow field; readers take the larger one.
  return static_cast<fmt::BuiltinOperator>(std::max<std::int32_t>(
      c->deprecated_builtin_code(), static_cast<std::int32_t>(c->builtin_code())));
}

const fmt::Tensor* tensor_at(const fmt::SubGraph& g, std::int32_t i) {
  const auto* ts = g.tensors();
  if (ts == nullptr || i < 0 || static_cast<std::uint32_t>(i) >= ts->size()) return nullptr;
  return ts->Get(static_cast<flatbuffers::uoffset_t>(i));
}

bool is_constant(const fmt::Model& m, const fmt::Tensor* t) {
  if (t == nullptr || t->buffer() == 0) return false;
  const auto* bufs = m.buffers();
  if (bufs == nullptr || t->buffer() >= bufs->size()) return false;
  const fmt::Buffer* b = bufs->Get(t->buffer());
  return b != nullptr && b->data() != nullptr && b->data()->size() > 0;
}

// Weights the delegate sees as constant float data: stored as float32, or
// made float at load time from fp16 (DEQUANTIZE) or sparse (DENSIFY) data.
bool is_static_float(const OpView& v, std::int32_t index) {
  const fmt::Tensor* t = tensor_at(v.graph, index);
  if (t == nullptr || t->type() != fmt::TensorType::FLOAT32) return false;
  if (is_constant(v.model, t)) return true;
  const auto* ops = v.graph.operators();
  if (ops == nullptr) return false;
  for (const fmt::Operator* p : *ops) {
    if (p == nullptr || p->outputs() == nullptr ||
        std::find(p->outputs()->begin(), p->outputs()->end(), index) == p->outputs()->end())
      continue;
    const auto code = code_of(v.model, *p);
    if (code != fmt::BuiltinOperator::DEQUANTIZE && code != fmt::BuiltinOperator::DENSIFY)
      return false;
    return p->inputs() != nullptr && p->inputs()->size() > 0 &&
           is_constant(v.model, tensor_at(v.graph, p->inputs()->Get(0)));
  }
  return false;
}

std::string dims(const fmt::Tensor& t) {
  std::string s = "[";
  for (flatbuffers::uoffset_t i = 0; t.shape() != nullptr && i < t.shape()->size(); ++i)
    s += (i ? ", " : "") + std::to_string(t.shape()->Get(i));
  return s + "]";
}

// --- the faults ------------------------------------------------------------

// The runtime's XNNPACK picks its 4x16 "s4" FMA3 float kernels on the cores
// its processor decoder calls Zen (Zen and Zen+; also virtual machines that
// present the plain EPYC model). FMA3 and AVX are not required here, so a
// machine that masks them is still covered.
[[maybe_unused]] bool zen_s4_kernels(const system::CpuIdentity& cpu) {
  constexpr std::array<unsigned, 4> models{0x01, 0x08, 0x11, 0x18};
  return cpu.vendor == "AuthenticAMD" && cpu.family == 0x17 &&
         std::find(models.begin(), models.end(), cpu.model) != models.end();
}

// A float FULLY_CONNECTED packs its weights with the depth rounded up to 4
// into a buffer sized for the unrounded depth (heap overrun), and with more
// than one thread steps through them unrounded (wrong outputs).
[[maybe_unused]] std::optional<std::string> fc_depth_not_multiple_of_4(const OpView& v) {
  if (code_of(v.model, v.op) != fmt::BuiltinOperator::FULLY_CONNECTED) return std::nullopt;
  const auto* in = v.op.inputs();
  if (in == nullptr || in->size() < 2 || !is_static_float(v, in->Get(1))) return std::nullopt;
  const fmt::Tensor* w = tensor_at(v.graph, in->Get(1));
  if (w->shape() == nullptr || w->shape()->size() != 2) return std::nullopt;
  const std::int32_t k = w->shape()->Get(1);
  if (k % 4 == 0) return std::nullopt;
  const std::string name = w->name() != nullptr ? " '" + w->name()->str() + "'" : "";
  return "FULLY_CONNECTED with weights" + name + " " + dims(*w) + " (depth " + std::to_string(k) +
         " is not a multiple of 4)";
}

struct KnownFault {
  bool (*processor)(const system::CpuIdentity&);
  std::optional<std::string> (*trigger)(const OpView&);
  const char* effect;
};

// One row per known fault of the shipped runtime's XNNPACK.
#if defined(__x86_64__)
constexpr KnownFault KNOWN_FAULTS[] = {
    {zen_s4_kernels, fc_depth_not_multiple_of_4,
     "XNNPACK's Zen kernels overrun its packed weights there"},
};
#else
// The faulty kernels are x86 FMA3 code, which an arm64 runtime does not contain.
constexpr std::span<const KnownFault> KNOWN_FAULTS;
#endif

}  // namespace

std::optional<std::string> xnnpack_hazard(const fmt::Model& model,
                                          std::span<const std::uint32_t> graphs,
                                          const system::CpuIdentity& cpu) {
  const auto* subs = model.subgraphs();
  if (subs == nullptr) return std::nullopt;
  for (const KnownFault& f : KNOWN_FAULTS) {
    if (!f.processor(cpu)) continue;
    for (std::uint32_t gi : graphs) {
      if (gi >= subs->size() || subs->Get(gi) == nullptr) continue;
      const fmt::SubGraph& g = *subs->Get(gi);
      if (g.operators() == nullptr) continue;
      for (const fmt::Operator* op : *g.operators()) {
        if (op == nullptr) continue;
        if (auto why = f.trigger(OpView{model, g, *op}))
          return *why + " on " + system::describe(cpu) + ": " + f.effect;
      }
    }
  }
  return std::nullopt;
}

std::uint32_t xnnpack_8bit_flags(const fmt::Model& model, std::span<const std::uint32_t> graphs) {
  const auto* subs = model.subgraphs();
  if (subs == nullptr) return 0;
  std::uint32_t flags = 0;
  for (std::uint32_t gi : graphs) {
    if (gi >= subs->size() || subs->Get(gi) == nullptr || subs->Get(gi)->tensors() == nullptr)
      continue;
    for (const fmt::Tensor* t : *subs->Get(gi)->tensors()) {
      if (t == nullptr || is_constant(model, t)) continue;
      const auto* q = t->quantization();
      if (q == nullptr || q->scale() == nullptr || q->scale()->size() == 0) continue;
      if (t->type() == fmt::TensorType::INT8) flags |= XNNPACK_FLAG_QS8;
      if (t->type() == fmt::TensorType::UINT8) flags |= XNNPACK_FLAG_QU8;
    }
  }
  return flags;
}

}  // namespace kinra2::chain
