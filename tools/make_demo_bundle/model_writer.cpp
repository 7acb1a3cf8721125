#include "model_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace kinra2::demo {

namespace {

using Act = fmt::ActivationFunctionType;

// Numpy-style broadcast of two shapes (right-aligned).
Shape broadcast(const Shape& a, const Shape& b) {
  Shape out(std::max(a.size(), b.size()), 1);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int da = i < out.size() - a.size() ? 1 : a[i - (out.size() - a.size())];
    const int db = i < out.size() - b.size() ? 1 : b[i - (out.size() - b.size())];
    if (da != db && da != 1 && db != 1) throw std::logic_error("shapes do not broadcast");
    out[i] = std::max(da, db);
  }
  return out;
}

long long count(const Shape& s) {
  long long n = 1;
  for (int d : s) n *= d;
  return n;
}

// A stride-1 convolution's output shape and options, float or int8 alike.
Shape conv_out_shape(const Shape& xs, const Shape& ws, fmt::Padding pad) {
  Shape out = {xs[0], xs[1], xs[2], ws[0]};
  if (pad == fmt::Padding::VALID) {
    out[1] = xs[1] - ws[1] + 1;
    out[2] = xs[2] - ws[2] + 1;
  }
  return out;
}

fmt::BuiltinOptionsUnion conv_options(fmt::Padding pad, Act act) {
  fmt::Conv2DOptionsT o;
  o.padding = pad;
  o.stride_w = 1;
  o.stride_h = 1;
  o.fused_activation_function = act;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  return u;
}

}  // namespace

ModelWriter::ModelWriter() {
  model_.version = 3;
  model_.description = "kinra2 demo identity";
  model_.buffers.push_back(std::make_unique<fmt::BufferT>());  // the empty sentinel
}

std::uint32_t ModelWriter::add_buffer(const void* bytes, std::size_t n) {
  auto b = std::make_unique<fmt::BufferT>();
  b->data.resize(n);
  if (n) std::memcpy(b->data.data(), bytes, n);
  model_.buffers.push_back(std::move(b));
  return static_cast<std::uint32_t>(model_.buffers.size() - 1);
}

std::uint32_t ModelWriter::opcode(fmt::BuiltinOperator op, int version) {
  for (std::size_t i = 0; i < model_.operator_codes.size(); ++i) {
    const auto& c = *model_.operator_codes[i];
    if (c.builtin_code == op && c.version == version) return static_cast<std::uint32_t>(i);
  }
  auto c = std::make_unique<fmt::OperatorCodeT>();
  c->builtin_code = op;
  // Readers older than the 32-bit field look only at the byte one.
  c->deprecated_builtin_code = static_cast<std::int8_t>(std::min<int>(static_cast<int>(op), 127));
  c->version = version;
  model_.operator_codes.push_back(std::move(c));
  return static_cast<std::uint32_t>(model_.operator_codes.size() - 1);
}

std::vector<std::uint8_t> ModelWriter::finish() const {
  flatbuffers::FlatBufferBuilder fbb(1 << 20);
  fmt::FinishModelBuffer(fbb, fmt::Model::Pack(fbb, &model_));
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

Int8Weights quantize_int8(std::span<const float> w) {
  float amax = 0.0f;
  for (float v : w) amax = std::max(amax, std::fabs(v));
  Int8Weights out;
  out.scale = amax > 0.0f ? amax / 127.0f : 1.0f;
  out.q.reserve(w.size());
  for (float v : w) {
    const long r = std::lround(v / out.scale);
    out.q.push_back(static_cast<std::int8_t>(std::clamp<long>(r, -127, 127)));
  }
  return out;
}

ChannelInt8 quantize_per_channel(std::span<const float> w, int channels) {
  if (channels <= 0 || w.size() % static_cast<std::size_t>(channels) != 0)
    throw std::logic_error("per-channel quantisation");
  const std::size_t per = w.size() / static_cast<std::size_t>(channels);
  ChannelInt8 out;
  out.q.reserve(w.size());
  for (int c = 0; c < channels; ++c) {
    const auto slice = w.subspan(static_cast<std::size_t>(c) * per, per);
    const Int8Weights q = quantize_int8(slice);
    out.scales.push_back(q.scale);
    out.q.insert(out.q.end(), q.q.begin(), q.q.end());
  }
  return out;
}

Graph::Graph(ModelWriter& m, std::string name) : m_(m), name_(std::move(name)) {
  auto sg = std::make_unique<fmt::SubGraphT>();
  sg->name = name_;
  sg_ = sg.get();
  m_.model().subgraphs.push_back(std::move(sg));
  index_ = static_cast<std::uint32_t>(m_.model().subgraphs.size() - 1);
}

int Graph::tensor(const std::string& name, Shape shape, fmt::TensorType type,
                  std::uint32_t buffer) {
  auto t = std::make_unique<fmt::TensorT>();
  t->name = name_ + "/" + name;
  t->shape = std::move(shape);
  t->type = type;
  t->buffer = buffer;
  sg_->tensors.push_back(std::move(t));
  return static_cast<int>(sg_->tensors.size() - 1);
}

int Graph::intermediate(Shape shape) {
  return tensor("t" + std::to_string(seq_++), std::move(shape), fmt::TensorType::FLOAT32, 0);
}

const Shape& Graph::shape(int t) const {
  return sg_->tensors.at(static_cast<std::size_t>(t))->shape;
}

int Graph::input(const std::string& name, Shape shape) {
  const int t = tensor(name, std::move(shape), fmt::TensorType::FLOAT32, 0);
  sg_->inputs.push_back(t);
  return t;
}

int Graph::constant(const std::string& name, Shape shape, std::span<const float> values) {
  if (count(shape) != static_cast<long long>(values.size()))
    throw std::logic_error("constant size");
  const auto buf = m_.add_buffer(values.data(), values.size_bytes());
  return tensor(name, std::move(shape), fmt::TensorType::FLOAT32, buf);
}

int Graph::constant_i32(const std::string& name, Shape shape,
                        std::span<const std::int32_t> values) {
  if (count(shape) != static_cast<long long>(values.size()))
    throw std::logic_error("constant size");
  const auto buf = m_.add_buffer(values.data(), values.size_bytes());
  return tensor(name, std::move(shape), fmt::TensorType::INT32, buf);
}

int Graph::constant_i8(const std::string& name, Shape shape, const Int8Weights& w) {
  if (count(shape) != static_cast<long long>(w.q.size())) throw std::logic_error("constant size");
  const auto buf = m_.add_buffer(w.q.data(), w.q.size());
  const int t = tensor(name, std::move(shape), fmt::TensorType::INT8, buf);
  auto q = std::make_unique<fmt::QuantizationParametersT>();
  q->scale = {w.scale};
  q->zero_point = {0};
  sg_->tensors[static_cast<std::size_t>(t)]->quantization = std::move(q);
  return t;
}

int Graph::quantized(int t, fmt::TensorType type, std::vector<float> scales,
                     std::vector<std::int64_t> zero_points, int axis) {
  auto& tensor = *sg_->tensors[static_cast<std::size_t>(t)];
  tensor.type = type;
  auto q = std::make_unique<fmt::QuantizationParametersT>();
  q->scale = std::move(scales);
  q->zero_point = std::move(zero_points);
  q->quantized_dimension = axis;
  tensor.quantization = std::move(q);
  return t;
}

int Graph::like(int out, int in) {
  const auto& src = *sg_->tensors[static_cast<std::size_t>(in)];
  auto& dst = *sg_->tensors[static_cast<std::size_t>(out)];
  dst.type = src.type;
  if (src.quantization) {
    dst.quantization = std::make_unique<fmt::QuantizationParametersT>();
    dst.quantization->scale = src.quantization->scale;
    dst.quantization->zero_point = src.quantization->zero_point;
  }
  return out;
}

bool Graph::is_int8(int t) const {
  return sg_->tensors.at(static_cast<std::size_t>(t))->type == fmt::TensorType::INT8;
}

QuantParams Graph::quant(int t) const {
  const auto& q = sg_->tensors.at(static_cast<std::size_t>(t))->quantization;
  if (!is_int8(t) || !q || q->scale.size() != 1 || q->zero_point.size() != 1)
    throw std::logic_error("not a per-tensor int8 tensor");
  return {q->scale[0], static_cast<int>(q->zero_point[0])};
}

int Graph::quantize(int x, QuantParams q) {
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::QuantizeOptionsT{});
  // Version 2 is the first that writes int8.
  const int out = emit(fmt::BuiltinOperator::QUANTIZE, 2, {x}, shape(x), std::move(u));
  return quantized(out, fmt::TensorType::INT8, {q.scale}, {q.zero_point});
}

int Graph::conv2d_int8(int x, Shape w_shape, std::span<const float> w, std::span<const float> bias,
                       fmt::Padding pad, Act act, QuantParams out_q) {
  const auto& xq = sg_->tensors.at(static_cast<std::size_t>(x))->quantization;
  if (!is_int8(x) || !xq || xq->scale.size() != 1) throw std::logic_error("conv2d_int8 input");
  const int out_ch = w_shape.at(0);
  if (count(w_shape) != static_cast<long long>(w.size()) ||
      bias.size() != static_cast<std::size_t>(out_ch))
    throw std::logic_error("conv2d_int8 weights");
  const ChannelInt8 qw = quantize_per_channel(w, out_ch);
  const auto wbuf = m_.add_buffer(qw.q.data(), qw.q.size());
  const int wt =
      quantized(tensor("w" + std::to_string(seq_++), w_shape, fmt::TensorType::INT8, wbuf),
                fmt::TensorType::INT8, qw.scales,
                std::vector<std::int64_t>(static_cast<std::size_t>(out_ch), 0), 0);
  std::vector<std::int32_t> qb;
  std::vector<float> bscales;
  for (int c = 0; c < out_ch; ++c) {
    const float s = xq->scale[0] * qw.scales[static_cast<std::size_t>(c)];
    bscales.push_back(s);
    qb.push_back(static_cast<std::int32_t>(std::lround(bias[static_cast<std::size_t>(c)] / s)));
  }
  const auto bbuf = m_.add_buffer(qb.data(), qb.size() * sizeof(std::int32_t));
  const int bt =
      quantized(tensor("b" + std::to_string(seq_++), {out_ch}, fmt::TensorType::INT32, bbuf),
                fmt::TensorType::INT32, bscales,
                std::vector<std::int64_t>(static_cast<std::size_t>(out_ch), 0), 0);
  // Version 3 is the first with per-channel int8 weights.
  const int y = emit(fmt::BuiltinOperator::CONV_2D, 3, {x, wt, bt},
                     conv_out_shape(shape(x), w_shape, pad), conv_options(pad, act));
  return quantized(y, fmt::TensorType::INT8, {out_q.scale}, {out_q.zero_point});
}

int Graph::emit(fmt::BuiltinOperator op, int version, std::vector<int> ins, Shape out_shape,
                fmt::BuiltinOptionsUnion opts) {
  const int out = intermediate(std::move(out_shape));
  auto o = std::make_unique<fmt::OperatorT>();
  o->opcode_index = m_.opcode(op, version);
  o->inputs = std::move(ins);
  o->outputs = {out};
  o->builtin_options = std::move(opts);
  sg_->operators.push_back(std::move(o));
  return out;
}

int Graph::scalar(float v) {
  const float one[1] = {v};
  return constant("c" + std::to_string(seq_++), {1}, one);
}

int Graph::broadcast_binary(fmt::BuiltinOperator op, int a, int b, Act act) {
  fmt::BuiltinOptionsUnion u;
  if (op == fmt::BuiltinOperator::ADD) {
    fmt::AddOptionsT o;
    o.fused_activation_function = act;
    u.Set(std::move(o));
  } else if (op == fmt::BuiltinOperator::MUL) {
    fmt::MulOptionsT o;
    o.fused_activation_function = act;
    u.Set(std::move(o));
  } else if (op == fmt::BuiltinOperator::MAXIMUM) {
    u.Set(fmt::MaximumMinimumOptionsT{});
  } else {
    u.Set(fmt::FloorModOptionsT{});
  }
  return emit(op, 1, {a, b}, broadcast(shape(a), shape(b)), std::move(u));
}

int Graph::add(int a, int b, Act act) {
  return broadcast_binary(fmt::BuiltinOperator::ADD, a, b, act);
}
int Graph::mul(int a, int b, Act act) {
  return broadcast_binary(fmt::BuiltinOperator::MUL, a, b, act);
}
int Graph::maximum(int a, int b) {
  return broadcast_binary(fmt::BuiltinOperator::MAXIMUM, a, b, Act::NONE);
}
int Graph::add_scalar(int a, float v) {
  return add(a, scalar(v));
}
int Graph::mul_scalar(int a, float v) {
  return mul(a, scalar(v));
}
int Graph::floor_mod_scalar(int a, float v) {
  return broadcast_binary(fmt::BuiltinOperator::FLOOR_MOD, a, scalar(v), Act::NONE);
}

int Graph::logistic(int a) {
  return emit(fmt::BuiltinOperator::LOGISTIC, 1, {a}, shape(a));
}
int Graph::sqrt(int a) {
  return emit(fmt::BuiltinOperator::SQRT, 1, {a}, shape(a));
}

int Graph::abs(int a) {
  return emit(fmt::BuiltinOperator::ABS, 1, {a}, shape(a));
}
int Graph::reduce_max(int a, int axis) {
  Shape out = shape(a);
  out.erase(out.begin() + axis);
  const std::int32_t ax[1] = {axis};
  const int at = constant_i32("axis" + std::to_string(seq_++), {1}, ax);
  fmt::ReducerOptionsT o;
  o.keep_dims = false;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  return emit(fmt::BuiltinOperator::REDUCE_MAX, 1, {a, at}, std::move(out), std::move(u));
}

int Graph::reshape(int a, Shape to) {
  if (count(to) != count(shape(a))) throw std::logic_error("reshape count");
  const int s = constant_i32("shape" + std::to_string(seq_++), {static_cast<int>(to.size())}, to);
  fmt::ReshapeOptionsT o;
  o.new_shape = to;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  return like(emit(fmt::BuiltinOperator::RESHAPE, 1, {a, s}, std::move(to), std::move(u)), a);
}

int Graph::transpose(int a, std::initializer_list<int> perm) {
  const std::vector<int> p(perm);
  Shape out;
  for (int i : p) out.push_back(shape(a).at(static_cast<std::size_t>(i)));
  const int pt = constant_i32("perm" + std::to_string(seq_++), {static_cast<int>(p.size())}, p);
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::TransposeOptionsT{});
  return like(emit(fmt::BuiltinOperator::TRANSPOSE, is_int8(a) ? 2 : 1, {a, pt}, std::move(out),
                   std::move(u)),
              a);
}

int Graph::slice(int a, Shape begin, Shape end) {
  const int rank = static_cast<int>(shape(a).size());
  Shape out, strides(static_cast<std::size_t>(rank), 1);
  for (int i = 0; i < rank; ++i)
    out.push_back(end[static_cast<std::size_t>(i)] - begin[static_cast<std::size_t>(i)]);
  const int b = constant_i32("begin" + std::to_string(seq_++), {rank}, begin);
  const int e = constant_i32("end" + std::to_string(seq_++), {rank}, end);
  const int s = constant_i32("strides" + std::to_string(seq_++), {rank}, strides);
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::StridedSliceOptionsT{});
  return like(emit(fmt::BuiltinOperator::STRIDED_SLICE, is_int8(a) ? 2 : 1, {a, b, e, s},
                   std::move(out), std::move(u)),
              a);
}

int Graph::concat(std::vector<int> parts, int axis) {
  Shape out = shape(parts.at(0));
  out[static_cast<std::size_t>(axis)] = 0;
  for (int p : parts)
    out[static_cast<std::size_t>(axis)] += shape(p)[static_cast<std::size_t>(axis)];
  fmt::ConcatenationOptionsT o;
  o.axis = axis;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  const int first = parts.at(0);
  const int v = is_int8(first) ? 2 : 1;
  return like(
      emit(fmt::BuiltinOperator::CONCATENATION, v, std::move(parts), std::move(out), std::move(u)),
      first);
}

int Graph::fully_connected(int x, int w, int b, Act act) {
  fmt::FullyConnectedOptionsT o;
  o.fused_activation_function = act;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  return emit(fmt::BuiltinOperator::FULLY_CONNECTED, 1, {x, w, b}, {shape(x)[0], shape(w)[0]},
              std::move(u));
}

int Graph::conv2d(int x, int w, int b, fmt::Padding pad, Act act) {
  return emit(fmt::BuiltinOperator::CONV_2D, 1, {x, w, b}, conv_out_shape(shape(x), shape(w), pad),
              conv_options(pad, act));
}

int Graph::depth_to_space(int x, int block) {
  const Shape& s = shape(x);
  fmt::DepthToSpaceOptionsT o;
  o.block_size = block;
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(o));
  return like(emit(fmt::BuiltinOperator::DEPTH_TO_SPACE, is_int8(x) ? 2 : 1, {x},
                   {s[0], s[1] * block, s[2] * block, s[3] / (block * block)}, std::move(u)),
              x);
}

int Graph::dequantize(int q) {
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::DequantizeOptionsT{});
  // Version 2 is the first that takes int8 input.
  return emit(fmt::BuiltinOperator::DEQUANTIZE, 2, {q}, shape(q), std::move(u));
}

void Graph::sign(const std::string& key, std::vector<std::pair<std::string, int>> inputs,
                 std::vector<std::pair<std::string, int>> outputs) {
  auto sd = std::make_unique<fmt::SignatureDefT>();
  sd->signature_key = key;
  sd->subgraph_index = index_;
  for (auto& [n, t] : inputs) {
    auto tm = std::make_unique<fmt::TensorMapT>();
    tm->name = n;
    tm->tensor_index = static_cast<std::uint32_t>(t);
    sd->inputs.push_back(std::move(tm));
  }
  sg_->outputs.clear();
  for (auto& [n, t] : outputs) {
    auto tm = std::make_unique<fmt::TensorMapT>();
    tm->name = n;
    tm->tensor_index = static_cast<std::uint32_t>(t);
    sd->outputs.push_back(std::move(tm));
    sg_->outputs.push_back(t);
  }
  m_.model().signature_defs.push_back(std::move(sd));
}

}  // namespace kinra2::demo
