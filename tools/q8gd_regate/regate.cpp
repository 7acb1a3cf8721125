#include "q8gd_regate/regate.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/constants.hpp"
#include "base/text.hpp"
#include "bundle/container.hpp"
#include "bundle/json_text.hpp"
#include "bundle/q8gd_internal.hpp"
#include "chain/litert_chain.hpp"
#include "image/color_correct.hpp"
#include "image/pixel_convert.hpp"
#include "litert/runtime_library.hpp"
#include "system/cpu_budget.hpp"
#include "system/files.hpp"

namespace kinra2::regate {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr const char* USAGE = "usage: q8gd_regate <bundle-dir> [--check] [--tolerance LEVELS]";
constexpr const char* MANIFEST = "manifest.json";

// The latents the decoders are compared on come from the combined model's own
// steps over this many token rows of seeded audio: enough for every row of
// both decoders' batches, in every phase, with the canon as the first
// previous latent.
constexpr int LATENTS = 8;
constexpr std::uint32_t SEED = 20261005;

// Ends the run with one line and a status.
struct Stop {
  int status;
  std::string line;
};

[[noreturn]] void stop(int status, const std::string& line) {
  throw Stop{status, line};
}

// Exception texts from the JSON reader and the runtime, kept to one line.
std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return std::string(base::trimmed(text));
}

std::string quote_json(const std::string& s) {
  return json(s).dump();
}

struct Options {
  std::string bundle;
  bool check = false;
  int tolerance = DEFAULT_TOLERANCE;
};

std::optional<Options> parse_args(const std::vector<std::string>& args, std::ostream& err) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--check") {
      o.check = true;
    } else if (a == "--tolerance" && i + 1 < args.size()) {
      const auto v = base::to_int(args[++i]);
      if (!v || *v < 0 || *v > 255) {
        err << "q8gd_regate: --tolerance takes a whole number of levels, 0 to 255, not "
            << base::quoted(args[i]) << "\n"
            << USAGE << "\n";
        return std::nullopt;
      }
      o.tolerance = static_cast<int>(*v);
    } else if (!a.empty() && a[0] != '-' && o.bundle.empty()) {
      o.bundle = a;
    } else {
      err << "q8gd_regate: unexpected argument " << base::quoted(a) << "\n" << USAGE << "\n";
      return std::nullopt;
    }
  }
  if (o.bundle.empty()) {
    err << USAGE << "\n";
    return std::nullopt;
  }
  return o;
}

// ---------------------------------------------------------------------------
// What must hold before anything is run: the gate's own conditions on the
// bundle, and the bytes on disk being the ones the manifest declares.

struct Bundle {
  std::string dir, combined, variant, manifest_path;
  std::string manifest_text;
  json manifest;
  std::optional<std::string> gated_on;  // litert_q8gd.gate.runtime, when recorded
};

Bundle check_bundle(const std::string& dir) {
  Bundle b;
  b.dir = dir;
  const auto kind = system::path_kind(dir);
  if (kind == system::PathKind::missing) stop(STATUS_REFUSED, dir + ": no such bundle");
  if (kind != system::PathKind::directory)
    stop(STATUS_REFUSED, dir +
                             " is not a directory: the int8 variant is only served from a "
                             "directory bundle, never from an IMX container or a zip archive");
  b.combined = system::join_path(dir, COMBINED_MEMBER);
  b.variant = system::join_path(dir, Q8GD_MEMBER);
  b.manifest_path = system::join_path(dir, MANIFEST);
  if (!bundle::detail::is_regular(b.variant))
    stop(STATUS_REFUSED, dir + ": no " + std::string(Q8GD_MEMBER) + " to re-gate");
  if (!bundle::detail::is_regular(b.combined))
    stop(STATUS_REFUSED,
         dir + ": no " + std::string(COMBINED_MEMBER) + " to check the variant against");

  try {
    b.manifest_text = bundle::read_regular_file(b.manifest_path);
  } catch (const std::exception& e) {
    stop(STATUS_REFUSED, dir + ": manifest.json cannot be read: " + one_line(e.what()));
  }
  std::string want, base_want;
  try {
    b.manifest = bundle::parse_json_text(b.manifest_text);
    const auto bound = bundle::detail::q8gd_bound(b.manifest);
    if (!bound) stop(STATUS_REFUSED, dir + ": the variant is not re-gated: " + bound.note);
    want = *bound.value;
    base_want = b.manifest.at("members_sha256").at(std::string(COMBINED_MEMBER)).get<std::string>();
    // Also refuses a recorded runtime that is no text.
    (void)bundle::detail::q8gd_runtime_ok(b.manifest, std::nullopt);
    const json& gate_block = b.manifest.at(Q8GD_HEADER_KEY);
    if (const auto g = gate_block.find("gate"); g != gate_block.end()) {
      if (!g->is_null() && !g->is_object())
        throw std::invalid_argument("litert_q8gd.gate is not a JSON object");
      if (g->is_object())
        if (const auto r = g->find("runtime"); r != g->end() && r->is_string())
          b.gated_on = r->get<std::string>();
    }
  } catch (const json::parse_error& e) {
    stop(STATUS_REFUSED, dir + ": manifest.json is not valid JSON: " + one_line(e.what()));
  } catch (const std::exception& e) {
    stop(STATUS_REFUSED, dir + ": manifest.json is malformed: " + one_line(e.what()));
  }

  // The gate checks the variant's bytes; the comparison needs the combined
  // model's to be the declared ones as well, or it would vouch for a pairing
  // nobody serves.
  for (const auto& [path, member, declared] :
       {std::tuple{b.variant, Q8GD_MEMBER, want}, {b.combined, COMBINED_MEMBER, base_want}}) {
    std::string got;
    try {
      got = bundle::detail::sha256_file_hex(path);
    } catch (const std::exception& e) {
      stop(STATUS_REFUSED, dir + ": " + one_line(e.what()));
    }
    if (got != declared)
      stop(STATUS_REFUSED, dir + ": the variant is not re-gated: " + std::string(member) +
                               " has bytes " + got.substr(0, 12) + ", the header declares " +
                               bundle::detail::prefix_cp(declared, 12));
  }
  return b;
}

std::vector<float> read_canon(const std::string& dir) {
  std::optional<std::string> raw;
  try {
    raw = bundle::member_bytes(dir, {"canon.bin", "canon.f32"});
  } catch (const std::exception& e) {
    stop(STATUS_REFUSED, dir + ": " + one_line(e.what()));
  }
  if (!raw) stop(STATUS_REFUSED, dir + ": no canon.bin");
  const std::size_t want = std::size_t{LC} * PLANE;
  if (raw->size() != want * sizeof(float))
    stop(STATUS_REFUSED, dir + ": canon.bin holds " + std::to_string(raw->size()) +
                             " bytes, expected " + std::to_string(want * sizeof(float)));
  // Little-endian float32 in the file; the host only runs on little-endian
  // processors, where the bytes already are that.
  static_assert(std::endian::native == std::endian::little);
  std::vector<float> canon(want);
  std::memcpy(canon.data(), raw->data(), raw->size());
  return canon;
}

// ---------------------------------------------------------------------------
// The comparison.

// Seeded noise in place of the tempo-changed window the host hands the
// encoder, its loudness changing about as often as syllables do, from silence
// to loud, so that the latents range over what speech moves. The raw
// generator's words are turned into floats here, not by a distribution, whose
// results the C++ library leaves open.
std::vector<float> seeded_window() {
  std::mt19937 rng(SEED);
  const auto unit = [&rng] { return static_cast<float>(rng() >> 8) * 0x1p-24f; };
  constexpr int SYLLABLE = 2000;  // samples
  std::vector<float> w(TEMPO_SAMPLES);
  float loud = 0.0f;
  for (int i = 0; i < TEMPO_SAMPLES; ++i) {
    if (i % SYLLABLE == 0) loud = 0.6f * unit() * unit();
    w[static_cast<std::size_t>(i)] = loud * (2.0f * unit() - 1.0f);
  }
  return w;
}

std::vector<std::vector<float>> seeded_latents(chain::LitertChain& c) {
  const chain::Tensor tok = c.run_tok(c.run_enc(seeded_window()));
  std::vector<float> hist = c.new_hist();
  std::vector<std::vector<float>> lats;
  for (int j = 0; j < LATENTS; ++j) {
    lats.push_back(c.run_step(hist, tok.row(static_cast<std::size_t>(j))));
    chain::LitertChain::shift_hist(hist, lats.back());
  }
  return lats;
}

// One decoder call's frames as the host sends them.
std::vector<std::uint8_t> frames(chain::LitertChain& c, const chain::DecInputs& in,
                                 const image::ColorCorrect* cc) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(in.n) * RGB_FRAME_BYTES);
  c.run_dec_each(in.xs, in.n, [&](int first, std::span<const float* const> px) {
    image::px_to_rgb888_into(px, cc, 1,
                             rgb.data() + static_cast<std::size_t>(first) * RGB_FRAME_BYTES);
  });
  return rgb;
}

struct Difference {
  std::string sig;
  int worst = 0;  // levels
  double squares = 0.0;
  std::size_t bytes = 0, frames = 0;

  void add(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      const int d = std::abs(int{a[i]} - int{b[i]});
      worst = std::max(worst, d);
      squares += double(d) * d;
    }
    bytes += a.size();
    frames += a.size() / RGB_FRAME_BYTES;
  }
  std::string psnr() const {
    if (squares == 0.0) return "inf";
    char s[32];
    std::snprintf(s, sizeof s, "%.1f", 10.0 * std::log10(255.0 * 255.0 * double(bytes) / squares));
    return s;
  }
};

// dec16 and dec8 of both models on the same rows: each call takes the next
// latents of the seeded run, four rows (phases) per latent.
std::vector<Difference> compare(const Bundle& b, const std::vector<float>& canon,
                                const image::ColorCorrect* cc) {
  const int threads = system::default_threads();
  chain::LitertChain ref({b.combined}, canon, threads);
  chain::LitertChain var({b.variant}, canon, threads);
  const auto lats = seeded_latents(ref);
  std::vector<Difference> out;
  for (const auto& [sig, rows] : {std::pair{"dec16", 16}, {"dec8", 8}}) {
    Difference d{sig};
    const int per_call = rows / 4;
    for (int first = 0; first + per_call <= LATENTS; first += per_call) {
      const std::vector<float>& prev =
          first == 0 ? canon : lats[static_cast<std::size_t>(first - 1)];
      const auto in = chain::build_dec_inputs(
          std::span(lats).subspan(static_cast<std::size_t>(first)), per_call, &prev);
      d.add(frames(ref, in, cc), frames(var, in, cc));
    }
    out.push_back(d);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Writing the manifest: the parsed document in key order, in the text's own
// indentation, escaping and line ends, so that a manifest this writer could
// have written comes back byte for byte with only the runtime changed.

struct Layout {
  int indent = -1;      // -1: all on one line
  bool spaced = false;  // on one line, a blank after each ',' and ':' (Python's default)
  char indent_char = ' ';
  bool ascii = true;
  bool crlf = false;
  bool final_newline = false;
};

std::string write_text(const ordered_json& doc, const Layout& l);

// The layout of `text`, which holds `doc`.
Layout layout_of(std::string_view text, const ordered_json& doc) {
  Layout l;
  const auto open = text.find('{');
  if (open != std::string_view::npos) {
    std::size_t i = open + 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
    if (i < text.size() && text[i] == '\n') {
      const std::size_t start = ++i;
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      l.indent = static_cast<int>(i - start);
      if (l.indent > 0) l.indent_char = text[start];
    }
  }
  l.ascii = std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
  l.crlf = text.find("\r\n") != std::string_view::npos;
  l.final_newline = text.ends_with('\n');
  if (l.indent < 0) {
    l.spaced = true;
    l.spaced = write_text(doc, l) == text;
  }
  return l;
}

std::string write_text(const ordered_json& doc, const Layout& l) {
  const std::string s = doc.dump(l.indent, l.indent_char, l.ascii);
  std::string out;
  bool in_string = false, escaped = false;
  for (char c : s) {
    if (c == '\n') {
      if (l.crlf) out += '\r';
    }
    out += c;
    if (in_string) {
      in_string = escaped || c != '"';
      escaped = !escaped && c == '\\';
    } else if (c == '"') {
      in_string = true;
    } else if (l.spaced && (c == ',' || c == ':')) {
      out += ' ';
    }
  }
  if (l.final_newline) out += l.crlf ? "\r\n" : "\n";
  return out;
}

int regate(const Options& o, std::ostream& out) {
  const Bundle b = check_bundle(o.bundle);
  const std::vector<float> canon = read_canon(o.bundle);

  // The correction the host applies before it sends a frame.
  std::optional<image::ColorCorrect> cc;
  std::string colour = "no colour correction";
  try {
    if (auto raw = bundle::member_bytes(o.bundle, {COLOR_MEMBER})) {
      auto parsed = image::parse_color_correct(std::string_view(*raw));
      if (parsed) {
        cc = std::move(parsed.value);
        colour = "after the colour correction (" + std::string(cc->kind_name()) + ")";
      } else {
        colour = "without colour correction (" + one_line(parsed.note) + ")";
      }
    }
  } catch (const std::exception& e) {
    stop(STATUS_REFUSED,
         o.bundle + ": " + std::string(COLOR_MEMBER) + " cannot be read: " + one_line(e.what()));
  }

  try {
    litert::require_runtime();
  } catch (const litert::RuntimeUnavailable& e) {
    stop(STATUS_BEYOND, std::string("error: ") + one_line(e.what()));
  }
  const auto runtime = bundle::litert_runtime_version();
  if (!runtime) stop(STATUS_BEYOND, "error: the LiteRT runtime has no version text");
  std::vector<Difference> diffs;
  try {
    diffs = compare(b, canon, cc ? &*cc : nullptr);
  } catch (const std::exception& e) {
    stop(STATUS_REFUSED, o.bundle + ": the models cannot be run: " + one_line(e.what()));
  }

  out << "q8gd_regate: " << Q8GD_MEMBER << " against " << COMBINED_MEMBER << " on ai-edge-litert "
      << *runtime << ", RGB888 frames " << colour << "\n";
  for (const Difference& d : diffs)
    out << "  " << d.sig << ": " << d.frames << " frames, worst difference " << d.worst
        << " levels, PSNR " << d.psnr() << " dB\n";

  std::string beyond;
  for (const Difference& d : diffs)
    if (d.worst > o.tolerance)
      beyond +=
          (beyond.empty() ? "" : ", ") + d.sig + " by " + std::to_string(d.worst - o.tolerance);
  if (!beyond.empty())
    stop(STATUS_BEYOND, o.bundle + ": beyond the tolerance of " + std::to_string(o.tolerance) +
                            " levels (" + beyond +
                            "): the variant is not re-gated and manifest.json is unchanged");

  const std::string was = b.gated_on ? quote_json(*b.gated_on) : "not recorded";
  const std::string within = "within the tolerance of " + std::to_string(o.tolerance) + " levels";
  if (b.gated_on == *runtime) {
    out << "q8gd_regate: " << within
        << "; already gated on this runtime, manifest.json unchanged\n";
    return STATUS_OK;
  }
  if (o.check) {
    out << "q8gd_regate: " << within << "; --check: gate runtime stays " << was
        << ", manifest.json unchanged\n";
    return STATUS_OK;
  }

  ordered_json doc = ordered_json::parse(b.manifest_text);
  const Layout layout = layout_of(b.manifest_text, doc);
  const bool same_layout = write_text(doc, layout) == b.manifest_text;
  doc[Q8GD_HEADER_KEY]["gate"]["runtime"] = *runtime;
  std::error_code why;
  if (!system::replace_file_contents(b.manifest_path, write_text(doc, layout), &why))
    stop(STATUS_NOT_WRITTEN, b.manifest_path + " cannot be replaced (" + one_line(why.message()) +
                                 "); the old one stands and the variant is not re-gated");
  out << "q8gd_regate: " << within << "; gate runtime " << was << " -> " << quote_json(*runtime)
      << " in " << b.manifest_path
      << (same_layout ? "" : " (its other keys and values kept, its layout this tool's)") << "\n";
  return STATUS_OK;
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const auto o = parse_args(args, err);
  if (!o) return STATUS_USAGE;
  try {
    return regate(*o, out);
  } catch (const Stop& s) {
    out.flush();
    err << "q8gd_regate: " << s.line << "\n";
    return s.status;
  } catch (const std::exception& e) {
    // Nothing was written: the manifest is replaced last, in one step.
    out.flush();
    err << "q8gd_regate: error: " << one_line(e.what()) << "\n";
    return STATUS_BEYOND;
  }
}

}  // namespace kinra2::regate
