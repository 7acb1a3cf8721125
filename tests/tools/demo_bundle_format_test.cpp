// What make_demo_bundle writes: members, model structure against the chain's
// signature contract, manifests the bundle loader and int8 gate accept, and
// byte-identical output from run to run.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "bundle/q8gd_internal.hpp"
#include "base/constants.hpp"
#include "demo_bundle_support.hpp"
#include "image/color_correct.hpp"

using namespace kinra2;
namespace fmt = kinra2::fmt;
using k2test::fs::path;
using Shape = std::vector<int>;

namespace {

std::set<std::string> listing(const path& dir) {
  std::set<std::string> names;
  for (const auto& e : k2test::fs::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

nlohmann::json read_json(const path& p) {
  const auto b = k2test::read_bytes(p);
  return nlohmann::json::parse(b.begin(), b.end());
}

struct Sig {
  std::map<std::string, Shape> in, out;
  std::uint32_t subgraph;
};

// Signatures of a verified model, keyed by name, in file order in `order`.
std::map<std::string, Sig> signatures(const fmt::ModelT& m,
                                      std::vector<std::string>* order = nullptr) {
  std::map<std::string, Sig> out;
  for (const auto& sd : m.signature_defs) {
    Sig s;
    s.subgraph = sd->subgraph_index;
    const auto& sg = *m.subgraphs.at(sd->subgraph_index);
    for (const auto& tm : sd->inputs) {
      s.in[tm->name] = sg.tensors.at(tm->tensor_index)->shape;
      EXPECT_NE(std::find(sg.inputs.begin(), sg.inputs.end(), static_cast<int>(tm->tensor_index)),
                sg.inputs.end());
    }
    for (const auto& tm : sd->outputs) s.out[tm->name] = sg.tensors.at(tm->tensor_index)->shape;
    if (order) order->push_back(sd->signature_key);
    out[sd->signature_key] = s;
  }
  return out;
}

long long count(const Shape& s) {
  long long n = 1;
  for (int d : s) n *= d;
  return n;
}

std::unique_ptr<fmt::ModelT> load(const path& p) {
  auto m = k2test::unpack_model(k2test::read_bytes(p));
  EXPECT_TRUE(m) << p << " is not a valid model";
  return m;
}

// Checks each named signature against the contract the chain relies on.
void expect_contract(const std::map<std::string, Sig>& sigs,
                     const std::vector<std::string>& names) {
  for (const auto& n : names) ASSERT_TRUE(sigs.count(n)) << "missing " << n;
  if (sigs.count("enc")) {
    EXPECT_EQ(sigs.at("enc").in, (std::map<std::string, Shape>{{"args_0", {1, TEMPO_SAMPLES}}}));
    ASSERT_TRUE(sigs.at("enc").out.count("output_0"));
  }
  if (sigs.count("enc") && sigs.count("tok14")) {
    EXPECT_EQ(sigs.at("tok14").in.at("args_0"), sigs.at("enc").out.at("output_0"));
  }
  if (sigs.count("tok14")) {
    EXPECT_EQ(count(sigs.at("tok14").out.at("output_0")), 14LL * NA * CA);
  }
  if (sigs.count("step")) {
    const auto& in = sigs.at("step").in;
    ASSERT_EQ(in.size(), 2u);
    ASSERT_TRUE(in.count("args_0") && in.count("args_1"));
    const Shape hist{1, LC, CTX, LH, LW}, atok{1, NA, CA};
    EXPECT_TRUE((in.at("args_0") == hist && in.at("args_1") == atok) ||
                (in.at("args_1") == hist && in.at("args_0") == atok));
    EXPECT_EQ(count(sigs.at("step").out.at("output_0")), 1LL * LC * PLANE);
  }
  for (int b : {16, 8}) {
    const std::string key = "dec" + std::to_string(b);
    if (!sigs.count(key)) continue;
    EXPECT_EQ(sigs.at(key).in, (std::map<std::string, Shape>{{"args_0", {b, 36, LH, LW}}}));
    EXPECT_EQ(sigs.at(key).out, (std::map<std::string, Shape>{{"output_0", {b, 3, FH, FW}}}));
  }
}

// Every signature has a subgraph of its own, the primary subgraph is one of
// them, and only operator versions the 2.9 runtime registers are used.
void expect_runnable_layout(const fmt::ModelT& m) {
  std::set<std::uint32_t> seen;
  for (const auto& sd : m.signature_defs) EXPECT_TRUE(seen.insert(sd->subgraph_index).second);
  EXPECT_TRUE(seen.count(0));
  const std::map<fmt::BuiltinOperator, int> max_version = {
      {fmt::BuiltinOperator::ADD, 4},
      {fmt::BuiltinOperator::MUL, 5},
      {fmt::BuiltinOperator::CONCATENATION, 3},
      {fmt::BuiltinOperator::CONV_2D, 5},
      {fmt::BuiltinOperator::DEPTH_TO_SPACE, 2},
      {fmt::BuiltinOperator::DEQUANTIZE, 4},
      {fmt::BuiltinOperator::QUANTIZE, 3},
      {fmt::BuiltinOperator::FULLY_CONNECTED, 9},
      {fmt::BuiltinOperator::LOGISTIC, 3},
      {fmt::BuiltinOperator::RESHAPE, 1},
      {fmt::BuiltinOperator::TRANSPOSE, 5},
      {fmt::BuiltinOperator::STRIDED_SLICE, 5},
      {fmt::BuiltinOperator::SQRT, 1},
      {fmt::BuiltinOperator::FLOOR_MOD, 1},
      {fmt::BuiltinOperator::MAXIMUM, 4},
      {fmt::BuiltinOperator::ABS, 1},
      {fmt::BuiltinOperator::REDUCE_MAX, 1},
  };
  for (const auto& oc : m.operator_codes) {
    ASSERT_TRUE(max_version.count(oc->builtin_code))
        << "unexpected op " << static_cast<int>(oc->builtin_code);
    EXPECT_GE(oc->version, 1);
    EXPECT_LE(oc->version, max_version.at(oc->builtin_code))
        << fmt::EnumNameBuiltinOperator(oc->builtin_code);
    EXPECT_EQ(oc->deprecated_builtin_code, static_cast<std::int8_t>(oc->builtin_code));
  }
}

}  // namespace

TEST(DemoBundle, DefaultBundleCarriesCanonAndCombinedModel) {
  k2test::TempDir d;
  ASSERT_EQ(k2test::run_tool(d.path().string()), 0);
  EXPECT_EQ(listing(d.path()), (std::set<std::string>{"canon.bin", "combined_litert.tflite"}));
  EXPECT_EQ(k2test::fs::file_size(d.path() / "canon.bin"),
            static_cast<std::uintmax_t>(LC) * PLANE * 4);

  auto m = load(d.path() / "combined_litert.tflite");
  ASSERT_TRUE(m);
  std::vector<std::string> order;
  const auto sigs = signatures(*m, &order);
  EXPECT_EQ(order, (std::vector<std::string>{"enc", "tok14", "step", "dec16", "dec8"}));
  expect_contract(sigs, order);
  expect_runnable_layout(*m);
}

TEST(DemoBundle, SplitBundleBindsItsEncoderByContent) {
  k2test::TempDir d;
  ASSERT_EQ(k2test::run_tool(d.path().string(), "--split"), 0);
  EXPECT_EQ(listing(d.path()), (std::set<std::string>{"canon.bin", "identity.tflite",
                                                      "manifest.json", "shared-enc.tflite"}));

  auto enc = load(d.path() / "shared-enc.tflite");
  auto id = load(d.path() / "identity.tflite");
  ASSERT_TRUE(enc && id);
  std::vector<std::string> enc_order, id_order;
  auto enc_sigs = signatures(*enc, &enc_order), id_sigs = signatures(*id, &id_order);
  EXPECT_EQ(enc_order, (std::vector<std::string>{"enc", "tok14"}));
  EXPECT_EQ(id_order, (std::vector<std::string>{"step", "dec16", "dec8"}));
  expect_runnable_layout(*enc);
  expect_runnable_layout(*id);
  enc_sigs.insert(id_sigs.begin(), id_sigs.end());
  expect_contract(enc_sigs, {"enc", "tok14", "step", "dec16", "dec8"});

  const nlohmann::json want = {
      {"dependencies",
       {{{"id", "kinra2-shared-enc"},
         {"sha256", k2test::sha256_hex(k2test::read_bytes(d.path() / "shared-enc.tflite"))}}}}};
  EXPECT_EQ(read_json(d.path() / "manifest.json"), want);
}

TEST(DemoBundle, Int8VariantIsBoundToTheCombinedModel) {
  k2test::TempDir d;
  ASSERT_EQ(k2test::run_tool(d.path().string(), "--q8gd"), 0);
  EXPECT_EQ(listing(d.path()),
            (std::set<std::string>{"canon.bin", "combined_litert.tflite",
                                   "combined_litert_q8gd.tflite", "manifest.json"}));
  auto q = load(d.path() / "combined_litert_q8gd.tflite");
  ASSERT_TRUE(q);
  std::vector<std::string> order;
  expect_contract(signatures(*q, &order), {"enc", "tok14", "step", "dec16", "dec8"});
  expect_runnable_layout(*q);
  // The decoders compute on int8 activations (one scale per tensor).
  const auto sigs = signatures(*q);
  for (const char* key : {"dec16", "dec8"}) {
    const auto& sg = *q->subgraphs[sigs.at(key).subgraph];
    EXPECT_TRUE(std::any_of(sg.tensors.begin(), sg.tensors.end(), [](const auto& t) {
      return t->type == fmt::TensorType::INT8 && t->buffer == 0 && t->quantization &&
             t->quantization->scale.size() == 1;
    })) << key;
  }

  const auto manifest = read_json(d.path() / "manifest.json");
  const std::string cs =
      k2test::sha256_hex(k2test::read_bytes(d.path() / "combined_litert.tflite"));
  const std::string qs =
      k2test::sha256_hex(k2test::read_bytes(d.path() / "combined_litert_q8gd.tflite"));
  EXPECT_NE(cs, qs);
  EXPECT_EQ(manifest["members_sha256"],
            (nlohmann::json{{"combined_litert.tflite", cs}, {"combined_litert_q8gd.tflite", qs}}));
  // The gate accepts the declaration as bound, on the runtime we link.
  const auto bound = bundle::detail::q8gd_bound(manifest);
  EXPECT_EQ(bound.value, qs) << bound.note;
  EXPECT_TRUE(bundle::detail::q8gd_runtime_ok(manifest, bundle::litert_runtime_version()).first);
}

TEST(DemoBundle, ColourTableIsAcceptedAsGainBias) {
  k2test::TempDir d;
  ASSERT_EQ(k2test::run_tool(d.path().string(), "--color"), 0);
  EXPECT_TRUE(listing(d.path()).count("color.json"));
  const auto b = k2test::read_bytes(d.path() / "color.json");
  const auto [cc, why] = image::parse_color_correct(
      std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  ASSERT_TRUE(cc.has_value()) << why;
  EXPECT_EQ(cc->describe(), "per-channel gain=[1.04, 1.0, 0.94] bias=[3.0, 1.0, -4.0]");
}

TEST(DemoBundle, OutputIsByteIdenticalAcrossRuns) {
  for (const char* flags : {"--q8gd --color", "--split --heavy"}) {
    k2test::TempDir a, b;
    ASSERT_EQ(k2test::run_tool(a.path().string(), flags), 0);
    ASSERT_EQ(k2test::run_tool(b.path().string(), flags), 0);
    ASSERT_EQ(listing(a.path()), listing(b.path()));
    for (const auto& name : listing(a.path()))
      EXPECT_TRUE(k2test::read_bytes(a.path() / name) == k2test::read_bytes(b.path() / name))
          << flags << ": " << name;
  }
}

// The exact identity keeps to operators that give every value with at most
// one rounding, never a sum of products: the same bits on every processor,
// which the arm64 comparison relies on.
TEST(DemoBundle, ExactBundleUsesOnlyExactOperators) {
  k2test::TempDir d;
  ASSERT_EQ(k2test::run_tool(d.path().string(), "--exact"), 0);
  auto m = load(d.path() / "combined_litert.tflite");
  ASSERT_TRUE(m);
  std::vector<std::string> order;
  const auto sigs = signatures(*m, &order);
  expect_contract(sigs, order);
  expect_runnable_layout(*m);
  using Op = fmt::BuiltinOperator;
  const std::set<Op> exact = {
      Op::RESHAPE, Op::STRIDED_SLICE, Op::CONCATENATION, Op::TRANSPOSE, Op::DEPTH_TO_SPACE,
      Op::ABS,     Op::REDUCE_MAX,    Op::MAXIMUM,       Op::FLOOR_MOD, Op::ADD,
      Op::MUL};
  for (const auto& oc : m->operator_codes)
    EXPECT_TRUE(exact.count(oc->builtin_code)) << fmt::EnumNameBuiltinOperator(oc->builtin_code);
}

TEST(DemoBundle, BadCommandLinesWriteNothing) {
  k2test::TempDir d;
  const std::string out = (d.path() / "out").string();
  EXPECT_EQ(k2test::run_tool(""), 2);
  EXPECT_EQ(k2test::run_tool(out, "--bogus"), 2);
  EXPECT_EQ(k2test::run_tool(out, "--split --q8gd"), 2);
  EXPECT_EQ(k2test::run_tool(out, "--exact --heavy"), 2);
  EXPECT_EQ(k2test::run_tool(out, out), 2);
  EXPECT_FALSE(k2test::fs::exists(d.path() / "out"));
  // An output path that is a regular file is an error, not a crash.
  k2test::TempDir f;
  { std::ofstream(f.path() / "file") << "x"; }
  EXPECT_EQ(k2test::run_tool((f.path() / "file").string()), 1);
}
