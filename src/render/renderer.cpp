#include "render/renderer.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "base/clock.hpp"
#include "image/pixel_convert.hpp"
#include "render/renderer_internal.hpp"
#include "render/wsola.hpp"

namespace kinra2::render {

using base::monotonic_seconds;

namespace detail {

std::int64_t window_start(std::int64_t chunk) {
  const std::int64_t start_pix = chunk <= 1 ? 0 : (chunk - 1) * STEADY_PX;
  return start_pix * SPF;
}

std::int64_t chunk_need(std::int64_t chunk) {
  return std::min((chunk + 1) * SPC, window_start(chunk) + WIN_SAMPLES);
}

}  // namespace detail

using detail::chunk_need;
using detail::window_start;

Renderer::Renderer(chain::LitertChain& chain, const image::ColorCorrect* cc)
    : chain_(chain), cc_(cc), rgb_threads_(image::rgb_threads()) {
  reset();
}

void Renderer::sync_audio() {
  retained_ = pcm_.live();
  retained_base_ = pcm_.base();
  fed_samples_ = pcm_.fed();
}

void Renderer::reset() {
  pcm_ = detail::SlidingPCM();
  sync_audio();
  next_chunk_ = 0;
  history_ = chain_.new_hist();
  last_latent_.reset();
  next_frame_index_ = 3;
  render_seconds_ = 0.0;
  chunks_rendered_ = 0;
  last_ = {};
}

void Renderer::feed(std::span<const float> pcm) {
  pcm_.append(pcm);
  sync_audio();
}

std::vector<float> Renderer::window(std::int64_t chunk) const {
  const std::int64_t s0 = window_start(chunk);
  const std::int64_t hi = std::min({s0 + WIN_SAMPLES, (chunk + 1) * SPC, fed_samples_});
  std::vector<float> w(WIN_SAMPLES, 0.0f);
  if (hi > s0) {
    if (s0 < retained_base_) throw std::runtime_error("consumed audio context requested");
    auto src = retained_.subspan(static_cast<std::size_t>(s0 - retained_base_),
                                 static_cast<std::size_t>(hi - s0));
    std::copy(src.begin(), src.end(), w.begin());
  }
  return w;
}

FrameBatch Renderer::process_chunk(std::int64_t chunk) {
  const double t0 = monotonic_seconds();
  double model = 0.0;
  // Times one model call into `model`.
  auto timed = [&model](auto&& call) {
    const double t = monotonic_seconds();
    auto r = call();
    model += monotonic_seconds() - t;
    return r;
  };
  const int blk = chunk == 0 ? CHUNK0_LAT : STEADY_LAT;
  const std::size_t row_base = chunk == 0 ? 0 : CHUNK0_LAT;

  std::vector<float> tempo = tempo_wsola(window(chunk));
  // A finite sample near the float range would become infinite here and
  // leave the model's state undefined, as a NaN would; the gain saturates.
  constexpr float LIMIT = std::numeric_limits<float>::max();
  for (float& s : tempo) s = std::clamp(s * 3.0f, -LIMIT, LIMIT);

  const chain::Tensor feats = timed([&] { return chain_.run_enc(tempo); });
  const chain::Tensor tok = timed([&] { return chain_.run_tok(feats); });

  std::vector<std::vector<float>> lats;
  lats.reserve(static_cast<std::size_t>(blk));
  for (int j = 0; j < blk; ++j) {
    auto lat = timed(
        [&] { return chain_.run_step(history_, tok.row(row_base + static_cast<std::size_t>(j))); });
    chain::LitertChain::shift_hist(history_, lat);
    lats.push_back(std::move(lat));
  }

  const auto dec = chain::build_dec_inputs(lats, blk, last_latent_ ? &*last_latent_ : nullptr);
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
  last_latent_ = std::move(lats[static_cast<std::size_t>(blk - 1)]);

  FrameBatch out;
  out.owners.push_back(std::shared_ptr<const image::RgbChunk>(u8));
  for (std::size_t k = 0; k < u8->size(); ++k) {
    const std::span<const std::uint8_t> row(u8->frame(k), RGB_FRAME_BYTES);
    const int reps = (chunk == 0 && k == 0) ? 1 + PRESENT_DELAY_FRAMES : 1;
    for (int r = 0; r < reps; ++r) out.records.push_back(FrameRecord{next_frame_index_++, row});
  }
  last_ = ChunkTiming{monotonic_seconds() - t0, model};
  render_seconds_ += last_.wall;
  chunks_rendered_ += 1;
  return out;
}

void Renderer::trim_audio() {
  pcm_.discard_before(window_start(next_chunk_));
  sync_audio();
}

FrameBatch Renderer::next_ready_chunk() {
  if (fed_samples_ < chunk_need(next_chunk_)) return {};
  FrameBatch out = process_chunk(next_chunk_);
  next_chunk_ += 1;
  trim_audio();
  return out;
}

FrameBatch Renderer::flush_chunks() {
  const std::int64_t fed = fed_samples_;
  // Index of the last 50 ms audio frame holding a fed sample (-1 when none);
  // the 12/31/32 rule owes chunk c once that frame reaches 32c - 11.
  const std::int64_t end_fi = (fed + SPF - 1) / SPF - 1;
  const std::int64_t n_chunks = std::max<std::int64_t>(1, (end_fi + 12 + 31) / 32);
  FrameBatch out;
  while (next_chunk_ < n_chunks) {
    out.append(process_chunk(next_chunk_));
    next_chunk_ += 1;
    trim_audio();
  }
  return out;
}

std::optional<double> Renderer::rtf() const {
  if (chunks_rendered_ == 0) return std::nullopt;
  return (render_seconds_ / static_cast<double>(chunks_rendered_)) /
         (static_cast<double>(STEADY_PX) / FPS);
}

}  // namespace kinra2::render
