#include "chain/model_admission.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

namespace kinra2::chain {

namespace fmt = kinra2::fmt;

namespace {

using Fault = std::optional<std::string>;

fmt::BuiltinOperator code_of(const fmt::Model& m, const fmt::Operator& op) {
  const auto* codes = m.operator_codes();
  if (codes == nullptr || op.opcode_index() >= codes->size()) return fmt::BuiltinOperator::CUSTOM;
  const fmt::OperatorCode* c = codes->Get(op.opcode_index());
  // Older writers fill only the narrow field; readers take the larger one.
  return static_cast<fmt::BuiltinOperator>(std::max<std::int32_t>(
      c->deprecated_builtin_code(), static_cast<std::int32_t>(c->builtin_code())));
}

std::uint64_t type_size(fmt::TensorType t) {
  switch (t) {
    case fmt::TensorType::FLOAT16:
    case fmt::TensorType::INT16:
    case fmt::TensorType::UINT16: return 2;
    case fmt::TensorType::FLOAT32:
    case fmt::TensorType::INT32:
    case fmt::TensorType::UINT32: return 4;
    case fmt::TensorType::INT64:
    case fmt::TensorType::UINT64:
    case fmt::TensorType::FLOAT64:
    case fmt::TensorType::COMPLEX64: return 8;
    case fmt::TensorType::COMPLEX128: return 16;
    default: return 1;
  }
}

template <typename V>
std::string list_text(const V& values) {
  std::string s = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(values[i]);
  }
  return s + "]";
}

// " 'name'", or nothing for an unnamed tensor.
std::string quoted_name(const fmt::Tensor& t) {
  std::string s;
  if (t.name() != nullptr) s.append(" '").append(t.name()->str()).append("'");
  return s;
}

std::vector<std::int64_t> dims_of(const fmt::Tensor& t) {
  std::vector<std::int64_t> d;
  if (t.shape() != nullptr) d.assign(t.shape()->begin(), t.shape()->end());
  return d;
}

std::string tensor_label(std::uint32_t graph, std::int64_t index, const fmt::Tensor& t) {
  return "subgraph " + std::to_string(graph) + " tensor " + std::to_string(index) + quoted_name(t);
}

// One operator with what its rules need to see.
struct OpView {
  const fmt::Model& model;
  const fmt::SubGraph& graph;
  const fmt::Operator& op;

  const fmt::Tensor* tensor(std::size_t input) const {
    const auto* in = op.inputs();
    if (in == nullptr || input >= in->size()) return nullptr;
    const std::int32_t i = in->Get(static_cast<flatbuffers::uoffset_t>(input));
    const auto* ts = graph.tensors();
    if (i < 0 || ts == nullptr || static_cast<std::uint32_t>(i) >= ts->size()) return nullptr;
    return ts->Get(static_cast<flatbuffers::uoffset_t>(i));
  }
  // The constant data of input `input`, empty when it is computed.
  std::span<const std::uint8_t> data(std::size_t input) const {
    const fmt::Tensor* t = tensor(input);
    const auto* bufs = model.buffers();
    if (t == nullptr || t->buffer() == 0 || bufs == nullptr || t->buffer() >= bufs->size())
      return {};
    const auto* d = bufs->Get(t->buffer())->data();
    if (d == nullptr) return {};
    return {d->data(), d->size()};
  }
};

// The integers of a constant int32 or int64 tensor holding exactly `count`
// values; nullopt for anything else (the runtime refuses a size mismatch).
std::optional<std::vector<std::int64_t>> constant_ints(const OpView& v, std::size_t input,
                                                       std::uint64_t count) {
  const fmt::Tensor* t = v.tensor(input);
  const auto bytes = v.data(input);
  if (t == nullptr || bytes.empty()) return std::nullopt;
  const bool wide = t->type() == fmt::TensorType::INT64;
  if (!wide && t->type() != fmt::TensorType::INT32) return std::nullopt;
  const std::size_t es = wide ? 8 : 4;
  if (bytes.size() != count * es) return std::nullopt;
  std::vector<std::int64_t> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (wide) {
      std::memcpy(&out[i], bytes.data() + 8 * i, 8);
    } else {
      std::int32_t x;
      std::memcpy(&x, bytes.data() + 4 * i, 4);
      out[i] = x;
    }
  }
  return out;
}

std::uint64_t element_count(const std::vector<std::int64_t>& dims) {
  std::uint64_t n = 1;
  for (std::int64_t d : dims) n *= static_cast<std::uint64_t>(d);
  return n;
}

// Each row of `indices` (rows of the innermost dimension's length) must pick
// an element of `shape`.
Fault rows_within(const std::vector<std::int64_t>& indices, std::int64_t nd,
                  const std::vector<std::int64_t>& shape, const char* what) {
  if (nd <= 0 || nd > static_cast<std::int64_t>(shape.size())) return std::nullopt;
  const std::size_t row_len = static_cast<std::size_t>(nd);
  for (std::size_t r = 0; r * row_len < indices.size(); ++r) {
    for (std::size_t j = 0; j < row_len; ++j) {
      const std::int64_t x = indices[r * row_len + j];
      if (x >= 0 && x < shape[j]) continue;
      const std::vector<std::int64_t> row(indices.begin() + std::ptrdiff_t(r * row_len),
                                          indices.begin() + std::ptrdiff_t((r + 1) * row_len));
      return "constant index " + list_text(row) + " (row " + std::to_string(r) +
             ") lies outside its " + what + " shape " + list_text(shape);
    }
  }
  return std::nullopt;
}

// --- operators with published memory faults in the shipped runtime -----------

// GATHER_ND reads params at whatever its indices say.
Fault gather_nd_indices(const OpView& v) {
  const fmt::Tensor* params = v.tensor(0);
  const fmt::Tensor* indices = v.tensor(1);
  if (params == nullptr || indices == nullptr || indices->shape() == nullptr ||
      indices->shape()->size() == 0)
    return std::nullopt;
  const auto idims = dims_of(*indices);
  const auto values = constant_ints(v, 1, element_count(idims));
  if (!values) return std::nullopt;
  return rows_within(*values, idims.back(), dims_of(*params), "params");
}

// SCATTER_ND writes its output at whatever its indices say.
Fault scatter_nd_indices(const OpView& v) {
  const fmt::Tensor* indices = v.tensor(0);
  const fmt::Tensor* shape = v.tensor(2);
  if (indices == nullptr || shape == nullptr || indices->shape() == nullptr ||
      indices->shape()->size() == 0)
    return std::nullopt;
  const auto idims = dims_of(*indices);
  const auto values = constant_ints(v, 0, element_count(idims));
  if (!values) return std::nullopt;
  std::vector<std::int64_t> out;
  if (auto s = constant_ints(v, 2, element_count(dims_of(*shape)))) {
    out = *s;
  } else {
    const auto* outs = v.op.outputs();
    const auto* ts = v.graph.tensors();
    if (outs == nullptr || outs->size() == 0 || ts == nullptr || outs->Get(0) < 0 ||
        static_cast<std::uint32_t>(outs->Get(0)) >= ts->size())
      return std::nullopt;
    out = dims_of(*ts->Get(static_cast<flatbuffers::uoffset_t>(outs->Get(0))));
  }
  return rows_within(*values, idims.back(), out, "output");
}

// CONV_2D divides the input's channels by the filter's (grouped convolution):
// a filter without input channels is a division by zero.
Fault conv_filter_channels(const OpView& v) {
  const fmt::Tensor* filter = v.tensor(1);
  if (filter == nullptr || filter->shape() == nullptr || filter->shape()->size() != 4 ||
      filter->shape()->Get(3) != 0)
    return std::nullopt;
  return "filter" + quoted_name(*filter) + " of shape " + list_text(dims_of(*filter)) +
         " has no input channels";
}

struct OpRule {
  fmt::BuiltinOperator code;
  Fault (*check)(const OpView&);
};

constexpr OpRule OP_RULES[] = {
    {fmt::BuiltinOperator::GATHER_ND, gather_nd_indices},
    {fmt::BuiltinOperator::SCATTER_ND, scatter_nd_indices},
    {fmt::BuiltinOperator::CONV_2D, conv_filter_channels},
};

// The subgraphs a control-flow operator runs. Missing options read as zeros,
// as the runtime reads them: such an operator runs subgraph 0.
std::vector<std::int64_t> called_subgraphs(const fmt::Model& m, const fmt::Operator& op) {
  switch (code_of(m, op)) {
    case fmt::BuiltinOperator::IF: {
      const auto* o = op.builtin_options_as_IfOptions();
      return {o ? o->then_subgraph_index() : 0, o ? o->else_subgraph_index() : 0};
    }
    case fmt::BuiltinOperator::WHILE: {
      const auto* o = op.builtin_options_as_WhileOptions();
      return {o ? o->cond_subgraph_index() : 0, o ? o->body_subgraph_index() : 0};
    }
    case fmt::BuiltinOperator::CALL_ONCE: {
      const auto* o = op.builtin_options_as_CallOnceOptions();
      return {o ? o->init_subgraph_index() : 0};
    }
    case fmt::BuiltinOperator::CALL: {
      const auto* o = op.builtin_options_as_CallOptions();
      return {o ? static_cast<std::int64_t>(o->subgraph()) : 0};
    }
    default: return {};
  }
}

}  // namespace

std::string operator_name(const fmt::Model& model, const fmt::Operator& op) {
  const auto* codes = model.operator_codes();
  if (codes != nullptr && op.opcode_index() < codes->size()) {
    const fmt::OperatorCode* c = codes->Get(op.opcode_index());
    if (c->custom_code() != nullptr) return c->custom_code()->str();
  }
  const fmt::BuiltinOperator code = code_of(model, op);
  const char* name = fmt::EnumNameBuiltinOperator(code);
  if (name != nullptr && *name != '\0') return name;
  return "builtin operator " + std::to_string(static_cast<std::int32_t>(code));
}

ModelAdmission::ModelAdmission(const fmt::Model& model, std::vector<bool> entries)
    : entries_(std::move(entries)) {
  const auto* subs = model.subgraphs();
  const std::size_t n_sub = subs != nullptr ? subs->size() : 0;
  const std::size_t n_codes = model.operator_codes() ? model.operator_codes()->size() : 0;
  const std::size_t n_buffers = model.buffers() ? model.buffers()->size() : 0;
  graphs_.resize(n_sub);
  for (std::uint32_t gi = 0; gi < n_sub; ++gi) {
    Graph& g = graphs_[gi];
    const fmt::SubGraph& sg = *subs->Get(gi);
    const std::size_t n_t = sg.tensors() ? sg.tensors()->size() : 0;
    const std::string where = "subgraph " + std::to_string(gi) + " ";  // once per subgraph
    auto fault = [&](std::string why) {
      if (!g.fault) g.fault = std::move(why);
    };

    std::int64_t largest = -1;
    for (std::size_t ti = 0; ti < n_t && !g.fault; ++ti) {
      const fmt::Tensor& t = *sg.tensors()->Get(static_cast<flatbuffers::uoffset_t>(ti));
      // Texts are made only for a refusal: most models have thousands of
      // tensors and operators, and none of them is at fault.
      auto label = [&] { return tensor_label(gi, static_cast<std::int64_t>(ti), t); };
      if (t.buffer() >= n_buffers && t.buffer() != 0) {
        fault(label() + " names buffer " + std::to_string(t.buffer()) + " of " +
              std::to_string(n_buffers));
        break;
      }
      // The runtime sizes a tensor from its shape as unsigned numbers: a
      // negative dimension wraps the arithmetic instead of being refused.
      // Dynamic dimensions live in shape_signature, never here.
      bool negative = false, too_many = false;
      std::uint64_t count = 1;
      if (t.shape() != nullptr) {
        for (const std::int32_t d : *t.shape()) {
          negative = negative || d < 0;
          if (d <= 0) {
            count = d < 0 ? count : 0;
          } else if (count > MAX_TENSOR_ELEMENTS / static_cast<std::uint64_t>(d)) {
            too_many = true;
          } else {
            count *= static_cast<std::uint64_t>(d);
          }
        }
      }
      if (negative) {
        fault(label() + " has a negative dimension in its shape " + list_text(dims_of(t)));
        break;
      }
      if (too_many && count != 0) {
        fault(label() + " of shape " + list_text(dims_of(t)) +
              " has more elements than the runtime can index (" +
              std::to_string(MAX_TENSOR_ELEMENTS) + ")");
        break;
      }
      const auto* buf = t.buffer() != 0 ? model.buffers()->Get(t.buffer()) : nullptr;
      if (buf != nullptr && buf->data() != nullptr && buf->data()->size() > 0) continue;
      const std::uint64_t bytes = count * type_size(t.type());
      g.computed_bytes += bytes;
      if (bytes > g.largest_bytes || largest < 0) {
        g.largest_bytes = bytes;
        largest = static_cast<std::int64_t>(ti);
      }
    }
    if (largest >= 0) {
      const fmt::Tensor& t = *sg.tensors()->Get(static_cast<flatbuffers::uoffset_t>(largest));
      g.largest_tensor = t.name() ? t.name()->str() : std::to_string(largest);
    }

    auto in_range = [&](const flatbuffers::Vector<std::int32_t>* v, bool optional,
                        const auto& what) {
      if (v == nullptr) return true;
      for (flatbuffers::uoffset_t k = 0; k < v->size(); ++k) {
        const std::int32_t x = v->Get(k);
        if ((optional && x == -1) || (x >= 0 && static_cast<std::size_t>(x) < n_t)) continue;
        fault(where + what() + " " + std::to_string(k) + " names tensor " + std::to_string(x) +
              " of " + std::to_string(n_t));
        return false;
      }
      return true;
    };
    auto text = [](const char* t) { return [t] { return std::string(t); }; };
    if (!g.fault && in_range(sg.inputs(), false, text("input")))
      in_range(sg.outputs(), false, text("output"));

    const std::size_t n_ops = sg.operators() ? sg.operators()->size() : 0;
    for (std::size_t k = 0; k < n_ops && !g.fault; ++k) {
      const fmt::Operator& op = *sg.operators()->Get(static_cast<flatbuffers::uoffset_t>(k));
      auto op_where = [&] { return "operator " + std::to_string(k); };
      if (op.opcode_index() >= n_codes) {
        fault(where + op_where() + " names operator code " + std::to_string(op.opcode_index()) +
              " of " + std::to_string(n_codes));
        break;
      }
      auto op_label = [&] { return op_where() + " (" + operator_name(model, op) + ")"; };
      auto io = [&](const char* what) { return [&, what] { return op_label() + " " + what; }; };
      // An omitted optional tensor is written as -1.
      if (!in_range(op.inputs(), true, io("input")) ||
          !in_range(op.outputs(), true, io("output")) ||
          !in_range(op.intermediates(), true, io("intermediate")))
        break;
      for (std::int64_t s : called_subgraphs(model, op)) {
        if (s < 0 || static_cast<std::size_t>(s) >= n_sub) {
          fault(where + op_label() + " names subgraph " + std::to_string(s) + " of " +
                std::to_string(n_sub));
          break;
        }
        g.calls.push_back(s);
        g.callers.push_back(where + op_label());
      }
      const fmt::BuiltinOperator code = code_of(model, op);
      for (const OpRule& rule : OP_RULES) {
        if (rule.code != code || g.fault) continue;
        if (auto why = rule.check(OpView{model, sg, op})) fault(where + op_label() + ": " + *why);
      }
    }
  }
}

Admission ModelAdmission::view(std::uint32_t entry) const {
  Admission a;
  const std::size_t n = graphs_.size();
  // The view: subgraph 0 is the entry, the other signatures' entries are
  // blank, every other subgraph is the file's own.
  auto file_index = [&](std::size_t v) -> std::optional<std::size_t> {
    if (v == 0) return entry;
    if (entries_[v]) return std::nullopt;
    return v;
  };
  for (std::size_t v = 0; v < n; ++v) {
    const auto f = file_index(v);
    if (!f) continue;
    const Graph& g = graphs_[*f];
    if (g.fault && !a.refusal) a.refusal = g.fault;
    a.computed_bytes += g.computed_bytes;
    if (g.largest_bytes > a.largest_bytes || a.largest_tensor.empty()) {
      a.largest_bytes = g.largest_bytes;
      a.largest_tensor = g.largest_tensor;
    }
  }
  if (a.refusal) return a;

  // Depth-first from the entry over the subgraphs control flow runs: a
  // subgraph met again while it is still being run is a cycle, and the
  // recursion here stops at the nesting the runtime is allowed.
  enum : std::uint8_t { Unseen, Open, Done };
  std::vector<std::uint8_t> state(n, Unseen);
  std::vector<int> depth(n, 0);
  auto visit = [&](auto& self, std::size_t v, int level) -> void {
    state[v] = Open;
    const auto f = file_index(v);
    int deepest = 0;
    if (f) {
      const Graph& g = graphs_[*f];
      for (std::size_t c = 0; c < g.calls.size() && !a.refusal; ++c) {
        const auto s = static_cast<std::size_t>(g.calls[c]);
        if (state[s] == Open) {
          a.refusal = g.callers[c] + " runs subgraph " + std::to_string(file_index(s).value_or(s)) +
                      " again from within itself: control flow that calls itself";
        } else if (level >= MAX_CALL_DEPTH) {
          a.refusal = g.callers[c] + " nests control flow deeper than " +
                      std::to_string(MAX_CALL_DEPTH) + " subgraphs";
        } else {
          if (state[s] == Unseen) self(self, s, level + 1);
          deepest = std::max(deepest, depth[s]);
        }
      }
    }
    depth[v] = deepest + 1;
    if (!a.refusal && level + deepest > MAX_CALL_DEPTH)
      a.refusal = "control flow from subgraph " + std::to_string(entry) + " nests deeper than " +
                  std::to_string(MAX_CALL_DEPTH) + " subgraphs";
    state[v] = Done;
  };
  if (n > 0) visit(visit, 0, 0);
  return a;
}

}  // namespace kinra2::chain
