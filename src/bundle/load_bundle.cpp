#include "bundle/load_bundle.hpp"

#include "bundle/container.hpp"
#include "bundle/q8gd_internal.hpp"
#include "bundle/shared_enc_internal.hpp"
#include "bundle/staging.hpp"
#include "base/constants.hpp"
#include "base/log.hpp"
#include "base/text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kinra2::bundle {

namespace {

using base::elog;

constexpr std::size_t CANON_FLOATS = static_cast<std::size_t>(LC) * PLANE;

[[noreturn]] void refuse(const std::string& line) {
  throw BundleRefused(line);
}

// A member already seen in the bundle, staged; one that went missing since
// is an I/O fault, not a contract violation.
std::string staged(const std::string& bundle, std::string_view nm) {
  auto p = detail::stage_member(bundle, nm);
  if (!p)
    throw std::runtime_error(std::string(nm) + " disappeared from " + bundle +
                             " while it was being loaded");
  return *p;
}

}  // namespace

namespace detail {

std::vector<float> decode_canon(const std::string& bytes) {
  if (bytes.size() % 4 != 0)
    throw std::invalid_argument("canon latent: " + std::to_string(bytes.size()) +
                                " bytes is not a whole number of float32 values");
  std::vector<float> out(bytes.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::uint32_t u;
    std::memcpy(&u, bytes.data() + 4 * i, 4);
    if constexpr (std::endian::native == std::endian::big)
      u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
    out[i] = std::bit_cast<float>(u);
  }
  return out;
}

}  // namespace detail

namespace {

using namespace detail;

// The canon latent, refused unless it holds exactly LC x PLANE floats.
std::vector<float> read_canon(const std::string& bundle) {
  auto canon = member_bytes(bundle, {"canon.bin", "canon.f32"});
  if (!canon) refuse("FATAL: no canon.bin in " + bundle + " (per-identity canon latent required)");
  // The count is known from the length, so a wrong-sized canon is refused
  // before it is decoded.
  if (canon->size() % 4 == 0 && canon->size() / 4 != CANON_FLOATS)
    refuse("FATAL: canon.bin has " + std::to_string(canon->size() / 4) + " floats, expected " +
           std::to_string(CANON_FLOATS));
  return detail::decode_canon(*canon);
}

// Shape 1: the int8-decoder variant where the gate serves it, else the
// combined model, staged.
void use_combined(const std::string& bundle, LoadedBundle& out) {
  const auto q8 = select_q8gd(bundle);
  if (!q8.note.empty()) elog(q8.note);
  if (q8) {
    out.model_label = std::string(base_name(*q8.value));
    out.tfl_paths = {*q8.value};
    return;
  }
  out.tfl_paths = {staged(bundle, COMBINED_MEMBER)};
  out.model_label = std::string(COMBINED_MEMBER);
}

// No encoder passed: with a declared base, where it could have been; without
// one, where an encoder is looked for.
[[noreturn]] void refuse_missing_encoder(const std::string& bundle,
                                         const std::optional<std::string>& want,
                                         const std::string& how) {
  const bool have_want = want && !want->empty();
  if (have_want)
    refuse("FATAL: " + bundle + " was cut against shared-enc.tflite sha256=" + *want +
           " and that base is NOT on this machine. Resolution: " + how +
           ". Put it in the content store (${VELMORA_DEPS_DIR} or ~/.velmora/deps, as <store>/" +
           *want + " or <store>/" + prefix_cp(*want, 2) + "/" + *want +
           "), or pass --engine <dir|.engine> holding exactly that base. A base with the right "
           "NAME and the "
           "wrong CONTENT is refused here on purpose.");
  refuse("FATAL: " + bundle +
         " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was "
         "found. Provide it "
         "via --engine <dir|.engine>, KINRA2_SHARED_ENC=<file>, or install the linux engine "
         "(`velmora engine "
         "install linux`) into ~/.velmora/engines/.");
}

// The one line that says how far the encoder's pairing was checked.
void log_provenance(const std::optional<std::string>& want, const std::string& how,
                    const std::string& id) {
  const bool have_want = want && !want->empty();
  if (have_want && how.starts_with("name-trusted"))
    elog("two-artifact split: base sha256=" + prefix_cp(*want, 12) +
         "… resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) "
         "via " +
         how);
  else if (have_want)
    elog("two-artifact split: base sha256=" + prefix_cp(*want, 12) +
         "… VERIFIED (bytes hashed) via " + how);
  else
    elog("two-artifact split: base UNVERIFIED (artifact declares no " + base::quoted(id) +
         " dependency; using the bundle's own copy) — re-emit with tools/imx_from_bundle to bind "
         "it");
}

// Shape 2: the identity's delta model and a shared encoder bound to the base
// it was cut against; every way that binding can fail is a refusal.
void use_split(const std::string& bundle, const std::optional<std::string>& engine,
               LoadedBundle& out) {
  const PolicyComponent* policy = policy_component();
  if (!policy)
    refuse("FATAL: " + bundle +
           " is a two-artifact split, but this engine has no shared_enc_dep (the "
           "base-verification policy) — "
           "searched the repo tools/ dir and this host's own directory (" +
           policy_component_why() +
           "). Without it the base pairing cannot be verified, and an unverified pairing renders "
           "a different "
           "face with no error. Vendor tools/shared_enc_dep beside this host in the engine "
           "artifact. (The "
           "combined-member path does not need it and is unaffected.)");
  const std::string id = policy->shared_enc_id();
  const std::optional<std::string> want = declared_base_sha(bundle).value;
  const bool colocated = has_member(bundle, SHARED_ENC_MEMBER);
  if (!want && !colocated)
    refuse("FATAL: " + bundle +
           " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
           base::quoted(id) +
           " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. "
           "There is no way to "
           "tell which shared-enc.tflite it was cut against, and the wrong one renders a "
           "DIFFERENT FACE with no "
           "error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the "
           "container with "
           "tools/imx_from_bundle, which stamps the base content address.");

  const auto encoder = resolve_shared_enc(bundle, engine, want);
  const std::string& how = encoder.note;
  if (!encoder) refuse_missing_encoder(bundle, want, how);

  const std::string id_path = staged(bundle, "identity.tflite");
  log_provenance(want, how, id);
  elog("two-artifact split: enc=" + *encoder.value + " + id=" + id_path);
  out.tfl_paths = {*encoder.value, id_path};
  out.model_label = "shared-enc.tflite+identity.tflite";
}

// No renderer the contract names: say which .tflite members were found instead.
[[noreturn]] void refuse_without_renderer(const std::string& bundle) {
  std::vector<std::string> unexpected;
  for (auto& n : listing(bundle))
    if (n.ends_with(".tflite") && n != COMBINED_MEMBER && n != "identity.tflite" &&
        n != SHARED_ENC_MEMBER)
      unexpected.push_back(std::move(n));
  std::sort(unexpected.begin(), unexpected.end());
  if (!unexpected.empty()) {
    refuse("FATAL: " + bundle + " carries UNEXPECTED tflite member(s) " +
           base::literal_list(unexpected) +
           " and none of the contract renderers. kinra-2 names exactly two renderer shapes: " +
           std::string(COMBINED_MEMBER) +
           ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not "
           "loaded: re-pack the "
           "member under its contract name.");
  }
  refuse("FATAL: no LiteRT tflite member in " + bundle + " (expected " +
         std::string(COMBINED_MEMBER) +
         ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt "
         "is not wired in v1)");
}

LoadedBundle resolve(const std::string& bundle, const std::optional<std::string>& engine) {
  LoadedBundle out;
  out.canon = read_canon(bundle);
  // Model members are only checked for here and fetched when staged: a
  // directory bundle's models are used in place and never read into memory.
  // A bundle with the combined model is shape 1 whatever else it carries.
  if (detail::has_member(bundle, COMBINED_MEMBER))
    use_combined(bundle, out);
  else if (detail::has_member(bundle, "identity.tflite"))
    use_split(bundle, engine, out);
  else
    refuse_without_renderer(bundle);
  return out;
}

}  // namespace

LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine) {
  LoadedBundle out = resolve(bundle, engine);
  out.staged = StagedFiles(out.tfl_paths);
  return out;
}

}  // namespace kinra2::bundle
