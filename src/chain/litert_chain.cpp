#include "chain/litert_chain.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "base/shape_text.hpp"
#include "base/text.hpp"
#include "chain/litert_runtime.hpp"
#include "litert/runtime_library.hpp"

namespace kinra2::chain {

namespace {

std::size_t elements(std::span<const int> shape) {
  std::size_t n = 1;
  for (int d : shape) {
    if (d < 0) throw std::invalid_argument("negative dimension in tensor shape");
    n *= static_cast<std::size_t>(d);
  }
  return n;
}

// A shape in parentheses, "(1, 36, 72, 65)": the chain's errors have always
// written shapes as tuples.
std::string tuple_text(std::span<const int> s) {
  std::string out = base::shape_text(s);
  out.front() = '(';
  out.back() = ')';
  return out;
}

[[noreturn]] void bad_reshape(std::size_t have, std::span<const int> to) {
  throw std::invalid_argument("cannot reshape array of size " + std::to_string(have) +
                              " into shape " + tuple_text(to));
}

Tensor copy_out(const TensorRef& r) {
  Tensor t;
  t.type = r.type;
  t.shape = r.shape;
  const auto* p = static_cast<const std::byte*>(r.data);
  t.bytes.assign(p, p + r.nbytes);
  return t;
}

float half_to_float(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  std::uint32_t exp = (h >> 10) & 0x1fu;
  std::uint32_t man = h & 0x3ffu;
  std::uint32_t bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (man << 13);
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (man << 13);
  } else if (man == 0) {
    bits = sign;
  } else {  // subnormal: normalise
    exp = 113;
    while ((man & 0x400u) == 0) {
      man <<= 1;
      --exp;
    }
    bits = sign | (exp << 23) | ((man & 0x3ffu) << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

template <typename T>
void convert(const void* src, float* dst, std::size_t n) {
  const auto* s = static_cast<const T*>(src);
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<float>(s[i]);
}

// Copies `n` values of a runtime output into float32, converting when the
// decoder produced another element type.
void to_float(const TensorRef& r, std::size_t first, std::size_t n, float* dst) {
  const std::size_t es = type_size(r.type);
  const auto* src = static_cast<const std::byte*>(r.data) + first * es;
  switch (r.type) {
    case kTfLiteFloat32: std::memcpy(dst, src, n * sizeof(float)); return;
    case kTfLiteFloat64: convert<double>(src, dst, n); return;
    case kTfLiteInt8: convert<std::int8_t>(src, dst, n); return;
    case kTfLiteUInt8: convert<std::uint8_t>(src, dst, n); return;
    case kTfLiteInt16: convert<std::int16_t>(src, dst, n); return;
    case kTfLiteInt32: convert<std::int32_t>(src, dst, n); return;
    case kTfLiteInt64: convert<std::int64_t>(src, dst, n); return;
    case kTfLiteFloat16: {
      const auto* h = reinterpret_cast<const std::uint16_t*>(src);
      for (std::size_t i = 0; i < n; ++i) dst[i] = half_to_float(h[i]);
      return;
    }
    default:
      throw std::runtime_error(std::string("decoder output of type ") + type_name(r.type) +
                               " cannot be converted to float32");
  }
}

}  // namespace

// ---------------------------------------------------------------------------

std::size_t Tensor::count() const {
  return elements(shape);
}

Tensor::View Tensor::view() const {
  return {type, shape, bytes.data(), bytes.size()};
}

Tensor::View Tensor::row(std::size_t i) const {
  if (shape.empty() || i >= static_cast<std::size_t>(shape[0]))
    throw std::out_of_range("row " + std::to_string(i) + " of a tensor of shape " +
                            tuple_text(shape));
  std::vector<int> sub(shape.begin() + 1, shape.end());
  const std::size_t nb = bytes.size() / static_cast<std::size_t>(shape[0]);
  return {type, std::move(sub), bytes.data() + i * nb, nb};
}

// ---------------------------------------------------------------------------

DecInputs build_dec_inputs(std::span<const std::vector<float>> lats, int blk,
                           const std::vector<float>* prev_lat) {
  if (blk < 0 || static_cast<std::size_t>(blk) > lats.size())
    throw std::invalid_argument("build_dec_inputs: block of " + std::to_string(blk) +
                                " latents from " + std::to_string(lats.size()));
  for (int j = 0; j < blk; ++j)
    if (lats[static_cast<std::size_t>(j)].size() != LAT_SIZE)
      bad_reshape(lats[static_cast<std::size_t>(j)].size(), std::array{LC, PLANE});
  if (prev_lat && prev_lat->size() != LAT_SIZE)
    bad_reshape(prev_lat->size(), std::array{LC, PLANE});

  DecInputs out;
  if (blk == 0) return out;
  out.n = prev_lat ? 4 * blk : 4 * blk - 3;
  out.xs.resize(static_cast<std::size_t>(out.n) * DEC_ROW);
  float* row = out.xs.data();
  for (int j = 0; j < blk; ++j) {
    const std::vector<float>& cur = lats[static_cast<std::size_t>(j)];
    const std::vector<float>& prev =
        j > 0 ? lats[static_cast<std::size_t>(j - 1)] : (prev_lat ? *prev_lat : cur);
    for (int k = (j == 0 && !prev_lat) ? 3 : 0; k < 4; ++k, row += DEC_ROW) {
      std::memcpy(row, cur.data(), LAT_SIZE * sizeof(float));
      std::memcpy(row + LAT_SIZE, prev.data(), LAT_SIZE * sizeof(float));
      std::fill_n(row + (2 * LC + k) * std::size_t{PLANE}, PLANE, 1.0f);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------

// Keeps a few released batch buffers for reuse. A buffer is handed out
// only once it is free again, so frames a caller still holds are never
// touched; a buffer released after the chain is gone is simply freed.
class LitertChain::BatchRecycler {
 public:
  static std::shared_ptr<float[]> get(const std::shared_ptr<BatchRecycler>& self, std::size_t n) {
    std::unique_ptr<float[]> buf;
    {
      std::lock_guard lock(self->mu_);
      auto& free = self->free_;
      for (auto it = free.begin(); it != free.end(); ++it) {
        if (it->first == n) {
          buf = std::move(it->second);
          free.erase(it);
          break;
        }
      }
    }
    if (!buf) buf.reset(new float[n]);
    std::weak_ptr<BatchRecycler> home = self;
    return std::shared_ptr<float[]>(buf.release(), [home, n](float* p) {
      std::unique_ptr<float[]> back(p);
      if (auto r = home.lock()) {
        std::lock_guard lock(r->mu_);
        if (r->free_.size() < MAX_KEPT) r->free_.emplace_back(n, std::move(back));
      }
    });
  }

 private:
  // Two full batches of 16 and one of 8 cover a steady chunk.
  static constexpr std::size_t MAX_KEPT = 3;
  std::mutex mu_;
  std::vector<std::pair<std::size_t, std::unique_ptr<float[]>>> free_;
};

LitertChain::LitertChain(const std::vector<std::string>& tflite_paths, std::span<const float> canon,
                         int threads)
    : recycler_(std::make_shared<BatchRecycler>()) {
  // The first thing that needs the runtime: without it nothing else here can
  // be said, so its line comes before any word about the model files.
  litert::require_runtime();
  for (const std::string& path : tflite_paths) {
    auto model = std::make_shared<LitertModel>(path, threads);
    models_.push_back(model);
    for (const std::string& key : model->signature_keys()) {
      if (runners_.count(key)) continue;  // a later offer of a name loses
      auto runner = model->runner(key);
      // Interpreters are built only for the signatures the chain runs; other
      // names stay listed with a runner that would load on first use.
      if (std::find(SIGS.begin(), SIGS.end(), key) != SIGS.end()) runner->load();
      runners_.emplace(key, std::move(runner));
      runner_order_.push_back(key);
    }
  }
  std::vector<std::string> missing;
  for (std::string_view s : SIGS)
    if (!runners_.count(std::string(s))) missing.emplace_back(s);
  if (!missing.empty()) {
    std::vector<std::string> have = signature_names();
    std::sort(have.begin(), have.end());
    throw std::runtime_error("LiteRT chain missing signature(s) " + base::literal_list(missing) +
                             " across " + base::literal_list(tflite_paths) + " (have " +
                             base::literal_list(have) +
                             "); need combined_litert.tflite OR shared-enc.tflite + "
                             "identity.tflite");
  }
  enc_ = runners_.at("enc");
  tok_ = runners_.at("tok14");
  step_ = runners_.at("step");
  dec16_ = runners_.at("dec16");
  dec8_ = runners_.at("dec8");

  hist_key_ = "args_0";
  for (const TensorInfo& in : step_->input_details())
    if (in.shape.size() == 5) {
      hist_key_ = in.name;
      break;
    }
  atok_key_ = hist_key_ == "args_0" ? "args_1" : "args_0";

  if (canon.size() != LAT_SIZE) bad_reshape(canon.size(), std::array{LC, PLANE});
  canon_.assign(canon.begin(), canon.end());
}

LitertChain::~LitertChain() = default;

std::vector<std::string> LitertChain::signature_names() const {
  return runner_order_;
}

std::vector<float> LitertChain::new_hist() const {
  std::vector<float> h(HIST_SIZE);
  float* p = h.data();
  for (int c = 0; c < LC; ++c)
    for (int pos = 0; pos < CTX; ++pos, p += PLANE)
      std::memcpy(p, canon_.data() + std::size_t{PLANE} * c, PLANE * sizeof(float));
  return h;
}

void LitertChain::shift_hist(std::span<float> h, std::span<const float> lat) {
  // Both sizes are checked before anything moves, so a bad call leaves the
  // history as it was.
  if (h.size() != HIST_SIZE) bad_reshape(h.size(), std::array{1, LC, CTX, LH, LW});
  if (lat.size() != LAT_SIZE) bad_reshape(lat.size(), std::array{LC, LH, LW});
  const std::size_t per_channel = std::size_t{CTX} * PLANE;
  for (int c = 0; c < LC; ++c) {
    float* ch = h.data() + per_channel * c;
    std::memmove(ch, ch + PLANE, (per_channel - PLANE) * sizeof(float));
    std::memcpy(ch + per_channel - PLANE, lat.data() + std::size_t{PLANE} * c,
                PLANE * sizeof(float));
  }
}

Tensor LitertChain::run_enc(std::span<const float> tempo) {
  const std::array<int, 2> shape{1, TEMPO_SAMPLES};
  if (tempo.size() != static_cast<std::size_t>(TEMPO_SAMPLES)) bad_reshape(tempo.size(), shape);
  const InputArg in{"args_0", kTfLiteFloat32, shape, tempo.data(), tempo.size_bytes()};
  enc_->set_inputs({&in, 1});
  enc_->invoke();
  return copy_out(enc_->output("output_0"));
}

Tensor LitertChain::run_tok(const Tensor& feats) {
  const InputArg in{"args_0", feats.type, feats.shape, feats.bytes.data(), feats.bytes.size()};
  tok_->set_inputs({&in, 1});
  tok_->invoke();
  Tensor out = copy_out(tok_->output("output_0"));
  const std::array<int, 3> shape{14, NA, CA};
  if (out.count() != elements(shape)) bad_reshape(out.count(), shape);
  out.shape.assign(shape.begin(), shape.end());
  return out;
}

std::vector<float> LitertChain::run_step(std::span<const float> hist, const Tensor::View& atok) {
  const std::array<int, 5> hshape{1, LC, CTX, LH, LW};
  const std::array<int, 3> ashape{1, NA, CA};
  if (hist.size() != HIST_SIZE) bad_reshape(hist.size(), hshape);
  if (elements(atok.shape) != elements(ashape)) bad_reshape(elements(atok.shape), ashape);
  const std::array<InputArg, 2> ins{
      InputArg{hist_key_, kTfLiteFloat32, hshape, hist.data(), hist.size_bytes()},
      InputArg{atok_key_, atok.type, ashape, atok.data, atok.nbytes}};
  step_->set_inputs(ins);
  step_->invoke();
  const TensorRef out = step_->output("output_0");
  const std::size_t n = type_size(out.type) ? out.nbytes / type_size(out.type) : 0;
  if (n != LAT_SIZE) bad_reshape(n, std::array{LC, LH, LW});
  std::vector<float> lat(LAT_SIZE);
  to_float(out, 0, LAT_SIZE, lat.data());
  return lat;
}

SignatureRunner& LitertChain::decode_batch(std::span<const float> rows, int take, int B) {
  SignatureRunner& dec = B == 16 ? *dec16_ : *dec8_;
  const std::array<int, 4> shape{B, DEC_PLANES, LH, LW};
  const std::size_t full = std::size_t(B) * DEC_ROW;
  // The C interface cannot point an input at our memory, so the rows are
  // copied once, straight into the decoder's own input tensor.
  auto* dst =
      static_cast<float*>(dec.input_buffer("args_0", kTfLiteFloat32, shape, full * sizeof(float)));
  const std::size_t used = std::size_t(take) * DEC_ROW;
  std::memcpy(dst, rows.data(), used * sizeof(float));
  std::fill(dst + used, dst + full, 0.0f);
  dec.invoke();
  return dec;
}

namespace {

TensorRef checked_frames(const SignatureRunner& dec, int B) {
  TensorRef out = dec.output("output_0");
  const std::size_t es = type_size(out.type);
  if (out.shape.empty() || out.shape[0] != B || es == 0 ||
      out.nbytes != std::size_t(B) * FRAME_SIZE * es)
    throw std::runtime_error("signature '" + dec.key() + "' output 'output_0' has shape " +
                             tuple_text(out.shape) + " of " + type_name(out.type) + ", expected (" +
                             std::to_string(B) + ", 3, " + std::to_string(FH) + ", " +
                             std::to_string(FW) + ")");
  return out;
}

void check_rows(std::span<const float> xs, int n) {
  if (n < 0 || xs.size() < std::size_t(n) * DEC_ROW)
    throw std::invalid_argument("decoder input holds " + std::to_string(xs.size()) +
                                " values, fewer than " + std::to_string(n) + " rows of " +
                                std::to_string(DEC_ROW));
}

}  // namespace

void LitertChain::each_batch(
    std::span<const float> xs, int n,
    const std::function<void(int first, int take, const TensorRef& out)>& use) {
  check_rows(xs, n);
  for (int done = 0; done < n;) {
    const int rem = n - done;
    const int B = rem > 8 ? 16 : 8;
    const int take = std::min(rem, B);
    SignatureRunner& dec = decode_batch(xs.subspan(std::size_t(done) * DEC_ROW), take, B);
    use(done, take, checked_frames(dec, B));
    done += take;
  }
}

Frames LitertChain::run_dec_frames(std::span<const float> xs, int n) {
  Frames frames;
  frames.frames.reserve(static_cast<std::size_t>(std::max(n, 0)));
  each_batch(xs, n, [&](int, int take, const TensorRef& out) {
    // The runtime reuses its output tensor on the next call: keep only the
    // rows that carry frames, in memory the caller owns.
    std::shared_ptr<float[]> owner = BatchRecycler::get(recycler_, std::size_t(take) * FRAME_SIZE);
    to_float(out, 0, std::size_t(take) * FRAME_SIZE, owner.get());
    for (int k = 0; k < take; ++k)
      frames.frames.push_back(owner.get() + std::size_t(k) * FRAME_SIZE);
    frames.owners.push_back(std::move(owner));
  });
  return frames;
}

void LitertChain::run_dec_each(std::span<const float> xs, int n, const BatchSink& sink) {
  std::unique_ptr<float[]> one;  // a single converted frame, only for non-float32 decoders
  each_batch(xs, n, [&](int done, int take, const TensorRef& out) {
    if (out.type == kTfLiteFloat32) {
      std::array<const float*, 16> rows{};
      for (int k = 0; k < take; ++k)
        rows[std::size_t(k)] = static_cast<const float*>(out.data) + std::size_t(k) * FRAME_SIZE;
      sink(done, std::span<const float* const>(rows.data(), std::size_t(take)));
      return;
    }
    if (!one) one = std::make_unique_for_overwrite<float[]>(FRAME_SIZE);
    for (int k = 0; k < take; ++k) {
      to_float(out, std::size_t(k) * FRAME_SIZE, FRAME_SIZE, one.get());
      const float* f = one.get();
      sink(done + k, std::span<const float* const>(&f, 1));
    }
  });
}

std::vector<float> LitertChain::run_dec_batch(std::span<const float> xs, int n) {
  check_rows(xs, n);
  std::vector<float> px(std::size_t(n) * FRAME_SIZE);
  each_batch(xs, n, [&](int done, int take, const TensorRef& out) {
    to_float(out, 0, std::size_t(take) * FRAME_SIZE, px.data() + std::size_t(done) * FRAME_SIZE);
  });
  return px;
}

}  // namespace kinra2::chain
