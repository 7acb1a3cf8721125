#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "chain/litert_runtime.hpp"
#include "tiny_models.hpp"

using namespace kinra2::chain;
using k2test::ModelMaker;
using k2test::TempDir;
namespace fmt = kinra2::fmt;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Subgraph 0 "sub" (signature inputs listed y, x against graph inputs x, y;
// output x - y), subgraph 1 a body no signature names, subgraph 2 "twice".
ModelMaker arith_model() {
  ModelMaker mk;
  auto g = mk.graph("sub");
  const int x = g.tensor("x", {3});
  const int y = g.tensor("y", {3});
  const int d = g.tensor("d", {3});
  fmt::BuiltinOptionsUnion u;
  u.Set(fmt::SubOptionsT{});
  g.op(fmt::BuiltinOperator::SUB, {x, y}, {d}, std::move(u));
  g.sg->inputs = {x, y};
  g.sg->outputs = {d};
  mk.signature("sub", g, {{"y", y}, {"x", x}}, {{"diff", d}});

  auto body = mk.graph("body");
  const int b = body.tensor("b", {1});
  body.sg->inputs = {b};
  body.sg->outputs = {b};

  auto t = mk.graph("twice");
  const int a = t.tensor("a", {2});
  const int s = t.add(a, a, {2}, "s");
  t.sg->inputs = {a};
  t.sg->outputs = {s};
  mk.signature("twice", t, {{"args_0", a}}, {{"output_0", s}});
  return mk;
}

std::vector<float> read_f32(const TensorRef& r) {
  const auto* p = static_cast<const float*>(r.data);
  return {p, p + r.nbytes / sizeof(float)};
}

std::vector<float> run_sub(SignatureRunner& r, std::vector<float> x, std::vector<float> y,
                           std::vector<int> shape) {
  const InputArg in[] = {{"x", kTfLiteFloat32, shape, x.data(), x.size() * 4},
                         {"y", kTfLiteFloat32, shape, y.data(), y.size() * 4}};
  r.set_inputs(in);
  r.invoke();
  return read_f32(r.output("diff"));
}

std::string error_of(const std::string& path) {
  try {
    LitertModel m(path, 1);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(LitertRuntime, SignaturesMapNamesToTheirGraphTensors) {
  TempDir dir;
  LitertModel m(arith_model().write(dir.file("arith.tflite")), 1);
  EXPECT_THAT(m.signature_keys(), ElementsAre("sub", "twice"));

  auto sub = m.runner("sub");
  EXPECT_THAT(sub->input_names(), ElementsAre("y", "x"));
  const auto details = sub->input_details();
  ASSERT_EQ(details.size(), 2u);
  EXPECT_EQ(details[0].name, "y");
  EXPECT_EQ(details[0].type, kTfLiteFloat32);
  EXPECT_THAT(details[0].shape, ElementsAre(3));
  // x - y, whatever order the inputs are listed or given in.
  EXPECT_THAT(run_sub(*sub, {5, 6, 7}, {1, 2, 3}, {3}), ElementsAre(4, 4, 4));

  // A signature whose entry is not subgraph 0 runs as its own primary graph.
  auto twice = m.runner("twice");
  std::vector<float> a{1.5f, -2};
  const std::vector<int> two{2};
  const InputArg in{"args_0", kTfLiteFloat32, two, a.data(), 8};
  twice->set_inputs({&in, 1});
  twice->invoke();
  EXPECT_THAT(read_f32(twice->output("output_0")), ElementsAre(3.0f, -4.0f));
  EXPECT_THROW(m.runner("nope"), std::out_of_range);
}

TEST(LitertRuntime, InputsAdoptNewShapes) {
  TempDir dir;
  LitertModel m(arith_model().write(dir.file("arith.tflite")), 2);
  auto sub = m.runner("sub");
  EXPECT_THAT(run_sub(*sub, {1, 2, 3, 4}, {1, 1, 1, 1}, {2, 2}), ElementsAre(0, 1, 2, 3));
  EXPECT_THAT(sub->output("diff").shape, ElementsAre(2, 2));
  EXPECT_THAT(sub->input_details()[1].shape, ElementsAre(2, 2));
  // And back again.
  EXPECT_THAT(run_sub(*sub, {9, 9, 9}, {1, 2, 3}, {3}), ElementsAre(8, 7, 6));
}

TEST(LitertRuntime, BadInputsFailCleanly) {
  TempDir dir;
  LitertModel m(arith_model().write(dir.file("arith.tflite")), 1);
  auto sub = m.runner("sub");
  std::vector<float> v(3, 1.0f);
  std::vector<int> iv(3, 1);
  std::vector<int> shape{3};

  // A wrong type, an unknown name, short data, an input given twice.
  const std::vector<std::vector<InputArg>> refused = {
      {{"x", kTfLiteInt32, shape, iv.data(), 12}, {"y", kTfLiteFloat32, shape, v.data(), 12}},
      {{"x", kTfLiteFloat32, shape, v.data(), 12}, {"z", kTfLiteFloat32, shape, v.data(), 12}},
      {{"y", kTfLiteFloat32, shape, v.data(), 12}, {"x", kTfLiteFloat32, shape, v.data(), 8}},
      {{"x", kTfLiteFloat32, shape, v.data(), 12}, {"x", kTfLiteFloat32, shape, v.data(), 12}},
  };
  for (std::size_t i = 0; i < refused.size(); ++i)
    EXPECT_THROW(sub->set_inputs(refused[i]), std::invalid_argument) << "case " << i;

  // Every input must be given, once: one left out would run on whatever its
  // tensor held from the previous call.
  EXPECT_THAT(run_sub(*sub, {5, 5, 5}, {1, 2, 3}, {3}), ElementsAre(4, 3, 2));
  const InputArg only_x[] = {{"x", kTfLiteFloat32, shape, v.data(), 12}};
  try {
    sub->set_inputs(only_x);
    FAIL() << "a missing input was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "signature 'sub' takes the inputs ['y', 'x'], got ['x']");
  }
  EXPECT_THROW(sub->input_buffer("x", kTfLiteFloat32, shape, 12), std::invalid_argument);

  // Shapes the graph cannot take: the runtime's own words come back.
  std::vector<float> two(2, 1.0f);
  const std::vector<int> shape2{2};
  const InputArg clash[] = {{"x", kTfLiteFloat32, shape, v.data(), 12},
                            {"y", kTfLiteFloat32, shape2, two.data(), 8}};
  try {
    sub->set_inputs(clash);
    sub->invoke();
    FAIL() << "mismatched shapes were accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("broadcast"));
  }
  // The runner recovers once given sound inputs.
  EXPECT_THAT(run_sub(*sub, {3, 3, 3}, {1, 1, 1}, {3}), ElementsAre(2, 2, 2));
}

TEST(LitertRuntime, MappedAndReadFilesAgreeAndOutliveTheFile) {
  TempDir dir;
  // Enough signatures that their prefixes overflow the first page in front.
  ModelMaker mk;
  for (int i = 0; i < 40; ++i) {
    auto g = mk.graph();
    const int a = g.tensor("a", {1});
    const int c = g.const_f32("c", {1}, {static_cast<float>(i)});
    const int s = g.add(a, c, {1}, "s");
    g.sg->inputs = {a};
    g.sg->outputs = {s};
    mk.signature("k" + std::to_string(i), g, {{"args_0", a}}, {{"output_0", s}});
  }
  const std::string path = mk.write(dir.file("many.tflite"));
  const std::vector<int> scalar1{1};
  for (auto how : {LitertModel::Load::Map, LitertModel::Load::Read}) {
    LitertModel m(path, 1, how);
    ASSERT_EQ(m.signature_keys().size(), 40u);
    for (int i : {0, 17, 39}) {
      auto r = m.runner("k" + std::to_string(i));
      float one = 1.0f;
      const InputArg in{"args_0", kTfLiteFloat32, scalar1, &one, 4};
      r->set_inputs({&in, 1});
      r->invoke();
      EXPECT_EQ(read_f32(r->output("output_0"))[0], 1.0f + i);
    }
  }
  LitertModel kept(path, 1);
  std::remove(path.c_str());
  auto r = kept.runner("k5");
  float one = 1.0f;
  const InputArg in{"args_0", kTfLiteFloat32, scalar1, &one, 4};
  r->set_inputs({&in, 1});
  r->invoke();
  EXPECT_EQ(read_f32(r->output("output_0"))[0], 6.0f);
}

TEST(LitertRuntime, UnusableFilesAreRefusedByName) {
  TempDir dir;
  const auto good = arith_model().bytes();
  auto raw = [](std::vector<std::uint8_t> b) {
    return [b](const std::string& path) {
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    };
  };
  auto edited = [](void (*edit)(ModelMaker&)) {
    return [edit](const std::string& path) {
      ModelMaker mk = arith_model();
      edit(mk);
      mk.write(path);
    };
  };
  auto flipped_root = good;
  flipped_root[2] ^= 0x7f;  // must not be followed out of the file
  struct Case {
    const char* name;
    std::function<void(const std::string&)> write;  // leaves the file absent when empty
    const char* phrase;
  };
  const Case cases[] = {
      {"absent.tflite", {}, "cannot open LiteRT model '"},
      {"empty.tflite", raw({}), "is not a valid model (too short)"},
      {"junk.tflite", raw(std::vector<std::uint8_t>(4096, 0x5a)), "not a valid model"},
      {"cut.tflite", raw({good.begin(), good.begin() + std::ptrdiff_t(good.size() / 2)}),
       "not a valid model"},
      {"root.tflite", raw(flipped_root), ""},
      {"body0.tflite", edited([](ModelMaker& mk) {
         std::swap(mk.model.subgraphs[0], mk.model.subgraphs[1]);
         mk.model.signature_defs[0]->subgraph_index = 1;
       }),
       "primary subgraph"},
      {"far.tflite", edited([](ModelMaker& mk) { mk.model.signature_defs[1]->subgraph_index = 9; }),
       "subgraph 9"},
      {"stray.tflite", edited([](ModelMaker& mk) {
         mk.model.signature_defs[0]->inputs[0]->tensor_index = 2;  // an output, not an input
       }),
       "is not an input of its subgraph"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file(c.name);
    if (c.write) c.write(path);
    EXPECT_THAT(error_of(path), AllOf(HasSubstr(path), HasSubstr(c.phrase))) << c.name;
  }

  // Without signature definitions a model is valid but offers nothing.
  ModelMaker plain = arith_model();
  plain.model.signature_defs.clear();
  EXPECT_TRUE(LitertModel(plain.write(dir.file("nosig.tflite")), 1).signature_keys().empty());
}
