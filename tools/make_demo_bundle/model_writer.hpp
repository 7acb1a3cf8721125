// Minimal writer for multi-signature model files over our format schema.
// A ModelWriter owns the operator-code table and the constant buffers; each
// Graph appends one subgraph and, when signed, one signature definition whose
// entry is that subgraph. Shapes are tracked here so that the graph code can
// be written as plain expressions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
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

class Graph {
 public:
  Graph(ModelWriter& m, std::string name);

  int input(const std::string& name, Shape shape);
  int constant(const std::string& name, Shape shape, std::span<const float> values);
  int constant_i32(const std::string& name, Shape shape, std::span<const std::int32_t> values);
  int constant_i8(const std::string& name, Shape shape, const Int8Weights& w);
  const Shape& shape(int t) const;

  // Element-wise and shape ops. `act` is a fused activation where the op has one.
  int add(int a, int b, fmt::ActivationFunctionType act = fmt::ActivationFunctionType::NONE);
  int mul(int a, int b, fmt::ActivationFunctionType act = fmt::ActivationFunctionType::NONE);
  int maximum(int a, int b);
  int add_scalar(int a, float v);
  int mul_scalar(int a, float v);
  int floor_mod_scalar(int a, float v);
  int logistic(int a);
  int sqrt(int a);
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

  ModelWriter& m_;
  fmt::SubGraphT* sg_;
  std::uint32_t index_;
  std::string name_;
  int seq_ = 0;
};

}  // namespace kinra2::demo
