// Minimal writer for multi-signature model files over our format schema.
// A ModelWriter owns the operator-code table and the constant buffers; each
// Graph appends one subgraph and, when signed, one signature definition whose
// entry is that subgraph. Shapes are tracked here so that the graph code can
// be written as plain expressions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tflite_schema_generated.h"

namespace kinra2::demo {

namespace fmt = kinra2::fmt;
using Shape = std::vector<int>;

class ModelWriter {
 public:
  ModelWriter();
  // Index of a new constant buffer holding `bytes`.
  std::uint32_t add_buffer(const void* bytes, std::size_t n);
  // Index of the operator code (op, version), added on first use.
  std::uint32_t opcode(fmt::BuiltinOperator op, int version);
  fmt::ModelT& model() { return model_; }
  // Serialised model with the format's file identifier.
  std::vector<std::uint8_t> finish() const;

 private:
  fmt::ModelT model_;
};

// Per-tensor symmetric int8 quantisation of a float array.
struct Int8Weights {
  std::vector<std::int8_t> q;
  float scale = 1.0f;
};
Int8Weights quantize_int8(std::span<const float> w);

// Affine int8 quantisation of an activation tensor: real = scale * (q - zero_point).
struct QuantParams {
  float scale = 1.0f;
  int zero_point = 0;
};
// Symmetric int8 quantisation with one scale per slice along the first axis
// (per output channel of a weight tensor), as the int8 kernels take it.
struct ChannelInt8 {
  std::vector<std::int8_t> q;
  std::vector<float> scales;
};
ChannelInt8 quantize_per_channel(std::span<const float> w, int channels);

class Graph {
 public:
  Graph(ModelWriter& m, std::string name);

  int input(const std::string& name, Shape shape);
  int constant(const std::string& name, Shape shape, std::span<const float> values);
  int constant_i32(const std::string& name, Shape shape, std::span<const std::int32_t> values);
  int constant_i8(const std::string& name, Shape shape, const Int8Weights& w);
  const Shape& shape(int t) const;
  bool is_int8(int t) const;
  QuantParams quant(int t) const;  // of an int8 tensor with one scale

  // Element-wise and shape ops. `act` is a fused activation where the op has one.
  int add(int a, int b, fmt::ActivationFunctionType act = fmt::ActivationFunctionType::NONE);
  int mul(int a, int b, fmt::ActivationFunctionType act = fmt::ActivationFunctionType::NONE);
  int maximum(int a, int b);
  int add_scalar(int a, float v);
  int mul_scalar(int a, float v);
  int floor_mod_scalar(int a, float v);
  int logistic(int a);
  int sqrt(int a);
  int abs(int a);
  // Largest value along `axis`, which is dropped from the shape.
  int reduce_max(int a, int axis);
  int reshape(int a, Shape to);
  int transpose(int a, std::initializer_list<int> perm);
  int slice(int a, Shape begin, Shape end);  // unit strides
  int concat(std::vector<int> parts, int axis);
  // y = x . w^T + b over the last axis of a 2-D x; w is (out, in).
  int fully_connected(int x, int w, int b, fmt::ActivationFunctionType act);
  // NHWC convolution with OHWI filter, stride 1.
  int conv2d(int x, int w, int b, fmt::Padding pad, fmt::ActivationFunctionType act);
  int depth_to_space(int x, int block);
  int dequantize(int q);

  // Int8 arithmetic. Shape ops (reshape, transpose, slice, concat,
  // depth_to_space) keep their input's element type and quantisation; concat
  // parts must share it.
  int quantize(int x, QuantParams q);  // float -> int8
  // conv2d on an int8 input: OHWI float weights quantised per output channel,
  // the float bias as int32 at input scale x weight scale, an int8 output.
  int conv2d_int8(int x, Shape w_shape, std::span<const float> w, std::span<const float> bias,
                  fmt::Padding pad, fmt::ActivationFunctionType act, QuantParams out);

  // Declares the subgraph's outputs and signs it under `key`.
  void sign(const std::string& key, std::vector<std::pair<std::string, int>> inputs,
            std::vector<std::pair<std::string, int>> outputs);

 private:
  int tensor(const std::string& name, Shape shape, fmt::TensorType type, std::uint32_t buffer);
  int intermediate(Shape shape);
  int emit(fmt::BuiltinOperator op, int version, std::vector<int> ins, Shape out_shape,
           fmt::BuiltinOptionsUnion opts = {});
  int scalar(float v);
  int broadcast_binary(fmt::BuiltinOperator op, int a, int b, fmt::ActivationFunctionType act);
  int quantized(int t, fmt::TensorType type, std::vector<float> scales,
                std::vector<std::int64_t> zero_points, int axis = 0);
  int like(int out, int in);  // gives `out` the element type and quantisation of `in`

  ModelWriter& m_;
  fmt::SubGraphT* sg_;
  std::uint32_t index_;
  std::string name_;
  int seq_ = 0;
};

// Adds the named signatures, in order, through a builder of each signature's
// body (enc, tok, step, dec), and returns the finished model file.
template <class SignatureBuilder>
std::vector<std::uint8_t> build_signatures(ModelWriter& m, SignatureBuilder& b,
                                           std::span<const std::string_view> sigs) {
  for (std::string_view s : sigs) {
    if (s == "enc")
      b.enc();
    else if (s == "tok14")
      b.tok();
    else if (s == "step")
      b.step();
    else if (s == "dec16")
      b.dec("dec16", 16);
    else if (s == "dec8")
      b.dec("dec8", 8);
    else
      throw std::invalid_argument("unknown signature " + std::string(s));
  }
  return m.finish();
}

}  // namespace kinra2::demo
