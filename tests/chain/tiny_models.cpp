#include "tiny_models.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <flatbuffers/flatbuffers.h>

#include "base/constants.hpp"

namespace k2test {

using namespace kinra2;

ModelMaker::ModelMaker() {
  model.version = 3;
  model.buffers.push_back(std::make_unique<fmt::BufferT>());  // the empty sentinel
}

ModelMaker::Graph ModelMaker::graph(const std::string& name) {
  auto sg = std::make_unique<fmt::SubGraphT>();
  sg->name = name;
  Graph g{this, static_cast<int>(model.subgraphs.size()), sg.get()};
  model.subgraphs.push_back(std::move(sg));
  return g;
}

int ModelMaker::buffer(const void* data, std::size_t n) {
  auto b = std::make_unique<fmt::BufferT>();
  b->data.resize(n);
  std::memcpy(b->data.data(), data, n);
  model.buffers.push_back(std::move(b));
  return static_cast<int>(model.buffers.size() - 1);
}

int ModelMaker::opcode(fmt::BuiltinOperator code) {
  for (std::size_t i = 0; i < model.operator_codes.size(); ++i)
    if (model.operator_codes[i]->builtin_code == code) return static_cast<int>(i);
  auto oc = std::make_unique<fmt::OperatorCodeT>();
  oc->builtin_code = code;
  // The narrow field saturates at the placeholder for the larger codes.
  oc->deprecated_builtin_code = static_cast<int8_t>(std::min(static_cast<int>(code), 127));
  oc->version = 1;
  model.operator_codes.push_back(std::move(oc));
  return static_cast<int>(model.operator_codes.size() - 1);
}

int ModelMaker::Graph::tensor(const std::string& name, std::vector<int> shape, fmt::TensorType type,
                              int buf) {
  auto t = std::make_unique<fmt::TensorT>();
  t->name = name;
  t->shape = std::move(shape);
  t->type = type;
  t->buffer = static_cast<uint32_t>(buf);
  sg->tensors.push_back(std::move(t));
  return static_cast<int>(sg->tensors.size() - 1);
}

int ModelMaker::Graph::const_f32(const std::string& name, std::vector<int> shape,
                                 const std::vector<float>& v) {
  return tensor(name, std::move(shape), fmt::TensorType::FLOAT32,
                mk->buffer(v.data(), v.size() * sizeof(float)));
}

int ModelMaker::Graph::const_i32(const std::string& name, std::vector<int> shape,
                                 const std::vector<int>& v) {
  return tensor(name, std::move(shape), fmt::TensorType::INT32,
                mk->buffer(v.data(), v.size() * sizeof(int)));
}

void ModelMaker::Graph::op(fmt::BuiltinOperator code, std::vector<int> in, std::vector<int> out,
                           fmt::BuiltinOptionsUnion opts) {
  auto o = std::make_unique<fmt::OperatorT>();
  o->opcode_index = static_cast<uint32_t>(mk->opcode(code));
  o->inputs = std::move(in);
  o->outputs = std::move(out);
  o->builtin_options = std::move(opts);
  sg->operators.push_back(std::move(o));
}

int ModelMaker::Graph::mean(int x, std::vector<int> axes, bool keep, std::vector<int> out_shape,
                            const std::string& name) {
  const int ax = const_i32(name + "/axes", {static_cast<int>(axes.size())}, axes);
  const int out = tensor(name, std::move(out_shape));
  fmt::BuiltinOptionsUnion u;
  fmt::ReducerOptionsT r;
  r.keep_dims = keep;
  u.Set(std::move(r));
  op(fmt::BuiltinOperator::MEAN, {x, ax}, {out}, std::move(u));
  return out;
}

int ModelMaker::Graph::reshape(int x, std::vector<int> to, const std::string& name) {
  const int sh = const_i32(name + "/shape", {static_cast<int>(to.size())}, to);
  const int out = tensor(name, to);
  fmt::BuiltinOptionsUnion u;
  fmt::ReshapeOptionsT r;
  r.new_shape = to;
  u.Set(std::move(r));
  op(fmt::BuiltinOperator::RESHAPE, {x, sh}, {out}, std::move(u));
  return out;
}

int ModelMaker::Graph::add(int a, int b, std::vector<int> out_shape, const std::string& name) {
  const int out = tensor(name, std::move(out_shape));
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::AddOptionsT{});
  op(fmt::BuiltinOperator::ADD, {a, b}, {out}, std::move(u));
  return out;
}

void ModelMaker::signature(const std::string& key, const Graph& g,
                           std::vector<std::pair<std::string, int>> inputs,
                           std::vector<std::pair<std::string, int>> outputs) {
  auto sd = std::make_unique<fmt::SignatureDefT>();
  sd->signature_key = key;
  sd->subgraph_index = static_cast<uint32_t>(g.index);
  auto maps = [](auto& dst, const auto& src) {
    for (const auto& [name, idx] : src) {
      auto tm = std::make_unique<fmt::TensorMapT>();
      tm->name = name;
      tm->tensor_index = static_cast<uint32_t>(idx);
      dst.push_back(std::move(tm));
    }
  };
  maps(sd->inputs, inputs);
  maps(sd->outputs, outputs);
  model.signature_defs.push_back(std::move(sd));
}

std::vector<std::uint8_t> ModelMaker::bytes() const {
  flatbuffers::FlatBufferBuilder fbb;
  fmt::FinishModelBuffer(fbb, fmt::Model::Pack(fbb, &model));
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

std::string ModelMaker::write(const std::string& path) const {
  const auto b = bytes();
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
  return path;
}

float dec_pattern(std::size_t i) {
  return static_cast<float>(i % 5) / 8.0f;
}

void add_chain_signatures(ModelMaker& mk, const ChainSpec& spec) {
  if (spec.enc) {
    auto g = mk.graph("enc");
    const int x = g.tensor("tempo", {1, TEMPO_SAMPLES});
    const int y = g.mean(x, {1}, true, {1, 1}, "feat");
    g.sg->inputs = {x};
    g.sg->outputs = {y};
    mk.signature("enc", g, {{"args_0", x}}, {{"output_0", y}});
  }
  if (spec.tok) {
    auto g = mk.graph("tok14");
    const int x = g.tensor("feat", {1, 1});
    std::vector<float> rows(std::size_t{14} * NA * CA);
    for (std::size_t i = 0; i < rows.size(); ++i)
      rows[i] = static_cast<float>(i / (std::size_t{NA} * CA)) + spec.tok_bias;
    const int c = g.const_f32("rows", {14, NA, CA}, rows);
    const int y = g.add(x, c, {14, NA, CA}, "tokens");
    g.sg->inputs = {x};
    g.sg->outputs = {y};
    mk.signature("tok14", g, {{"args_0", x}}, {{"output_0", y}});
  }
  if (spec.step) {
    auto g = mk.graph("step");
    const int h =
        spec.hist_5d ? g.tensor("hist", {1, LC, CTX, LH, LW}) : g.tensor("hist", {LC, CTX, PLANE});
    const int a = g.tensor("atok", {1, NA, CA});
    const int h3 = g.reshape(h, {LC, CTX, PLANE}, "hist3");
    const int hm = g.mean(h3, {1}, false, {LC, PLANE}, "hist_mean");
    const int am = g.mean(a, {1, 2}, true, {1, 1, 1}, "atok_mean");
    const int am2 = g.reshape(am, {1, 1}, "atok_mean2");
    const int s = g.add(hm, am2, {LC, PLANE}, "sum");
    const int y = g.reshape(s, {LC, LH, LW}, "latent");
    g.sg->inputs = {h, a};
    g.sg->outputs = {y};
    // Listed in the opposite order to the graph's inputs on purpose.
    mk.signature("step", g, {{spec.atok_name, a}, {spec.hist_name, h}}, {{"output_0", y}});
  }
  int pattern_buf = -1;
  for (int B : {16, 8}) {
    if ((B == 16 && !spec.dec16) || (B == 8 && !spec.dec8)) continue;
    if (pattern_buf < 0) {
      std::vector<float> p(std::size_t{3} * FH * FW);
      for (std::size_t i = 0; i < p.size(); ++i) p[i] = dec_pattern(i);
      pattern_buf = mk.buffer(p.data(), p.size() * sizeof(float));
    }
    auto g = mk.graph("dec" + std::to_string(B));
    const int x = g.tensor("xs", {B, 2 * LC + 4, LH, LW});
    const int m = g.mean(x, {1, 2, 3}, true, {B, 1, 1, 1}, "row_mean");
    const int c = g.tensor("pattern", {1, 3, FH, FW}, fmt::TensorType::FLOAT32, pattern_buf);
    int y = g.add(m, c, {B, 3, FH, FW}, "frames");
    if (B == 8) {  // tells the two decoders apart in the frames
      const int off = g.const_f32("dec8_offset", {1}, {DEC8_OFFSET});
      y = g.add(y, off, {B, 3, FH, FW}, "frames8");
    }
    g.sg->inputs = {x};
    g.sg->outputs = {y};
    mk.signature("dec" + std::to_string(B), g, {{"args_0", x}}, {{"output_0", y}});
  }
  for (const std::string& key : spec.extra) {
    auto g = mk.graph(key);
    const int x = g.tensor("x", {2});
    const int y = g.add(x, x, {2}, "twice");
    g.sg->inputs = {x};
    g.sg->outputs = {y};
    mk.signature(key, g, {{"args_0", x}}, {{"output_0", y}});
  }
}

}  // namespace k2test
