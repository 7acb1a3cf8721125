// The demo face with exact arithmetic only: data movement (slices, reshapes,
// transposes, concatenations, depth to space), the absolute value, maxima,
// floor-mod and single element-wise additions and multiplications by
// constants, with no sums of products anywhere. Each output value is then one
// correctly rounded operation (or none) away from its inputs, whatever the
// kernels' vector width, order or fused multiply-add: every processor
// computes the same bits, so the host's byte stream can be compared across
// architectures.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/constants.hpp"
#include "demo_identity.hpp"
#include "model_writer.hpp"

namespace kinra2::demo {

namespace {

constexpr int ROWS = 14;                           // token rows per window
constexpr int ROW_SAMPLES = TEMPO_SAMPLES / ROWS;  // 2514; the last 4 samples are not heard
constexpr int SUBS = 4;                            // face pixels per latent pixel (2x2)
constexpr int UP = 4;                              // frame pixels per face pixel, each way
constexpr int DEC_IN = 2 * LC + 4;                 // current, previous, phase one-hot
// Short binary fractions keep the constants exact. The renderer scales speech
// by 3, so ordinary speech peaks at 0.2 to 1.5: an opening of 0 to 0.7.
constexpr float MOUTH_GAIN = 0.5f;
constexpr float MOUTH_GATE = 0.03125f;
constexpr float MOUTH_RELEASE = 0.0625f;  // per step, the mouth closes by at most this
constexpr float TICK = 1.0f / BLINK_PERIOD;
static_assert((BLINK_PERIOD & (BLINK_PERIOD - 1)) == 0);

// (1, 3, 1, PLANE): how far each colour darkens per unit of mouth opening or
// eye closure at each latent pixel: a lens, darkest at its centre.
std::vector<float> ink(bool eyes) {
  const float colour[2][3] = {{0.66f, 0.73f, 0.58f}, {0.90f, 0.80f, 0.66f}};
  std::vector<float> w(static_cast<std::size_t>(3) * PLANE, 0.0f);
  const auto lens = [&](double cx, double cy, double rx, double ry) {
    for (int y = 0; y < LH; ++y)
      for (int x = 0; x < LW; ++x) {
        const double u = (x - cx) / rx, v = (y - cy) / ry, d = u * u + v * v;
        if (d >= 1.0) continue;
        const float depth = static_cast<float>(std::min(1.0, 2.0 * (1.0 - d)));
        for (int c = 0; c < 3; ++c)
          w[static_cast<std::size_t>(c) * PLANE + static_cast<std::size_t>(y) * LW + x] =
              -colour[eyes][c] * depth;
      }
  };
  if (eyes) {
    for (int ex : EYE_COLS) lens(ex, EYE_ROW, 3.2, 1.6);
  } else {
    lens((LW - 1) / 2.0, MOUTH_ROW, 6.5, 2.6);
  }
  return w;
}

class ExactBuilder {
 public:
  explicit ExactBuilder(ModelWriter& m) : m_(m) {}

  // The loudest sample of each row's stretch of the window.
  void enc() {
    Graph g(m_, "enc");
    const int x = g.input("args_0", {1, TEMPO_SAMPLES});
    const int rows = g.reshape(g.slice(x, {0, 0}, {1, ROWS * ROW_SAMPLES}), {ROWS, ROW_SAMPLES});
    g.sign("enc", {{"args_0", x}},
           {{"output_0", g.reshape(g.reduce_max(g.abs(rows), 1), {1, ROWS})}});
  }

  // Every token of a row carries its opening, GAIN * peak - GATE.
  void tok() {
    Graph g(m_, "tok14");
    const int x = g.input("args_0", {1, ROWS});
    const std::vector<float> gain(NA * CA, MOUTH_GAIN);
    const int t = g.mul(g.reshape(x, {ROWS, 1}), g.constant("gain", {1, NA * CA}, gain));
    g.sign("tok14", {{"args_0", x}},
           {{"output_0", g.reshape(g.add_scalar(t, -MOUTH_GATE), {ROWS, NA, CA})}});
  }

  // The face and shape channels carried forward, the mouth opened by what was
  // heard (closing by at most MOUTH_RELEASE a step), and a blink on the last
  // step of each BLINK_PERIOD, counted in the latent.
  void step() {
    Graph g(m_, "step");
    const int atok = g.input("args_0", {1, NA, CA});
    const int hist = g.input("args_1", {1, LC, CTX, LH, LW});
    const int newest = g.reshape(
        g.slice(g.reshape(hist, {LC, CTX, PLANE}), {0, CTX - 1, 0}, {LC, CTX, PLANE}), {LC, PLANE});
    const int carry = g.slice(newest, {0, 0}, {CH_MOUTH, PLANE});
    const int last_open = g.slice(newest, {CH_MOUTH, 0}, {CH_MOUTH + 1, 1});
    const int clock = g.slice(newest, {CH_EYES, 0}, {CH_EYES + 1, 1});
    const int tick = g.floor_mod_scalar(g.add_scalar(clock, TICK), 1.0f);
    // 1 when tick is (BLINK_PERIOD - 1) / BLINK_PERIOD, else 0.
    const float zero1[1] = {0.0f};
    const int none = g.constant("none", {1}, zero1);
    const int closed =
        g.maximum(g.add_scalar(g.mul_scalar(tick, BLINK_PERIOD), 2.0f - BLINK_PERIOD), none);
    const int heard = g.slice(g.reshape(atok, {1, NA * CA}), {0, 0}, {1, 1});
    const int open = g.maximum(g.maximum(heard, g.add_scalar(last_open, -MOUTH_RELEASE)), none);
    const std::vector<float> zeros(PLANE, 0.0f);
    const int mouth = g.add(open, g.constant("mouth_plane", {1, PLANE}, zeros));
    const int eyes = g.concat(
        {tick, g.add(closed, g.constant("eye_plane", {1, PLANE - 1}, {zeros.data(), PLANE - 1}))},
        1);
    g.sign("step", {{"args_0", atok}, {"args_1", hist}},
           {{"output_0", g.reshape(g.concat({carry, mouth, eyes}, 0), {LC, LH, LW})}});
  }

  // Each face pixel, darkened by mouth and eyes of the current latent, copied
  // to its 4x4 frame pixels.
  void dec(const char* key, int batch) {
    Graph g(m_, key);
    const int x = g.input("args_0", {batch, DEC_IN, LH, LW});
    const int flat = g.reshape(x, {batch, DEC_IN, PLANE});
    // Channel sub * 3 + c of the latent -> (batch, colour, sub, pixel).
    const int face = g.transpose(
        g.reshape(g.slice(flat, {0, 0, 0}, {batch, FACE_CHANNELS, PLANE}), {batch, SUBS, 3, PLANE}),
        {0, 2, 1, 3});
    const auto plane = [&](int ch) {
      return g.reshape(g.slice(flat, {0, ch, 0}, {batch, ch + 1, PLANE}), {batch, 1, 1, PLANE});
    };
    const std::vector<float> mouth_ink = ink(false), eye_ink = ink(true);
    const int mouth = g.mul(plane(CH_MOUTH), g.constant("mouth_ink", {1, 3, 1, PLANE}, mouth_ink));
    const int eyes = g.mul(plane(CH_EYES), g.constant("eye_ink", {1, 3, 1, PLANE}, eye_ink));
    const int painted = g.add(g.add(face, mouth), eyes);  // (batch, 3, SUBS, PLANE)
    // Sub-pixels to a (2 LH, 2 LW) image per colour, then each value UP times
    // along its row and each row UP times, by concatenation alone.
    const int n = batch * 3;
    const int img = g.depth_to_space(
        g.transpose(g.reshape(painted, {n, SUBS, LH, LW}), {0, 2, 3, 1}), 2);  // (n, 2LH, 2LW, 1)
    const int values = g.reshape(img, {n * 2 * LH * 2 * LW, 1});
    const int row = g.reshape(g.concat(std::vector<int>(UP, values), 1), {n * 2 * LH, 1, FW});
    g.sign(key, {{"args_0", x}},
           {{"output_0", g.reshape(g.concat(std::vector<int>(UP, row), 1), {batch, 3, FH, FW})}});
  }

 private:
  ModelWriter& m_;
};

}  // namespace

std::vector<std::uint8_t> build_exact_model(std::span<const std::string_view> sigs) {
  ModelWriter m;
  ExactBuilder b(m);
  return build_signatures(m, b, sigs);
}

}  // namespace kinra2::demo
