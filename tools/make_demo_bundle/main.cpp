// make_demo_bundle <out_dir> [--split] [--q8gd] [--color] [--heavy] [--exact]
//
// Writes the built-in demo identity as a bundle directory: canon.bin plus
// either combined_litert.tflite or the split pair shared-enc.tflite +
// identity.tflite (with a manifest binding the encoder by content), and
// optionally the int8-decoder variant and a colour table. The output is
// byte-for-byte the same on every run. --exact writes models whose arithmetic
// is exact, so that hosts on different processors answer with the same bytes.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <tensorflow/lite/c/c_api.h>

#include "chain/litert_runtime.hpp"
#include "base/constants.hpp"
#include "base/sha256.hpp"
#include "bundle/q8gd.hpp"
#include "demo_identity.hpp"
#include "system/command_line.hpp"
#include "system/files.hpp"

namespace fs = std::filesystem;
using kinra2::demo::DecoderKind;

namespace {

constexpr const char* USAGE =
    "usage: make_demo_bundle <out_dir> [--split] [--q8gd] [--color] [--heavy] [--exact]";
constexpr const char* SHARED_ENC_ID = "kinra2-shared-enc";

std::string sha256_hex(const std::vector<std::uint8_t>& bytes) {
  return kinra2::base::sha256_hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void write_file(const fs::path& p, const void* data, std::size_t n) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  f.close();
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

void write_file(const fs::path& p, const std::vector<std::uint8_t>& b) {
  write_file(p, b.data(), b.size());
}

void write_json(const fs::path& p, const nlohmann::json& j) {
  const std::string s = j.dump(2) + "\n";
  write_file(p, s.data(), s.size());
}

// Largest difference between the float and the int8 decoder on the same
// rows (the canon face, mouth half open, eyes half closed, every phase), run
// on the linked runtime.
float decoder_divergence(const fs::path& float_model, const fs::path& int8_model,
                         const std::vector<float>& canon) {
  constexpr int B = 8, CH = 2 * kinra2::LC + 4;
  std::vector<float> xs(static_cast<std::size_t>(B) * CH * kinra2::PLANE, 0.0f);
  for (int r = 0; r < B; ++r) {
    float* row = &xs[static_cast<std::size_t>(r) * CH * kinra2::PLANE];
    for (int half = 0; half < 2; ++half) {
      float* lat = row + static_cast<std::size_t>(half) * kinra2::LC * kinra2::PLANE;
      std::copy(canon.begin(), canon.end(), lat);
      std::fill_n(lat + kinra2::demo::CH_MOUTH * kinra2::PLANE, 2 * kinra2::PLANE, 0.5f);
    }
    std::fill_n(row + static_cast<std::size_t>(2 * kinra2::LC + r % 4) * kinra2::PLANE,
                kinra2::PLANE, 1.0f);
  }
  const std::array<int, 4> shape = {B, CH, kinra2::LH, kinra2::LW};
  const kinra2::chain::InputArg in{"args_0", kTfLiteFloat32, shape, xs.data(),
                                   xs.size() * sizeof(float)};
  std::vector<float> outs[2];
  int k = 0;
  for (const fs::path& p : {float_model, int8_model}) {
    kinra2::chain::LitertModel m(p.string(), 1);
    auto run = m.runner("dec8");
    run->set_inputs({&in, 1});
    run->invoke();
    const auto t = run->output("output_0");
    const float* f = static_cast<const float*>(t.data);
    outs[k++].assign(f, f + t.nbytes / sizeof(float));
  }
  if (outs[0].size() != outs[1].size()) return INFINITY;
  float worst = 0.0f;
  for (std::size_t i = 0; i < outs[0].size(); ++i)
    worst = std::max(worst, std::fabs(outs[0][i] - outs[1][i]));
  return worst;
}

std::vector<std::uint8_t> model(std::initializer_list<std::string_view> sigs, DecoderKind dec,
                                bool exact = false) {
  const std::vector<std::string_view> v(sigs);
  return exact ? kinra2::demo::build_exact_model(v) : kinra2::demo::build_model(v, dec);
}

}  // namespace

int main(int raw_argc, char** raw_argv) {
  // UTF-8 arguments on every platform (the wide command line on Windows).
  const kinra2::system::ProgramArguments args(raw_argc, raw_argv);
  const int argc = args.argc();
  const char* const* argv = args.argv();
  std::string out;
  bool split = false, q8 = false, color = false, heavy = false, exact = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--split")
      split = true;
    else if (a == "--q8gd")
      q8 = true;
    else if (a == "--color")
      color = true;
    else if (a == "--heavy")
      heavy = true;
    else if (a == "--exact")
      exact = true;
    else if (!a.empty() && a[0] != '-' && out.empty())
      out = a;
    else {
      std::cerr << "make_demo_bundle: unexpected argument '" << a << "'\n" << USAGE << "\n";
      return 2;
    }
  }
  if (out.empty()) {
    std::cerr << USAGE << "\n";
    return 2;
  }
  if (split && q8) {
    // The int8 variant is declared against the combined model, which a split
    // bundle does not carry.
    std::cerr
        << "make_demo_bundle: --q8gd needs the combined model and cannot be used with --split\n";
    return 2;
  }
  if (exact && (q8 || heavy)) {
    std::cerr
        << "make_demo_bundle: --exact has one decoder and cannot be used with --q8gd or --heavy\n";
    return 2;
  }

  try {
    const fs::path dir = kinra2::system::fs_path(out);
    fs::create_directories(dir);

    const std::vector<float> canon = kinra2::demo::canon_latent();
    // canon.bin is little-endian float32; this tool only builds on
    // little-endian hosts, where the in-memory bytes already are that.
    static_assert(std::endian::native == std::endian::little);
    write_file(dir / "canon.bin", canon.data(), canon.size() * sizeof(float));

    const DecoderKind dec{heavy, false};
    nlohmann::json manifest;
    if (split) {
      const auto enc = model({"enc", "tok14"}, dec, exact);
      write_file(dir / "shared-enc.tflite", enc);
      write_file(dir / "identity.tflite", model({"step", "dec16", "dec8"}, dec, exact));
      manifest["dependencies"] =
          nlohmann::json::array({{{"id", SHARED_ENC_ID}, {"sha256", sha256_hex(enc)}}});
    } else {
      const auto combined = model({"enc", "tok14", "step", "dec16", "dec8"}, dec, exact);
      write_file(dir / std::string(kinra2::COMBINED_MEMBER), combined);
      if (q8) {
        const auto q8m = model({"enc", "tok14", "step", "dec16", "dec8"}, DecoderKind{heavy, true});
        write_file(dir / std::string(kinra2::Q8GD_MEMBER), q8m);
        // The gate records the runtime the variant was checked on, so check
        // it here: frames within two 8-bit levels of the float decoder.
        const float worst = decoder_divergence(dir / std::string(kinra2::COMBINED_MEMBER),
                                               dir / std::string(kinra2::Q8GD_MEMBER), canon);
        if (!(worst <= 2.0f / 255.0f))
          throw std::runtime_error("int8 decoder differs from the float one by " +
                                   std::to_string(worst));
        // The text the host's gate compares, from the same function.
        const auto rt = kinra2::bundle::litert_runtime_version();
        if (!rt) throw std::runtime_error("the LiteRT runtime's version cannot be read");
        const std::string& runtime = *rt;
        const std::string cs = sha256_hex(combined), qs = sha256_hex(q8m);
        manifest["members_sha256"] = {{std::string(kinra2::COMBINED_MEMBER), cs},
                                      {std::string(kinra2::Q8GD_MEMBER), qs}};
        manifest[std::string(kinra2::Q8GD_HEADER_KEY)] = {
            {"sha256", qs},
            {"base_member", std::string(kinra2::COMBINED_MEMBER)},
            {"base_sha256", cs},
            {"gate", {{"runtime", runtime}}},
        };
      }
    }
    if (!manifest.is_null()) write_json(dir / "manifest.json", manifest);

    if (color) {
      // A mild warm tint: a little more red, a little less blue.
      write_json(dir / std::string(kinra2::COLOR_MEMBER),
                 {{"gain", {1.04, 1.0, 0.94}}, {"bias", {3.0, 1.0, -4.0}}});
    }
  } catch (const std::exception& e) {
    std::cerr << "make_demo_bundle: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
