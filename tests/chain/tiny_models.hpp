// Small multi-signature model files for the chain tests, built with the
// format's object API (write them into a k2test::TempDir).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "tflite_schema_generated.h"

namespace k2test {

namespace fmt = kinra2::fmt;

// Grows one ModelT: graphs, tensors, constant buffers, operators, signatures.
class ModelMaker {
 public:
  ModelMaker();

  struct Graph {
    ModelMaker* mk;
    int index;
    fmt::SubGraphT* sg;
    int tensor(const std::string& name, std::vector<int> shape,
               fmt::TensorType type = fmt::TensorType::FLOAT32, int buffer = 0);
    int const_f32(const std::string& name, std::vector<int> shape, const std::vector<float>& v);
    int const_i32(const std::string& name, std::vector<int> shape, const std::vector<int>& v);
    void op(fmt::BuiltinOperator code, std::vector<int> in, std::vector<int> out,
            fmt::BuiltinOptionsUnion opts = {});
    // Common compounds.
    int mean(int x, std::vector<int> axes, bool keep, std::vector<int> out_shape,
             const std::string& name);
    int reshape(int x, std::vector<int> to, const std::string& name);
    int add(int a, int b, std::vector<int> out_shape, const std::string& name);
  };

  Graph graph(const std::string& name = "");
  int buffer(const void* data, std::size_t n);  // index of a new constant buffer
  // Entry graph `g` exposed as signature `key` (inputs/outputs as name -> tensor).
  void signature(const std::string& key, const Graph& g,
                 std::vector<std::pair<std::string, int>> inputs,
                 std::vector<std::pair<std::string, int>> outputs);
  std::vector<std::uint8_t> bytes() const;
  std::string write(const std::string& path) const;

  fmt::ModelT model;

 private:
  int opcode(fmt::BuiltinOperator code);
};

// Chain signatures of the real shapes with cheap, checkable arithmetic:
//   enc   : mean of the window, shape (1, 1)
//   tok14 : row r of the block = feature + r + tok_bias
//   step  : per channel, the mean over history positions, plus the token row mean
//   dec16/dec8 : frame = mean of its input row + pattern(i), pattern(i) = (i % 5) / 8,
//                plus DEC8_OFFSET for dec8
struct ChainSpec {
  bool enc = true, tok = true, step = true, dec16 = true, dec8 = true;
  float tok_bias = 0.0f;
  std::string hist_name = "args_0", atok_name = "args_1";
  bool hist_5d = true;
  std::vector<std::string> extra;  // further trivial signatures
};
void add_chain_signatures(ModelMaker& mk, const ChainSpec& spec);
float dec_pattern(std::size_t i);
inline constexpr float DEC8_OFFSET = 1000.0f;

}  // namespace k2test
