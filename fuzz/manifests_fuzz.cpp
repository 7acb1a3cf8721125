// manifest.json as the int8 gate and the shared-encoder binding read it. The
// first byte picks which raw text the policy component also sees, so both
// readers get the same corpus.
#include "harness.hpp"
#include "support/scoped_env.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bundle/q8gd_internal.hpp"
#include "bundle/shared_enc_internal.hpp"

namespace kinra2::fuzz {

namespace {
struct Fixture {
  // The policy component and the resolver read these; the fixture lives as
  // long as the process.
  k2test::ScopedEnv deps{"VELMORA_DEPS_DIR", scratch_dir() + "/store"};
  k2test::ScopedEnv home{"HOME", scratch_dir()};
  k2test::ScopedEnv profile{"USERPROFILE", scratch_dir()};  // the home directory on Windows
  k2test::ScopedEnv q8gd{"KINRA2_Q8GD", std::nullopt};
  k2test::ScopedEnv shared_enc{"KINRA2_SHARED_ENC", std::nullopt};
  k2test::ScopedEnv engine_dir{"KINRA2_ENGINE_DIR", std::nullopt};
  k2test::ScopedEnv ane_engine{"KINRA2_ANE_ENGINE", std::nullopt};
  std::string dir, cpuinfo;
  Fixture() {
    const std::string& s = scratch_dir();
    dir = s + "/manifest_bundle";
    std::filesystem::create_directories(dir);
    std::filesystem::create_directories(s + "/store");
    put_file(dir + "/combined_litert.tflite", "combined");
    put_file(dir + "/combined_litert_q8gd.tflite", "variant");
    put_file(dir + "/identity.tflite", "identity");
    put_file(dir + "/shared-enc.tflite", "encoder");
    cpuinfo = s + "/cpuinfo";
    put_file(cpuinfo, "processor\t: 0\nflags\t\t: fpu sse2 avx2 avx512_vnni\n");
    bundle::load_policy_component();
  }
};
}  // namespace

int manifests(const std::uint8_t* data, std::size_t size) {
  static Fixture fx;
  const std::string text(reinterpret_cast<const char*>(data), size);
  put_file(fx.dir + "/manifest.json", text);

  const auto q8 = bundle::detail::select_q8gd(fx.dir, fx.cpuinfo);
  if (q8 || q8.note.empty()) std::abort();  // the variant bytes never match any digest

  const auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_discarded()) {
    try {
      (void)bundle::detail::q8gd_bound(parsed);
      (void)bundle::detail::q8gd_runtime_ok(parsed, std::string("2.9.0"));
    } catch (const std::invalid_argument&) {
    } catch (const nlohmann::json::exception&) {
    }
  }

  const auto* policy = bundle::detail::policy_component();
  const auto want = bundle::detail::declared_base_sha(fx.dir).value;
  try {
    (void)bundle::detail::resolve_shared_enc(fx.dir, std::nullopt, want);
    if (policy) (void)policy->base_sha256_of(text);
  } catch (const std::runtime_error&) {
  }
  return 0;
}

}  // namespace kinra2::fuzz
