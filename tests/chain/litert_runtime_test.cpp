#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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

  const InputArg wrong_type[] = {{"x", kTfLiteInt32, shape, iv.data(), 12},
                                 {"y", kTfLiteFloat32, shape, v.data(), 12}};
  EXPECT_THROW(sub->set_inputs(wrong_type), std::invalid_argument);
  const InputArg unknown[] = {{"x", kTfLiteFloat32, shape, v.data(), 12},
                              {"z", kTfLiteFloat32, shape, v.data(), 12}};
  EXPECT_THROW(sub->set_inputs(unknown), std::invalid_argument);
  const InputArg short_data[] = {{"y", kTfLiteFloat32, shape, v.data(), 12},
                                 {"x", kTfLiteFloat32, shape, v.data(), 8}};
  EXPECT_THROW(sub->set_inputs(short_data), std::invalid_argument);

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
  const InputArg twice_x[] = {{"x", kTfLiteFloat32, shape, v.data(), 12},
                              {"x", kTfLiteFloat32, shape, v.data(), 12}};
  EXPECT_THROW(sub->set_inputs(twice_x), std::invalid_argument);
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
  auto put = [&](const std::string& name, const void* p, std::size_t n) {
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(p),
                                                static_cast<std::streamsize>(n));
    return path;
  };

  const std::string missing = dir.file("absent.tflite");
  EXPECT_THAT(error_of(missing), HasSubstr(missing));
  const std::string empty = put("empty.tflite", "", 0);
  EXPECT_THAT(error_of(empty), HasSubstr(empty));
  std::string junk(4096, '\x5a');
  const std::string garbage = put("junk.tflite", junk.data(), junk.size());
  EXPECT_THAT(error_of(garbage), AllOf(HasSubstr(garbage), HasSubstr("not a valid model")));
  const std::string cut = put("cut.tflite", good.data(), good.size() / 2);
  EXPECT_THAT(error_of(cut), AllOf(HasSubstr(cut), HasSubstr("not a valid model")));
  // A flipped root offset must not be followed out of the file.
  auto flipped = good;
  flipped[2] ^= 0x7f;
  const std::string bad_root = put("root.tflite", flipped.data(), flipped.size());
  EXPECT_THAT(error_of(bad_root), HasSubstr(bad_root));

  // Without signature definitions a model is valid but offers nothing.
  ModelMaker plain = arith_model();
  plain.model.signature_defs.clear();
  const std::string nosig = plain.write(dir.file("nosig.tflite"));
  EXPECT_TRUE(LitertModel(nosig, 1).signature_keys().empty());

  ModelMaker body_first = arith_model();
  std::swap(body_first.model.subgraphs[0], body_first.model.subgraphs[1]);
  body_first.model.signature_defs[0]->subgraph_index = 1;
  const std::string b0 = body_first.write(dir.file("body0.tflite"));
  EXPECT_THAT(error_of(b0), AllOf(HasSubstr(b0), HasSubstr("primary subgraph")));

  ModelMaker far = arith_model();
  far.model.signature_defs[1]->subgraph_index = 9;
  const std::string f = far.write(dir.file("far.tflite"));
  EXPECT_THAT(error_of(f), AllOf(HasSubstr(f), HasSubstr("subgraph 9")));

  ModelMaker stray = arith_model();
  stray.model.signature_defs[0]->inputs[0]->tensor_index = 2;  // an output, not an input
  const std::string st = stray.write(dir.file("stray.tflite"));
  EXPECT_THAT(error_of(st), HasSubstr(st));
}
