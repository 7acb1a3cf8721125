#include "render/renderer.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "image/pixel_convert.hpp"
#include "render/wsola.hpp"

namespace kinra2::render {

namespace {

double monotonic_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

Renderer::Renderer(chain::LitertChain& chain, const image::ColorCorrect* cc)
    : chain_(chain), cc_(cc), rgb_threads_(image::rgb_threads()) {
  reset();
}

std::int64_t Renderer::window_start(std::int64_t ci) {
  const std::int64_t start_pix = ci <= 1 ? 0 : (ci - 1) * STEADY_PX;
  return start_pix * SPF;
}

std::int64_t Renderer::need(std::int64_t ci) {
  return std::min((ci + 1) * SPC, window_start(ci) + WIN_SAMPLES);
}

void Renderer::sync_audio() {
  buf_ = pcm_.live();
  buf_base_ = pcm_.base();
  fed_samples_ = pcm_.fed();
  audio_compaction_samples_ = pcm_.moved_samples();
}

void Renderer::reset() {
  pcm_ = detail::SlidingPCM();
  sync_audio();
  ci_ = 0;
  hist_ = chain_.new_hist();
  prev_lat_.reset();
  px_frame_ = 3;
  c_wall_ = 0.0;
  c_n_ = 0;
  last_ = {};
}

void Renderer::feed(std::span<const float> pcm) {
  pcm_.append(pcm);
  sync_audio();
}

std::vector<float> Renderer::window(std::int64_t ci) const {
  const std::int64_t s0 = window_start(ci);
  const std::int64_t hi = std::min({s0 + WIN_SAMPLES, (ci + 1) * SPC, fed_samples_});
  std::vector<float> w(WIN_SAMPLES, 0.0f);
  if (hi > s0) {
    if (s0 < buf_base_) throw std::runtime_error("consumed audio context requested");
    auto src = buf_.subspan(static_cast<std::size_t>(s0 - buf_base_), static_cast<std::size_t>(hi - s0));
    std::copy(src.begin(), src.end(), w.begin());
  }
  return w;
}

FrameBatch Renderer::process_chunk(std::int64_t ci) {
  const double t0 = monotonic_seconds();
  double model = 0.0;
  // Times one model call into `model`.
  auto timed = [&model](auto&& call) {
    const double t = monotonic_seconds();
    auto r = call();
    model += monotonic_seconds() - t;
    return r;
  };
  const int blk = ci == 0 ? CHUNK0_LAT : STEADY_LAT;
  const std::size_t row_base = ci == 0 ? 0 : CHUNK0_LAT;

  std::vector<float> tempo = tempo_wsola(window(ci));
  for (float& s : tempo) s *= 3.0f;

  const chain::Tensor feats = timed([&] { return chain_.run_enc(tempo); });
  const chain::Tensor tok = timed([&] { return chain_.run_tok(feats); });

  std::vector<std::vector<float>> lats;
  lats.reserve(static_cast<std::size_t>(blk));
  for (int j = 0; j < blk; ++j) {
    auto lat = timed([&] { return chain_.run_step(hist_, tok.row(row_base + static_cast<std::size_t>(j))); });
    chain::LitertChain::shift_hist(hist_, lat);
    lats.push_back(std::move(lat));
  }

  const auto dec = chain::build_dec_inputs(lats, blk, prev_lat_ ? &*prev_lat_ : nullptr);
  // Each batch becomes RGB888 rows of the chunk while the decoder's output is
  // still in the runtime's memory: a float copy of a whole chunk would be
  // over a hundred megabytes per stream, held only to be read once.
  auto u8 = std::make_shared<image::RgbChunk>(static_cast<std::size_t>(dec.n));
  double convert = 0.0;
  const double td = monotonic_seconds();
  chain_.run_dec_each(dec.xs, dec.n, [&](int first, std::span<const float* const> frames) {
    const double tc = monotonic_seconds();
    image::px_to_rgb888_into(frames, cc_, rgb_threads_, u8->frame(static_cast<std::size_t>(first)));
    convert += monotonic_seconds() - tc;
  });
  model += monotonic_seconds() - td - convert;
  prev_lat_ = std::move(lats[static_cast<std::size_t>(blk - 1)]);

  FrameBatch out;
  out.owners.push_back(std::shared_ptr<const image::RgbChunk>(u8));
  for (std::size_t k = 0; k < u8->size(); ++k) {
    const std::span<const std::uint8_t> row(u8->frame(k), RGB_FRAME_BYTES);
    const int reps = (ci == 0 && k == 0) ? 1 + PRESENT_DELAY_FRAMES : 1;
    for (int r = 0; r < reps; ++r) out.records.push_back(FrameRecord{px_frame_++, row});
  }
  last_ = ChunkTiming{monotonic_seconds() - t0, model};
  c_wall_ += last_.wall;
  c_n_ += 1;
  return out;
}

void Renderer::trim_audio() {
  pcm_.discard_before(window_start(ci_));
  sync_audio();
}

FrameBatch Renderer::ready_chunks() {
  FrameBatch out;
  while (fed_samples_ >= need(ci_)) {
    out.append(process_chunk(ci_));
    ci_ += 1;
    trim_audio();
  }
  return out;
}

FrameBatch Renderer::flush_chunks() {
  const std::int64_t fed = fed_samples_;
  // Index of the last 50 ms audio frame holding a fed sample (-1 when none);
  // the 12/31/32 rule owes chunk c once that frame reaches 32c - 11.
  const std::int64_t end_fi = (fed + SPF - 1) / SPF - 1;
  const std::int64_t n_chunks = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
  FrameBatch out;
  while (ci_ < n_chunks) {
    out.append(process_chunk(ci_));
    ci_ += 1;
    trim_audio();
  }
  return out;
}

std::optional<double> Renderer::rtf() const {
  if (c_n_ == 0) return std::nullopt;
  return (c_wall_ / static_cast<double>(c_n_)) / (static_cast<double>(STEADY_PX) / FPS);
}

} // namespace kinra2::render
