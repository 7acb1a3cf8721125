#include "chain/checked_kernels.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chain/litert_runtime.hpp"
#include "litert/runtime_library.hpp"

namespace kinra2::chain {

namespace {

// The operator codes (the format's BuiltinOperator values).
constexpr std::int32_t GATHER_ND = 107;
constexpr std::int32_t SCATTER_ND = 122;
// The versions of each the runtime registers its own kernel for: a model
// asking for another version is refused by the runtime, as before.
constexpr std::int32_t GATHER_ND_VERSIONS = 3;
constexpr std::int32_t SCATTER_ND_VERSIONS = 1;

void report(TfLiteContext* context, const std::string& msg) {
  context->ReportError(context, "%s", msg.c_str());
}

std::vector<std::int64_t> dims(const TfLiteTensor* t) {
  std::vector<std::int64_t> d;
  if (t->dims != nullptr) d.assign(t->dims->data, t->dims->data + t->dims->size);
  return d;
}

template <typename V>
std::string list_text(const V& values) {
  std::string s = "[";
  for (std::size_t i = 0; i < values.size(); ++i) s += (i ? ", " : "") + std::to_string(values[i]);
  return s + "]";
}

// The node's tensor at position `k` of `ios`, or nullptr when it has none.
TfLiteTensor* tensor(TfLiteContext* context, const TfLiteIntArray* ios, int k) {
  if (ios == nullptr || k >= ios->size) return nullptr;
  const int i = ios->data[k];
  if (i < 0 || static_cast<std::size_t>(i) >= context->tensors_size) return nullptr;
  return &context->tensors[i];
}

// Shapes handed to the runtime must come from its own allocator: it frees
// them (plain free) when the tensor is resized again. The library does not
// export TfLiteIntArrayCreate everywhere; one spare element covers the
// layouts that count one element into the struct itself.
TfLiteStatus resize(TfLiteContext* context, TfLiteTensor* t, const std::vector<std::int64_t>& d) {
  auto* a = static_cast<TfLiteIntArray*>(std::malloc(sizeof(int) * (d.size() + 2)));
  if (a == nullptr) return kTfLiteError;
  a->size = static_cast<int>(d.size());
  for (std::size_t i = 0; i < d.size(); ++i) a->data[i] = static_cast<int>(d[i]);
  return context->ResizeTensor(context, t, a);
}

std::uint64_t product(const std::vector<std::int64_t>& d, std::size_t from, std::size_t to) {
  std::uint64_t n = 1;
  for (std::size_t i = from; i < to; ++i) n *= static_cast<std::uint64_t>(d[i]);
  return n;
}

std::int64_t index_at(const TfLiteTensor* t, std::uint64_t k) {
  if (t->type == kTfLiteInt64) return static_cast<const std::int64_t*>(t->data.data)[k];
  return static_cast<const std::int32_t*>(t->data.data)[k];
}

// Where row `r` of `indices` (rows of `nd` values) starts in a tensor of
// shape `shape`, in elements; -1 after reporting an index outside it.
std::int64_t row_offset(TfLiteContext* context, const char* op, const TfLiteTensor* indices,
                        std::uint64_t r, std::size_t nd, const std::vector<std::int64_t>& shape,
                        const char* what) {
  std::int64_t at = 0;
  for (std::size_t j = 0; j < nd; ++j) {
    const std::int64_t x = index_at(indices, r * nd + j);
    if (x < 0 || x >= shape[j]) {
      std::vector<std::int64_t> row(nd);
      for (std::size_t q = 0; q < nd; ++q) row[q] = index_at(indices, r * nd + q);
      report(context, std::string(op) + " index " + list_text(row) + " (row " + std::to_string(r) +
                          ") lies outside its " + what + " shape " + list_text(shape));
      return -1;
    }
    at = at * shape[j] + x;
  }
  return at;
}

// --- GATHER_ND: output = params[indices[..., :]] -------------------------------

TfLiteStatus gather_nd_prepare(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* params = tensor(context, node->inputs, 0);
  const TfLiteTensor* indices = tensor(context, node->inputs, 1);
  TfLiteTensor* output = tensor(context, node->outputs, 0);
  if (node->inputs->size != 2 || node->outputs->size != 1 || params == nullptr ||
      indices == nullptr || output == nullptr) {
    report(context, "GATHER_ND takes two inputs and gives one output");
    return kTfLiteError;
  }
  switch (params->type) {
    case kTfLiteFloat32:
    case kTfLiteUInt8:
    case kTfLiteInt8:
    case kTfLiteInt16:
    case kTfLiteInt64:
    case kTfLiteInt32: break;
    default:
      report(context, std::string("Params of type '") + type_name(params->type) +
                          "' are not supported by gather_nd.");
      return kTfLiteError;
  }
  if (indices->type != kTfLiteInt32 && indices->type != kTfLiteInt64) {
    report(context, std::string("Indices of type '") + type_name(indices->type) +
                        "' are not supported by gather_nd.");
    return kTfLiteError;
  }
  const auto p = dims(params);
  const auto ix = dims(indices);
  if (p.empty()) {
    report(context, "Params must be at least a vector.");
    return kTfLiteError;
  }
  if (ix.empty()) {
    report(context, "Indices must be at least a vector.");
    return kTfLiteError;
  }
  const std::int64_t nd = ix.back();
  if (nd < 0 || nd > static_cast<std::int64_t>(p.size())) {
    report(context, "Index innermost dimension length must be <= params rank.");
    return kTfLiteError;
  }
  output->type = params->type;
  // indices.shape[:-1] + params.shape[nd:]
  std::vector<std::int64_t> out(ix.begin(), ix.end() - 1);
  out.insert(out.end(), p.begin() + nd, p.end());
  return resize(context, output, out);
}

TfLiteStatus gather_nd_invoke(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* params = tensor(context, node->inputs, 0);
  const TfLiteTensor* indices = tensor(context, node->inputs, 1);
  TfLiteTensor* output = tensor(context, node->outputs, 0);
  const auto p = dims(params);
  const auto ix = dims(indices);
  const auto nd = static_cast<std::size_t>(ix.back());
  const std::size_t es = type_size(params->type);
  const std::uint64_t slices = product(ix, 0, ix.size() - 1);
  const std::uint64_t slice = product(p, nd, p.size());
  if (output->bytes != slices * slice * es || params->bytes != product(p, 0, p.size()) * es) {
    report(context, "GATHER_ND tensors do not match their shapes");
    return kTfLiteError;
  }
  const auto* from = static_cast<const std::uint8_t*>(params->data.data);
  auto* to = static_cast<std::uint8_t*>(output->data.data);
  for (std::uint64_t r = 0; r < slices; ++r) {
    const std::int64_t at = row_offset(context, "GATHER_ND", indices, r, nd, p, "params");
    if (at < 0) return kTfLiteError;
    std::memcpy(to + r * slice * es, from + static_cast<std::uint64_t>(at) * slice * es,
                slice * es);
  }
  return kTfLiteOk;
}

// --- SCATTER_ND: output of `shape`, zero, plus each update at its index -------

// The updates must fill whole slices of the output at the indices' rows.
TfLiteStatus scatter_nd_check(TfLiteContext* context, const TfLiteTensor* indices,
                              const TfLiteTensor* updates, const TfLiteTensor* shape) {
  const auto ix = dims(indices);
  const auto up = dims(updates);
  const auto sh = dims(shape);
  bool ok = !ix.empty() && !up.empty() && sh.size() == 1;
  const std::size_t outer = ix.empty() ? 0 : ix.size() - 1;
  for (std::size_t i = 0; ok && i < outer; ++i) ok = i < up.size() && ix[i] == up[i];
  const std::int64_t nd = ok ? ix[outer] : 0;
  ok = ok && nd >= 0 && nd <= sh[0] && up.size() >= outer &&
       static_cast<std::int64_t>(up.size() - outer) == sh[0] - nd;
  const auto* s = ok ? static_cast<const std::int32_t*>(shape->data.data) : nullptr;
  for (std::size_t i = 0; ok && i + outer < up.size(); ++i)
    ok = up[i + outer] == s[static_cast<std::size_t>(nd) + i];
  for (std::int64_t i = 0; ok && i < sh[0]; ++i) ok = s[i] >= 0;
  if (!ok) {
    report(context, "SCATTER_ND indices " + list_text(ix) + " and updates " + list_text(up) +
                        " do not fit the output shape");
    return kTfLiteError;
  }
  return kTfLiteOk;
}

TfLiteStatus scatter_nd_resize(TfLiteContext* context, const TfLiteTensor* shape,
                               TfLiteTensor* output) {
  const auto* s = static_cast<const std::int32_t*>(shape->data.data);
  return resize(context, output, std::vector<std::int64_t>(s, s + shape->dims->data[0]));
}

TfLiteStatus scatter_nd_prepare(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* indices = tensor(context, node->inputs, 0);
  const TfLiteTensor* updates = tensor(context, node->inputs, 1);
  const TfLiteTensor* shape = tensor(context, node->inputs, 2);
  TfLiteTensor* output = tensor(context, node->outputs, 0);
  if (node->inputs->size != 3 || node->outputs->size != 1 || indices == nullptr ||
      updates == nullptr || shape == nullptr || output == nullptr) {
    report(context, "SCATTER_ND takes three inputs and gives one output");
    return kTfLiteError;
  }
  switch (updates->type) {
    case kTfLiteFloat32:
    case kTfLiteUInt8:
    case kTfLiteInt8:
    case kTfLiteInt64:
    case kTfLiteInt32: break;
    default:
      report(context, std::string("Updates of type '") + type_name(updates->type) +
                          "' are not supported by scatter_nd.");
      return kTfLiteError;
  }
  if (indices->type != shape->type) {
    report(context, "Indices and shape must have the same type.");
    return kTfLiteError;
  }
  if (indices->type != kTfLiteInt32) {
    report(context, std::string("Indices of type '") + type_name(indices->type) +
                        "' are not supported by scatter_nd.");
    return kTfLiteError;
  }
  output->type = updates->type;
  if (shape->allocation_type == kTfLiteMmapRo) {
    if (scatter_nd_check(context, indices, updates, shape) != kTfLiteOk) return kTfLiteError;
    return scatter_nd_resize(context, shape, output);
  }
  // The output's shape is known only once the shape input has its values.
  if (output->allocation_type != kTfLiteDynamic) {
    output->allocation_type = kTfLiteDynamic;
    output->data.raw = nullptr;
  }
  return kTfLiteOk;
}

template <typename T>
void scatter_add(std::uint8_t* out, const std::uint8_t* upd, std::uint64_t at, std::uint64_t n) {
  T* o = reinterpret_cast<T*>(out) + at;
  const T* u = reinterpret_cast<const T*>(upd);
  for (std::uint64_t j = 0; j < n; ++j) o[j] += u[j];
}

TfLiteStatus scatter_nd_invoke(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* indices = tensor(context, node->inputs, 0);
  const TfLiteTensor* updates = tensor(context, node->inputs, 1);
  const TfLiteTensor* shape = tensor(context, node->inputs, 2);
  TfLiteTensor* output = tensor(context, node->outputs, 0);
  if (output->allocation_type == kTfLiteDynamic) {
    if (scatter_nd_check(context, indices, updates, shape) != kTfLiteOk ||
        scatter_nd_resize(context, shape, output) != kTfLiteOk)
      return kTfLiteError;
  }
  const auto ix = dims(indices);
  const auto up = dims(updates);
  const auto out = dims(output);
  const std::size_t outer = ix.size() - 1;
  const auto nd = static_cast<std::size_t>(ix[outer]);
  const std::size_t es = type_size(updates->type);
  const std::uint64_t slices = product(ix, 0, outer);
  const std::uint64_t slice = product(up, outer, up.size());
  const std::uint64_t flat = product(out, 0, out.size());
  if (nd > out.size() || output->bytes != flat * es || updates->bytes != slices * slice * es) {
    report(context, "SCATTER_ND tensors do not match their shapes");
    return kTfLiteError;
  }
  auto* to = static_cast<std::uint8_t*>(output->data.data);
  const auto* from = static_cast<const std::uint8_t*>(updates->data.data);
  std::memset(to, 0, flat * es);
  for (std::uint64_t r = 0; r < slices; ++r) {
    const std::int64_t at = row_offset(context, "SCATTER_ND", indices, r, nd, out, "output");
    if (at < 0) return kTfLiteError;
    const std::uint64_t first = static_cast<std::uint64_t>(at) * product(out, nd, out.size());
    const std::uint8_t* u = from + r * slice * es;
    // Repeated indices add up, in row order, as the runtime's kernel does.
    switch (updates->type) {
      case kTfLiteFloat32: scatter_add<float>(to, u, first, slice); break;
      case kTfLiteUInt8: scatter_add<std::uint8_t>(to, u, first, slice); break;
      case kTfLiteInt8: scatter_add<std::int8_t>(to, u, first, slice); break;
      case kTfLiteInt64: scatter_add<std::int64_t>(to, u, first, slice); break;
      default: scatter_add<std::int32_t>(to, u, first, slice); break;
    }
  }
  return kTfLiteOk;
}

TfLiteRegistration registration(std::int32_t code,
                                TfLiteStatus (*prepare)(TfLiteContext*, TfLiteNode*),
                                TfLiteStatus (*invoke)(TfLiteContext*, TfLiteNode*)) {
  TfLiteRegistration r{};
  r.prepare = prepare;
  r.invoke = invoke;
  r.builtin_code = code;
  r.version = 1;
  return r;
}

}  // namespace

void add_checked_kernels(TfLiteInterpreterOptions* options) {
  static const TfLiteRegistration gather =
      registration(GATHER_ND, gather_nd_prepare, gather_nd_invoke);
  static const TfLiteRegistration scatter =
      registration(SCATTER_ND, scatter_nd_prepare, scatter_nd_invoke);
  TfLiteInterpreterOptionsAddBuiltinOp(options, GATHER_ND, &gather, 1, GATHER_ND_VERSIONS);
  TfLiteInterpreterOptionsAddBuiltinOp(options, SCATTER_ND, &scatter, 1, SCATTER_ND_VERSIONS);
}

}  // namespace kinra2::chain
