#include "crafted_models.hpp"

#include "base/constants.hpp"

namespace k2test {

namespace {

// Subgraphs of the chain model: enc 0, tok14 1, step 2, dec16 3, dec8 4.
using Graph = ModelMaker::Graph;
Graph graph_of(ModelMaker& mk, int i) {
  return Graph{&mk, i, mk.model.subgraphs[static_cast<std::size_t>(i)].get()};
}

template <typename T>
fmt::BuiltinOptionsUnion options(T t) {
  fmt::BuiltinOptionsUnion u;
  u.Set(std::move(t));
  return u;
}

// A non-entry subgraph whose one operator is CALL_ONCE of subgraph `next`.
int call_once_graph(ModelMaker& mk, int next) {
  auto g = mk.graph("init");
  fmt::CallOnceOptionsT o;
  o.init_subgraph_index = next;
  g.op(fmt::BuiltinOperator::CALL_ONCE, {}, {}, options(o));
  return g.index;
}

// GATHER_ND of a constant [3, 4] at `indices`, in the graph, output unused.
void gather_nd(Graph g, int indices) {
  const int params = g.const_f32("params", {3, 4}, std::vector<float>(12, 1.0f));
  g.op(fmt::BuiltinOperator::GATHER_ND, {params, indices}, {g.tensor("gathered", {1, 4})});
}

}  // namespace

const std::vector<Crafted>& crafted_models() {
  static const std::vector<Crafted> all = {
      {"GatherNdConstantIndex",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 2);
         gather_nd(g, g.const_i32("indices", {1, 2}, {3, 0}));
       },
       "step", "(GATHER_ND): constant index [3, 0] (row 0) lies outside its params shape [3, 4]"},
      {"ScatterNdConstantIndex",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 4);
         const int idx = g.const_i32("indices", {1, 1}, {-1});
         const int upd = g.const_f32("updates", {1, 4}, std::vector<float>(4, 1.0f));
         const int shape = g.const_i32("shape", {2}, {3, 4});
         g.op(fmt::BuiltinOperator::SCATTER_ND, {idx, upd, shape}, {g.tensor("scattered", {3, 4})});
       },
       "dec8", "(SCATTER_ND): constant index [-1] (row 0) lies outside its output shape [3, 4]"},
      {"VariableWithNegativeDimensions",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 0);
         const int v = g.tensor("state", {-1, -1}, fmt::TensorType::UINT8);
         g.sg->tensors[static_cast<std::size_t>(v)]->is_variable = true;
       },
       "enc", "'state' has a negative dimension in its shape [-1, -1]"},
      {"InputOf16TiB",
       [](ModelMaker& mk) {
         graph_of(mk, 1).tensor("vast", {4096, 1024, 1024, 1024});
       },
       "tok14",
       "'vast' of shape [4096, 1024, 1024, 1024] has more elements than the runtime can index"},
      {"WhileRunningItsOwnGraph",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 0);
         fmt::WhileOptionsT o;  // condition and body: subgraph 0, the entry itself
         g.op(fmt::BuiltinOperator::WHILE, {0}, {g.tensor("looped", {1, kinra2::TEMPO_SAMPLES})},
              options(o));
       },
       "enc", "(WHILE) runs subgraph 0 again from within itself"},
      // Admitted: only a limit on the invocation's time can stop it.
      {"WhileWithoutEnd",
       [](ModelMaker& mk) {
         auto cond = mk.graph("always");
         const bool yes = true;
         cond.sg->inputs = {cond.tensor("x", {1, kinra2::TEMPO_SAMPLES})};
         cond.sg->outputs = {cond.tensor("yes", {}, fmt::TensorType::BOOL, mk.buffer(&yes, 1))};
         auto body = mk.graph("same");
         body.sg->inputs = body.sg->outputs = {body.tensor("x", {1, kinra2::TEMPO_SAMPLES})};
         fmt::WhileOptionsT o;
         o.cond_subgraph_index = cond.index;
         o.body_subgraph_index = body.index;
         auto g = graph_of(mk, 0);
         g.op(fmt::BuiltinOperator::WHILE, {0}, {g.tensor("looped", {1, kinra2::TEMPO_SAMPLES})},
              options(o));
       },
       "enc", "has run for 1 s; giving up", "flush"},
      {"CallOnceOfItself",
       [](ModelMaker& mk) {
         const int init = call_once_graph(mk, static_cast<int>(mk.model.subgraphs.size()));
         fmt::CallOnceOptionsT o;
         o.init_subgraph_index = init;
         graph_of(mk, 3).op(fmt::BuiltinOperator::CALL_ONCE, {}, {}, options(o));
       },
       "dec16", "subgraph 5 operator 0 (CALL_ONCE) runs subgraph 5 again"},
      {"ControlFlowTooDeep",
       [](ModelMaker& mk) {
         const int first = static_cast<int>(mk.model.subgraphs.size());
         for (int i = 0; i < 70; ++i) call_once_graph(mk, first + i + 1);
         mk.model.subgraphs.back()->operators.clear();
         fmt::CallOnceOptionsT o;
         o.init_subgraph_index = first;
         graph_of(mk, 1).op(fmt::BuiltinOperator::CALL_ONCE, {}, {}, options(o));
       },
       "tok14", "nests control flow deeper than 64 subgraphs"},
      {"IfOfAMissingSubgraph",
       [](ModelMaker& mk) {
         fmt::IfOptionsT o;
         o.then_subgraph_index = 99;
         auto g = graph_of(mk, 1);
         g.op(fmt::BuiltinOperator::IF, {g.const_i32("cond", {}, {1})}, {}, options(o));
       },
       "tok14", "subgraph 1 operator 1 (IF) names subgraph 99 of 5"},
      {"OperatorCodeOutOfRange",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 3);
         g.op(fmt::BuiltinOperator::ADD, {0, 0}, {0});
         g.sg->operators.back()->opcode_index = 99;
       },
       "dec16", "subgraph 3 operator 2 names operator code 99 of"},
      {"TensorIndexOutOfRange",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 4);
         g.op(fmt::BuiltinOperator::ADD, {0, 999}, {0});
       },
       "dec8", "subgraph 4 operator 3 (ADD) input 1 names tensor 999 of"},
      {"ConvolutionWithoutInputChannels",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 0);
         const int x = g.tensor("image", {1, 2, 2, 2});
         const int w = g.tensor("weights", {1, 1, 1, 0});
         g.op(fmt::BuiltinOperator::CONV_2D, {x, w, -1}, {g.tensor("conv", {1, 2, 2, 1})},
              options(fmt::Conv2DOptionsT{}));
       },
       "enc", "(CONV_2D): filter 'weights' of shape [1, 1, 1, 0] has no input channels"},
      // Computed at run time: the host's kernel refuses it as the chunk runs.
      {"GatherNdComputedIndex",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 0);
         const int a = g.const_i32("a", {1, 2}, {1, 0});
         const int b = g.const_i32("b", {1, 2}, {5, 0});
         const int sum = g.tensor("sum", {1, 2}, fmt::TensorType::INT32);
         g.op(fmt::BuiltinOperator::ADD, {a, b}, {sum}, options(fmt::AddOptionsT{}));
         gather_nd(g, sum);
       },
       "enc",
       "GATHER_ND index [6, 0] (row 0) lies outside its params shape [3, 4]; Node number 2 "
       "(GATHER_ND) failed to invoke",
       "flush"},
      // The runtime's own refusals carry its reason.
      {"OperatorVersionUnknown",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 0);
         gather_nd(g, g.const_i32("indices", {1, 2}, {0, 0}));
         mk.model.operator_codes.back()->version = 9;
       },
       "enc", "cannot create an interpreter for signature 'enc' of '"},
      {"TensorsBeyondMemory",
       [](ModelMaker& mk) {
         auto g = graph_of(mk, 1);
         const int v = g.tensor("vast_state", {2147483647});
         g.sg->tensors[static_cast<std::size_t>(v)]->is_variable = true;
       },
       "tok14", "out of memory; its largest tensor 'vast_state' asks for 8589934588 bytes", "",
       true},
  };
  return all;
}

ModelMaker crafted_model(const Crafted& c) {
  ModelMaker mk;
  add_chain_signatures(mk, {});
  c.edit(mk);
  return mk;
}

}  // namespace k2test
