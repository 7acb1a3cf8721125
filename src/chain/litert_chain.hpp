// The model chain of one identity: its LiteRT model files, the five signature
// runners the renderer drives, the latent history and the decoder input layout.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <tensorflow/lite/c/c_api_types.h>

#include "base/constants.hpp"

namespace kinra2::chain {

class LitertModel;
class SignatureRunner;
struct TensorRef;

// Owned tensor of whatever element type the runtime produced (features, token
// blocks). The bytes come from operator new, so they are aligned for every
// element type the runtime has.
struct Tensor {
  TfLiteType type = kTfLiteFloat32;
  std::vector<int> shape;
  std::vector<std::byte> bytes;

  std::size_t count() const;  // element count (product of shape)

  struct View {
    TfLiteType type;
    std::vector<int> shape;
    const void* data;
    std::size_t nbytes;
  };
  // Slice along the leading index, e.g. one token row (NA, CA) of a block.
  // Throws std::out_of_range for an index past the leading dimension.
  View row(std::size_t i) const;
  View view() const;  // the whole tensor
};

// Frames decoded by one run_dec_frames call: each frames[k] points at
// 3*FH*FW writable floats, kept alive by `owners` (the batch outputs).
struct Frames {
  std::vector<float*> frames;
  std::vector<std::shared_ptr<float[]>> owners;
  std::size_t size() const { return frames.size(); }
};

// The frames of one decoder batch as the runtime left them: frames[k] is row
// first + k of the decode, 3*FH*FW float32, readable only until the sink
// returns (the runtime reuses the memory for the next batch).
using BatchSink = std::function<void(int first, std::span<const float* const> frames)>;

struct DecInputs {
  std::vector<float> xs;  // (n, 36, LH, LW)
  int n = 0;
};

inline constexpr int DEC_PLANES = 2 * LC + 4;                            // 36
inline constexpr std::size_t DEC_ROW = std::size_t{DEC_PLANES} * PLANE;  // floats per decoder row
inline constexpr std::size_t LAT_SIZE = std::size_t{LC} * PLANE;         // floats per latent
inline constexpr std::size_t HIST_SIZE = LAT_SIZE * CTX;                 // floats per history
inline constexpr std::size_t FRAME_SIZE = std::size_t{3} * FH * FW;      // floats per model frame

// Rows of decoder input for the first `blk` latents of `lats`; prev_lat is the
// last latent of the previous block (nullptr for a stream's first block).
// Every latent must hold LC*PLANE values (std::invalid_argument otherwise).
DecInputs build_dec_inputs(std::span<const std::vector<float>> lats, int blk,
                           const std::vector<float>* prev_lat);

class LitertChain {
 public:
  LitertChain(const std::vector<std::string>& tflite_paths, std::span<const float> canon,
              int threads);
  ~LitertChain();
  LitertChain(const LitertChain&) = delete;
  LitertChain& operator=(const LitertChain&) = delete;

  std::vector<float> new_hist() const;  // (1, LC, CTX, LH, LW)
  static void shift_hist(std::span<float> h, std::span<const float> lat);

  Tensor run_enc(std::span<const float> tempo);  // tempo: TEMPO_SAMPLES
  Tensor run_tok(const Tensor& feats);           // shape (14, NA, CA)
  std::vector<float> run_step(std::span<const float> hist,
                              const Tensor::View& atok);  // LC*PLANE
  Frames run_dec_frames(std::span<const float> xs, int n);
  // Decodes the same batches as run_dec_frames, but hands each batch's frames
  // to `sink` straight from the decoder's output before the next batch runs,
  // so no float copy of the frames is ever made. Frames of another element
  // type than float32 are converted one at a time.
  void run_dec_each(std::span<const float> xs, int n, const BatchSink& sink);
  std::vector<float> run_dec_batch(std::span<const float> xs, int n);  // (n, 3, FH, FW)

  const std::string& hist_key() const { return hist_key_; }
  const std::string& atok_key() const { return atok_key_; }
  std::span<const float> canon() const { return canon_; }

  // Every signature name the chain's files offer, first offer kept.
  std::vector<std::string> signature_names() const;

 private:
  // Runs one decoder batch of B rows: `take` rows from `rows`, the rest zero.
  // Returns the runner, whose output "output_0" holds the batch result.
  SignatureRunner& decode_batch(std::span<const float> rows, int take, int B);
  // Decodes `n` rows of `xs` in batches of 16 (8 for a remainder of at most
  // 8) and hands each batch's checked output, with its first row and the
  // number of rows that carry frames, to `use` before the next batch runs.
  void each_batch(std::span<const float> xs, int n,
                  const std::function<void(int first, int take, const TensorRef& out)>& use);

  class BatchRecycler;

  std::vector<std::shared_ptr<LitertModel>> models_;
  std::map<std::string, std::shared_ptr<SignatureRunner>> runners_;
  std::vector<std::string> runner_order_;  // insertion order of runners_
  std::shared_ptr<SignatureRunner> enc_, tok_, step_, dec16_, dec8_;
  std::string hist_key_, atok_key_;
  std::vector<float> canon_;  // (LC, PLANE)
  // Batch outputs are tens of megabytes: the allocator would map each one
  // fresh and every decode would pay its page faults again. Released
  // batches come back here instead.
  std::shared_ptr<BatchRecycler> recycler_;
};

}  // namespace kinra2::chain
