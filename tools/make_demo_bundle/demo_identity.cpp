#include "demo_identity.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "base/constants.hpp"
#include "model_writer.hpp"

namespace kinra2::demo {

namespace {

using Act = fmt::ActivationFunctionType;

// --- loudness -> mouth ----------------------------------------------------
constexpr int ROWS = 14;                       // token rows per window
constexpr int BLOCK = 128;                     // samples per mean-square block (8 ms at 16 kHz)
constexpr int BLOCKS = TEMPO_SAMPLES / BLOCK;  // 275
static_assert(BLOCKS * BLOCK == TEMPO_SAMPLES);
// Opening = clamp(GAIN * rms - GATE, -1, 1); the renderer scales speech by 3,
// so ordinary speech (rms ~0.03-0.3 after scaling) spreads over the whole
// range from closed to wide open instead of slamming it open.
constexpr float MOUTH_GAIN = 4.0f;
constexpr float MOUTH_GATE = 0.1f;
// Per step, the mouth closes to no less than this share of its last opening.
constexpr float MOUTH_RELEASE = 0.5f;
// Edge steepness of the mouth and eye shapes, per unit of the shape field.
constexpr float EDGE = 10.0f;
// Eye opening while closed: a thin lid line stays visible.
constexpr float LID = 0.3f;
// The shape field outside mouth and eyes; far from both thresholds.
constexpr float SHAPE_FAR = 10.0f;
constexpr float SHAPE_EYE_BASE = 20.0f;  // eyes are stored as SHAPE_EYE_BASE - field
// Half-heights at full opening, in face rows (4 frame rows each).
constexpr double MOUTH_HALF = 6.0;
constexpr double EYE_HALF = 5.0;

// Darkness colours subtracted by the decoder (mouth interior, closed pupils).
constexpr std::array<float, 3> MOUTH_INK = {0.66f, 0.73f, 0.58f};
constexpr std::array<float, 3> EYE_INK = {0.90f, 0.80f, 0.66f};

constexpr int DEC_IN = 2 * LC + 4;  // current, previous, phase one-hot
constexpr int UP = 8;               // latent -> frame scale
constexpr int SUB = UP / 2;         // frame pixels per face pixel, each way
constexpr int SUBS = 4;             // face pixels per latent pixel (2x2)
constexpr int HEAVY_CH = 48;
// The decoder's hidden layer: the face channels, then for mouth and eyes, each
// face row of a latent pixel and each phase, two ramp pieces whose difference
// is the shape's coverage, clamp(z, 0, 1).
constexpr int PHASES = 4;
constexpr int HIDDEN = FACE_CHANNELS + 2 * 2 * PHASES * 2;
// Added to every hidden unit of the phases a row does not have: far below any
// value z takes (at most EDGE), so those units are 0 and only the row's own
// phase contributes.
constexpr float PHASE_GATE = 32.0f;

// --- drawing ---------------------------------------------------------------
struct Rgb {
  float r, g, b;
};

bool in_ellipse(double x, double y, double cx, double cy, double rx, double ry) {
  const double u = (x - cx) / rx, v = (y - cy) / ry;
  return u * u + v * v <= 1.0;
}

Rgb mix(Rgb a, Rgb b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// The face at one point of the frame (x right, y down, in frame pixels).
Rgb face_at(double x, double y) {
  const Rgb skin{0.96f, 0.80f, 0.66f}, skin_dark{0.88f, 0.69f, 0.56f};
  const Rgb hair{0.32f, 0.20f, 0.12f}, shirt{0.22f, 0.42f, 0.66f};
  const Rgb lips{0.80f, 0.40f, 0.42f}, lip_line{0.55f, 0.20f, 0.22f};
  const float t = static_cast<float>(y / FH);
  Rgb c{0.84f - 0.22f * t, 0.88f - 0.16f * t, 0.94f - 0.10f * t};
  const double cx = FW / 2.0;
  if (in_ellipse(x, y, cx, 790, 235, 210)) c = shirt;
  if (std::fabs(x - cx) < 42 && y > 470 && y < 600 && !in_ellipse(x, y, cx, 790, 235, 210))
    c = skin_dark;
  if (in_ellipse(x, y, cx, 300, 172, 218)) c = hair;
  if (in_ellipse(x, y, 62, 352, 17, 32) || in_ellipse(x, y, FW - 62, 352, 17, 32)) c = skin_dark;
  if (in_ellipse(x, y, cx, 345, 146, 190)) {
    const double u = (x - cx) / 146.0;
    const bool fringe = y < 195 + 45 * u * u;
    c = fringe ? hair : skin;
    if (!fringe) {
      for (double ex : {148.0, 268.0}) {
        const double v = (x - ex) / 34.0;
        if (std::fabs(v) < 1.0 && std::fabs(y - (286 - 7 * (1 - v * v))) < 4.5) c = hair;
      }
      for (double bx : {128.0, 288.0})
        if (in_ellipse(x, y, bx, 420, 26, 15)) c = mix(c, Rgb{0.97f, 0.55f, 0.55f}, 0.35f);
      if (in_ellipse(x, y, cx, 405, 13, 9)) c = skin_dark;
      if (in_ellipse(x, y, cx, 460, 50, 11)) c = lips;
      if (std::fabs(y - 460) < 1.6 && std::fabs(x - cx) < 47) c = lip_line;
    }
  }
  return c;
}

// --- weights -----------------------------------------------------------------
// Deterministic filler for decoder channels that only add cost.
struct Lcg {
  std::uint32_t s = 0x9e3779b9u;
  float next() {
    s = s * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<double>(s >> 8) / 16777216.0 - 0.5);
  }
};

int hidden_unit(int eye, int sy, int k, int piece) {
  return FACE_CHANNELS + (((eye * 2 + sy) * PHASES + k) * 2 + piece);
}

// (HIDDEN, in_ch) weights and biases of the hidden layer. Within a step the
// opening and closure move linearly from the previous latent to the current
// one: phase k weighs the current (k + 1) / 4 and the previous (3 - k) / 4.
// Blending is linear in the inputs, so each phase gets its own units and the
// phase planes switch the others off; the outline then follows the blended
// value at face-row precision.
void hidden_layer(int in_ch, std::vector<float>& w, std::vector<float>& bias) {
  w.assign(static_cast<std::size_t>(HIDDEN) * in_ch, 0.0f);
  bias.assign(HIDDEN, 0.0f);
  for (int f = 0; f < FACE_CHANNELS; ++f) w[static_cast<std::size_t>(f) * in_ch + f] = 1.0f;
  for (int eye = 0; eye < 2; ++eye)
    for (int sy = 0; sy < 2; ++sy)
      for (int k = 0; k < PHASES; ++k)
        for (int piece = 0; piece < 2; ++piece) {
          const int u = hidden_unit(eye, sy, k, piece);
          float* row = &w[static_cast<std::size_t>(u) * in_ch];
          const float cur = (k + 1) / 4.0f, prev = (3 - k) / 4.0f, s = sy ? 1.0f : -1.0f;
          float b;
          if (!eye) {  // z = EDGE * (opening - field)
            row[CH_MOUTH] = EDGE * cur;
            row[LC + CH_MOUTH] = EDGE * prev;
            row[CH_SHAPE] = -EDGE;
            row[CH_SLOPE] = -EDGE * s;
            b = EDGE * s * SLOPE_OFFSET;
          } else {  // z = EDGE * (1 - (1 - LID) * closure - (SHAPE_EYE_BASE - field))
            row[CH_EYES] = -EDGE * (1.0f - LID) * cur;
            row[LC + CH_EYES] = -EDGE * (1.0f - LID) * prev;
            row[CH_SHAPE] = EDGE;
            row[CH_SLOPE] = EDGE * s;
            b = EDGE * (1.0f - SHAPE_EYE_BASE) - EDGE * s * SLOPE_OFFSET;
          }
          row[2 * LC + k] = PHASE_GATE;
          bias[static_cast<std::size_t>(u)] = b - PHASE_GATE - static_cast<float>(piece);
        }
}

// (SUBS, HIDDEN) weights giving, for colour c, each face sub-pixel of a
// latent pixel less the inks by the coverage of its face row.
std::vector<float> paint_weights(int c) {
  std::vector<float> w(static_cast<std::size_t>(SUBS) * HIDDEN, 0.0f);
  for (int sub = 0; sub < SUBS; ++sub) {
    float* row = &w[static_cast<std::size_t>(sub) * HIDDEN];
    row[sub * 3 + c] = 1.0f;
    for (int eye = 0; eye < 2; ++eye) {
      const float ink = (eye ? EYE_INK : MOUTH_INK)[static_cast<std::size_t>(c)];
      for (int k = 0; k < PHASES; ++k) {
        row[hidden_unit(eye, sub / 2, k, 0)] = -ink;
        row[hidden_unit(eye, sub / 2, k, 1)] = ink;
      }
    }
  }
  return w;
}

// (SUBS, in_ch) paint weights over hidden channels that saturate at 1: the
// first ramp piece alone is the coverage, the second one is left out.
std::vector<float> paint_weights_saturated(int c, int in_ch) {
  const std::vector<float> full = paint_weights(c);
  std::vector<float> w(static_cast<std::size_t>(SUBS) * in_ch, 0.0f);
  for (int sub = 0; sub < SUBS; ++sub)
    for (int u = 0; u < HIDDEN; ++u) {
      const bool second_piece = u >= FACE_CHANNELS && (u - FACE_CHANNELS) % 2 == 1;
      if (!second_piece)
        w[static_cast<std::size_t>(sub) * in_ch + u] =
            full[static_cast<std::size_t>(sub) * HIDDEN + u];
    }
  return w;
}

// 3x3 conv (out_ch, 3, 3, in_ch) passing the first `pass` channels through its
// centre tap and filling the rest with small pseudo-random weights.
std::vector<float> passthrough_3x3(int out_ch, int in_ch, int pass, Lcg& rng) {
  std::vector<float> w(static_cast<std::size_t>(out_ch) * 9 * in_ch, 0.0f);
  for (int o = 0; o < out_ch; ++o)
    for (int k = 0; k < 9; ++k)
      for (int i = 0; i < in_ch; ++i) {
        float& v = w[(static_cast<std::size_t>(o) * 9 + k) * in_ch + i];
        if (o < pass)
          v = (k == 4 && i == o) ? 1.0f : 0.0f;
        else
          v = 0.04f * rng.next();
      }
  return w;
}

class Builder {
 public:
  Builder(ModelWriter& m, DecoderKind dec) : m_(m), dec_(dec) {}

  void enc() {
    Graph g(m_, "enc");
    const int x = g.input("args_0", {1, TEMPO_SAMPLES});
    const int sq = g.mul(x, x);
    const std::vector<float> avg(BLOCK, 1.0f / BLOCK);
    const float zero1[1] = {0.0f};
    const int blocks =
        g.fully_connected(g.reshape(sq, {BLOCKS, BLOCK}), g.constant("block_mean", {1, BLOCK}, avg),
                          g.constant("block_bias", {1}, zero1), Act::NONE);
    // Row i averages the blocks that fall in its 1/14 of the window, with
    // fractional weights for the blocks a row boundary cuts.
    std::vector<float> rows(static_cast<std::size_t>(ROWS) * BLOCKS, 0.0f);
    const double span = static_cast<double>(BLOCKS) / ROWS;
    for (int r = 0; r < ROWS; ++r)
      for (int b = 0; b < BLOCKS; ++b) {
        const double lo = std::max<double>(b, r * span),
                     hi = std::min<double>(b + 1, (r + 1) * span);
        if (hi > lo)
          rows[static_cast<std::size_t>(r) * BLOCKS + b] = static_cast<float>((hi - lo) / span);
      }
    const std::vector<float> zeros(ROWS, 0.0f);
    const int ms = g.fully_connected(g.reshape(blocks, {1, BLOCKS}),
                                     g.constant("row_mean", {ROWS, BLOCKS}, rows),
                                     g.constant("row_bias", {ROWS}, zeros), Act::NONE);
    g.sign("enc", {{"args_0", x}}, {{"output_0", g.sqrt(ms)}});
  }

  void tok() {
    Graph g(m_, "tok14");
    const int x = g.input("args_0", {1, ROWS});
    const std::vector<float> w(NA * CA, MOUTH_GAIN), b(NA * CA, -MOUTH_GATE);
    const int t = g.fully_connected(g.reshape(x, {ROWS, 1}), g.constant("gain", {NA * CA, 1}, w),
                                    g.constant("gate", {NA * CA}, b), Act::RELU_N1_TO_1);
    g.sign("tok14", {{"args_0", x}}, {{"output_0", g.reshape(t, {ROWS, NA, CA})}});
  }

  void step() {
    Graph g(m_, "step");
    const int atok = g.input("args_0", {1, NA, CA});
    const int hist = g.input("args_1", {1, LC, CTX, LH, LW});
    const int newest = g.reshape(
        g.slice(g.reshape(hist, {LC, CTX, PLANE}), {0, CTX - 1, 0}, {LC, CTX, PLANE}), {LC, PLANE});
    const int carry = g.slice(newest, {0, 0}, {CH_MOUTH, PLANE});  // face and shape
    const int last_open = g.slice(newest, {CH_MOUTH, 0}, {CH_MOUTH + 1, 1});
    const int clock = g.slice(newest, {CH_EYES, 0}, {CH_EYES + 1, 1});

    // Multiples of 1/BLINK_PERIOD (a power of two) stay exact, so the clock
    // never drifts however long the stream.
    static_assert((BLINK_PERIOD & (BLINK_PERIOD - 1)) == 0);
    constexpr float TICK = 1.0f / BLINK_PERIOD;
    const int tick = g.floor_mod_scalar(g.add_scalar(clock, TICK), 1.0f);
    // ~1 on the last step of each period, ~0 on every other.
    constexpr float STEEP = 20.0f * BLINK_PERIOD;
    const int closed =
        g.logistic(g.add_scalar(g.mul_scalar(tick, STEEP), -STEEP * (1.0f - 1.5f * TICK)));

    const int heard = g.slice(g.reshape(atok, {1, NA * CA}), {0, 0}, {1, 1});
    const int open = g.maximum(heard, g.mul_scalar(last_open, MOUTH_RELEASE));

    const std::vector<float> zeros(PLANE, 0.0f);
    const int mouth = g.add(open, g.constant("mouth_plane", {1, PLANE}, zeros));
    const int eyes = g.concat(
        {tick, g.add(closed, g.constant("eye_plane", {1, PLANE - 1}, {zeros.data(), PLANE - 1}))},
        1);
    const int lat = g.concat({carry, mouth, eyes}, 0);
    g.sign("step", {{"args_0", atok}, {"args_1", hist}},
           {{"output_0", g.reshape(lat, {LC, LH, LW})}});
  }

  void dec(const char* key, int batch) {
    Graph g(m_, key);
    const int x = g.input("args_0", {batch, DEC_IN, LH, LW});
    // Per colour, the four face sub-pixels of each latent pixel with the inks
    // already subtracted: (batch, 1, PLANE, SUBS).
    const std::vector<int> colours =
        dec_.int8 ? colours_int8(g, x, batch) : colours_float(g, x, batch);
    g.sign(key, {{"args_0", x}}, {{"output_0", upsample(g, g.concat(colours, 1), batch)}});
  }

 private:
  std::vector<int> colours_float(Graph& g, int x, int batch) {
    std::vector<int> colours;
    std::vector<float> hw, hb;
    if (dec_.heavy) {
      int t = g.transpose(x, {0, 2, 3, 1});
      Lcg rng;
      const std::vector<float> b(HEAVY_CH, 0.0f);
      t = g.conv2d(t,
                   g.constant("conv1", {HEAVY_CH, 3, 3, DEC_IN},
                              passthrough_3x3(HEAVY_CH, DEC_IN, DEC_IN, rng)),
                   g.constant("conv1_b", {HEAVY_CH}, b), fmt::Padding::SAME, Act::RELU);
      t = g.conv2d(t,
                   g.constant("conv2", {HEAVY_CH, 3, 3, HEAVY_CH},
                              passthrough_3x3(HEAVY_CH, HEAVY_CH, DEC_IN, rng)),
                   g.constant("conv2_b", {HEAVY_CH}, b), fmt::Padding::SAME, Act::RELU);
      hidden_layer(HEAVY_CH, hw, hb);
      const int h = g.conv2d(t, g.constant("hidden", {HIDDEN, 1, 1, HEAVY_CH}, hw),
                             g.constant("hidden_b", {HIDDEN}, hb), fmt::Padding::VALID, Act::RELU);
      for (int c = 0; c < 3; ++c) {
        const std::string n = "paint" + std::to_string(c);
        const int y = g.conv2d(h, g.constant(n, {SUBS, 1, 1, HIDDEN}, paint_weights(c)),
                               zeros(g, n, SUBS), fmt::Padding::VALID, Act::RELU);
        colours.push_back(g.reshape(y, {batch, 1, PLANE, SUBS}));
      }
    } else {
      // Read as a one-channel image of (channels x pixels), the channels-first
      // input is mixed by a convolution whose kernel spans all channels; that
      // spares a transpose of the whole input.
      hidden_layer(DEC_IN, hw, hb);
      const int h = g.conv2d(g.reshape(x, {batch, DEC_IN, PLANE, 1}),
                             g.constant("hidden", {HIDDEN, DEC_IN, 1, 1}, hw),
                             g.constant("hidden_b", {HIDDEN}, hb), fmt::Padding::VALID, Act::RELU);
      for (int c = 0; c < 3; ++c) {
        const std::string n = "paint" + std::to_string(c);
        colours.push_back(g.conv2d(h, g.constant(n, {SUBS, 1, 1, HIDDEN}, paint_weights(c)),
                                   zeros(g, n, SUBS), fmt::Padding::VALID, Act::RELU));
      }
    }
    return colours;
  }

  // The same frames in int8. The hidden layer comes first, in float: it turns
  // the shape field into outline coverage, which needs more than 8 bits of
  // the field, and its face channels and first ramp pieces all lie in [0, 1].
  // Quantised to 1/255 steps over exactly [0, 1], the ramp saturates at 1 by
  // itself, so the int8 paint needs only the first piece of each pair. In the
  // heavy decoder the costly 3x3 layers follow on int8 activations, passing
  // the hidden channels through at their centre tap, as the float ones pass
  // the input through.
  std::vector<int> colours_int8(Graph& g, int x, int batch) {
    constexpr QuantParams UNIT{1.0f / 255.0f, -128};
    std::vector<int> colours;
    std::vector<float> hw, hb;
    hidden_layer(DEC_IN, hw, hb);
    int h;
    if (dec_.heavy) {
      const int t = g.transpose(x, {0, 2, 3, 1});
      h = g.quantize(g.conv2d(t, g.constant("hidden", {HIDDEN, 1, 1, DEC_IN}, hw),
                              g.constant("hidden_b", {HIDDEN}, hb), fmt::Padding::VALID, Act::RELU),
                     UNIT);
      Lcg rng;
      const std::vector<float> b(HEAVY_CH, 0.0f);
      h = g.conv2d_int8(h, {HEAVY_CH, 3, 3, HIDDEN}, passthrough_3x3(HEAVY_CH, HIDDEN, HIDDEN, rng),
                        b, fmt::Padding::SAME, Act::RELU, UNIT);
      h = g.conv2d_int8(h, {HEAVY_CH, 3, 3, HEAVY_CH},
                        passthrough_3x3(HEAVY_CH, HEAVY_CH, HIDDEN, rng), b, fmt::Padding::SAME,
                        Act::RELU, UNIT);
    } else {
      h = g.quantize(g.conv2d(g.reshape(x, {batch, DEC_IN, PLANE, 1}),
                              g.constant("hidden", {HIDDEN, DEC_IN, 1, 1}, hw),
                              g.constant("hidden_b", {HIDDEN}, hb), fmt::Padding::VALID, Act::RELU),
                     UNIT);
    }
    const int h_ch = g.shape(h).back();
    const std::vector<float> zero_b(SUBS, 0.0f);
    for (int c = 0; c < 3; ++c) {
      const std::vector<float> pw = paint_weights_saturated(c, h_ch);
      const int y =
          g.conv2d_int8(h, {SUBS, 1, 1, h_ch}, pw, zero_b, fmt::Padding::VALID, Act::RELU, UNIT);
      colours.push_back(dec_.heavy ? g.reshape(y, {batch, 1, PLANE, SUBS}) : y);
    }
    return colours;
  }

  // (batch, 3, PLANE, SUBS) sub-pixel values -> (batch, 3, FH, FW) frames.
  // The frame is channels-first, so colour planes are folded into the batch
  // and never leave it: sub-pixels to a (2 LH, 2 LW) image, each value copied
  // SUB times along its row by a 1x1 convolution, each row SUB times by a
  // concatenation. Only the last step touches frame-sized memory, once, as
  // whole-row copies; a channels-last frame and a transpose would cost two
  // more passes over it.
  int upsample(Graph& g, int planes, int batch) {
    const int n = batch * 3;
    const int img = g.depth_to_space(g.reshape(planes, {n, LH, LW, SUBS}), 2);
    const std::vector<float> ones(SUB, 1.0f);
    if (g.is_int8(planes)) {
      // Int8 up to the last step, a quarter of the float traffic; the widening
      // copies at the same scale, so each value passes through exactly.
      const int rows = g.reshape(img, {n * 2 * LH, 1, 2 * LW, 1});
      const std::vector<float> z(SUB, 0.0f);
      const int wide = g.conv2d_int8(rows, {SUB, 1, 1, 1}, ones, z, fmt::Padding::VALID, Act::NONE,
                                     g.quant(rows));
      const int row = g.reshape(wide, {n * 2 * LH, 1, FW});
      return g.dequantize(g.reshape(g.concat(std::vector<int>(SUB, row), 1), {batch, 3, FH, FW}));
    }
    const int wide = g.conv2d(g.reshape(img, {n * 2 * LH, 1, 2 * LW, 1}),
                              g.constant("widen", {SUB, 1, 1, 1}, ones), zeros(g, "widen", SUB),
                              fmt::Padding::VALID, Act::NONE);
    const int row = g.reshape(wide, {n * 2 * LH, 1, FW});
    return g.reshape(g.concat(std::vector<int>(SUB, row), 1), {batch, 3, FH, FW});
  }

  static int zeros(Graph& g, const std::string& name, int n) {
    const std::vector<float> z(static_cast<std::size_t>(n), 0.0f);
    return g.constant(name + "_b", {n}, z);
  }

  ModelWriter& m_;
  DecoderKind dec_;
};

}  // namespace

std::vector<float> canon_latent() {
  std::vector<float> lat(static_cast<std::size_t>(LC) * PLANE, 0.0f);
  auto at = [&](int ch, int y, int x) -> float& {
    return lat[static_cast<std::size_t>(ch) * PLANE + static_cast<std::size_t>(y) * LW + x];
  };
  // Face at twice the latent resolution; each face pixel covers 4x4 frame
  // pixels and is the average of those 16 samples, which anti-aliases edges.
  constexpr int S = SUB;
  for (int fy = 0; fy < 2 * LH; ++fy)
    for (int fx = 0; fx < 2 * LW; ++fx) {
      float acc[3] = {0, 0, 0};
      for (int sy = 0; sy < S; ++sy)
        for (int sx = 0; sx < S; ++sx) {
          const Rgb c = face_at(fx * S + sx + 0.5, fy * S + sy + 0.5);
          acc[0] += c.r;
          acc[1] += c.g;
          acc[2] += c.b;
        }
      const int sub = (fy % 2) * 2 + fx % 2;
      for (int c = 0; c < 3; ++c) at(sub * 3 + c, fy / 2, fx / 2) = acc[c] / (S * S);
    }
  // Shape field, per face row: the mouth is a lens of half-height MOUTH_HALF
  // face rows at full opening, each eye one of EYE_HALF; a point is inside
  // when the opening exceeds its field value.
  auto field = [](int fy, int x) {
    const double yc = (fy + 0.5) * SUB;  // face row centre, in frame rows
    double v = SHAPE_FAR;
    const double mdx = x - (LW - 1) / 2.0, mdy = (yc - (MOUTH_ROW + 0.5) * UP) / SUB;
    const double mw = 1.0 - (mdx / 6.5) * (mdx / 6.5);
    if (mw > 0.05 && std::fabs(mdy) <= 2 * MOUTH_HALF)
      v = std::min(5.0, std::fabs(mdy) / (MOUTH_HALF * mw));
    for (int ex : EYE_COLS) {
      const double dx = x - ex, dy = (yc - (EYE_ROW + 0.5) * UP) / SUB;
      const double w = 1.0 - (dx / 3.2) * (dx / 3.2);
      if (w > 0.05 && std::fabs(dy) <= 2 * EYE_HALF)
        v = SHAPE_EYE_BASE - std::min(5.0, std::fabs(dy) / (EYE_HALF * w));
    }
    return v;
  };
  for (int y = 0; y < LH; ++y)
    for (int x = 0; x < LW; ++x) {
      const double top = field(2 * y, x), bottom = field(2 * y + 1, x);
      at(CH_SHAPE, y, x) = static_cast<float>((top + bottom) / 2);
      at(CH_SLOPE, y, x) = static_cast<float>((bottom - top) / 2 + SLOPE_OFFSET);
    }
  // Mouth closed, eyes open, blink clock at 0: the planes start at 0.
  return lat;
}

std::vector<std::uint8_t> build_model(std::span<const std::string_view> sigs, DecoderKind dec) {
  ModelWriter m;
  Builder b(m, dec);
  return build_signatures(m, b, sigs);
}

}  // namespace kinra2::demo
