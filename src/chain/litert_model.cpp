#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <flatbuffers/flatbuffers.h>

#include "base/text.hpp"
#include "chain/litert_runtime.hpp"
#include "chain/model_admission.hpp"
#include "chain/model_bytes_internal.hpp"
#include "chain/signature_view_internal.hpp"
#include "chain/xnnpack_guard.hpp"
#include "system/files.hpp"
#include "system/mapped_file.hpp"
#include "tflite_schema_generated.h"

namespace kinra2::chain {

namespace fmt = kinra2::fmt;
using detail::bad_model;
using detail::page_size;
using detail::round_up;

namespace {

constexpr std::size_t kMaxModel = std::numeric_limits<std::int32_t>::max();

// The model file, open, and its size, refused unless it can hold a model.
system::File open_model(const std::string& path, std::size_t& file_size) {
  system::File file = system::File::open_read(path);
  if (!file.ok())
    throw std::runtime_error("cannot open LiteRT model " + base::quoted(path) + ": " +
                             file.error().message());
  const auto st = file.stat();
  if (!st || !st->regular) bad_model(path, "is not a regular file");
  file_size = static_cast<std::size_t>(st->size);
  if (file_size < 8) bad_model(path, "is not a valid model (too short)");
  if (file_size >= kMaxModel - page_size()) bad_model(path, "is too large (2 GiB or more)");
  return file;
}

// Which subgraphs some signature enters, refused when a definition has no key
// or names a subgraph the file lacks.
std::vector<bool> entry_subgraphs(
    const std::string& path,
    const flatbuffers::Vector<flatbuffers::Offset<fmt::SignatureDef>>& defs, std::size_t n_sub) {
  std::vector<bool> entry(n_sub, false);
  for (const fmt::SignatureDef* d : defs) {
    if (d == nullptr || d->signature_key() == nullptr)
      bad_model(path, "has a signature definition without a key");
    if (d->subgraph_index() >= n_sub)
      bad_model(path, "signature '" + d->signature_key()->str() + "' names subgraph " +
                          std::to_string(d->subgraph_index()) + " of " + std::to_string(n_sub));
    entry[d->subgraph_index()] = true;
  }
  // The runtime builds subgraph 0 of every view; if it were not an entry it
  // would be some signature's control-flow body and could not be blanked.
  if (!entry[0]) bad_model(path, "has a primary subgraph that is no signature's entry");
  return entry;
}

// The names of a signature's inputs or outputs (`what`) and their positions
// among its subgraph's; each must be one of them.
template <typename TensorMaps, typename Indices>
void map_tensors(const std::string& path, const std::string& key, const TensorMaps* tmaps,
                 const Indices* ios, const char* what, std::vector<std::string>& names,
                 std::vector<int>& pos) {
  if (tmaps == nullptr) return;
  for (const fmt::TensorMap* tm : *tmaps) {
    if (tm == nullptr || tm->name() == nullptr)
      bad_model(path, "signature '" + key + "' has an unnamed " + what);
    int found = -1;
    if (ios != nullptr)
      for (std::size_t q = 0; q < ios->size(); ++q)
        if (static_cast<std::uint32_t>(ios->Get(static_cast<flatbuffers::uoffset_t>(q))) ==
            tm->tensor_index())
          found = static_cast<int>(q);
    if (found < 0)
      bad_model(path, "signature '" + key + "' " + what + " '" + tm->name()->str() +
                          "' is not an " + what + " of its subgraph");
    names.push_back(tm->name()->str());
    pos.push_back(found);
  }
}

}  // namespace

struct LitertModel::Signature {
  std::string key;
  std::uint32_t entry = 0;  // its entry subgraph
  std::size_t offset = 0;   // of its prefix within the region
  std::vector<std::string> in_names, out_names;
  std::vector<int> in_pos, out_pos;
  std::string no_xnnpack;  // why XNNPACK must stay off this signature
  std::uint32_t xnnpack_flags = 0;
  std::string largest_tensor;  // of its view, named when memory runs out
  std::uint64_t largest_bytes = 0;
  std::uint64_t tensor_bytes = 0;
};

LitertModel::LitertModel(const std::string& path, int threads, Load how,
                         const system::CpuIdentity& cpu, Int8Kernels int8_kernels)
    : path_(path), threads_(threads) {
  std::size_t file_size = 0;
  system::File file = open_model(path, file_size);

  // One page in front is room enough for the prefixes of most files; larger
  // signature sets are loaded again with the room they need.
  auto bytes = detail::load_model_bytes(path, file, file_size, page_size(), how);
  flatbuffers::Verifier verifier(bytes->file(), file_size);
  if (!fmt::VerifyModelBuffer(verifier))
    bad_model(path, "is not a valid model (verification failed)");
  const fmt::Model* model = fmt::GetModel(bytes->file());
  const auto* subs = model->subgraphs();
  const auto* defs = model->signature_defs();
  if (subs == nullptr || subs->size() == 0) bad_model(path, "has no subgraphs");
  // A model without signature definitions is still a model: it simply offers
  // no signatures, and the chain reports what is missing across all files.
  if (defs == nullptr || defs->size() == 0) return;
  const std::size_t n_sub = subs->size();

  const std::vector<bool> entry = entry_subgraphs(path, *defs, n_sub);

  for (const fmt::SignatureDef* d : *defs) {
    Signature s;
    s.key = d->signature_key()->str();
    s.entry = d->subgraph_index();
    if (std::find(keys_.begin(), keys_.end(), s.key) != keys_.end()) continue;
    const fmt::SubGraph* sg = subs->Get(d->subgraph_index());
    map_tensors(path, s.key, d->inputs(), sg->inputs(), "input", s.in_names, s.in_pos);
    map_tensors(path, s.key, d->outputs(), sg->outputs(), "output", s.out_names, s.out_pos);
    // The view keeps the entry and every subgraph no signature enters.
    std::vector<std::uint32_t> kept{s.entry};
    for (std::uint32_t j = 0; j < n_sub; ++j)
      if (!entry[j]) kept.push_back(j);
    s.no_xnnpack = xnnpack_hazard(*model, kept, cpu).value_or("");
    if (int8_kernels == Int8Kernels::Xnnpack) s.xnnpack_flags = xnnpack_8bit_flags(*model, kept);
    keys_.push_back(s.key);
    signatures_.push_back(std::move(s));
  }

  const std::size_t psize = detail::prefix_size(n_sub);
  const std::size_t room = round_up(psize * signatures_.size(), page_size());
  if (room > bytes->room) {
    if (room + file_size >= kMaxModel) bad_model(path, "is too large (2 GiB or more)");
    bytes.reset();
    bytes = detail::load_model_bytes(path, file, file_size, room, how);
    // The file is read anew, and the prefixes below are built by following
    // its offsets: a file that changed in between must not be trusted.
    flatbuffers::Verifier again(bytes->file(), file_size);
    if (!fmt::VerifyModelBuffer(again)) bad_model(path, "changed while it was being loaded");
    model = fmt::GetModel(bytes->file());
    if (model->subgraphs() == nullptr || model->subgraphs()->size() != n_sub)
      bad_model(path, "changed while it was being loaded");
  }
  // Checked on the bytes the views are made of: nothing of a file that is
  // refused here ever reaches the runtime.
  const ModelAdmission admission(*model, entry);
  for (Signature& s : signatures_) {
    const Admission a = admission.view(s.entry);
    if (a.refusal) bad_model(path, "signature '" + s.key + "' is refused: " + *a.refusal);
    s.largest_tensor = a.largest_tensor;
    s.largest_bytes = a.largest_bytes;
    s.tensor_bytes = a.computed_bytes;
  }
  for (std::size_t i = 0; i < signatures_.size(); ++i) {
    signatures_[i].offset = bytes->room - (i + 1) * psize;
    detail::write_prefix(bytes->base + signatures_[i].offset, (i + 1) * psize, bytes->file(), model,
                         signatures_[i].entry, entry);
  }
  if (bytes->mapped) system::protect_read_only(bytes->base, bytes->room);
  bytes_ = std::move(bytes);
}

LitertModel::~LitertModel() = default;

std::shared_ptr<SignatureRunner> LitertModel::runner(std::string_view key) const {
  for (const Signature& s : signatures_) {
    if (s.key != key) continue;
    std::shared_ptr<SignatureRunner> r(new SignatureRunner());
    r->bytes_ = bytes_;
    r->view_ = bytes_->base + s.offset;
    r->view_size_ = bytes_->room - s.offset + bytes_->file_size;
    r->key_ = s.key;
    r->path_ = path_;
    r->threads_ = threads_;
    r->in_names_ = s.in_names;
    r->out_names_ = s.out_names;
    r->in_pos_ = s.in_pos;
    r->out_pos_ = s.out_pos;
    r->no_xnnpack_ = s.no_xnnpack;
    r->xnnpack_flags_ = s.xnnpack_flags;
    r->largest_tensor_ = s.largest_tensor;
    r->largest_bytes_ = s.largest_bytes;
    r->tensor_bytes_ = s.tensor_bytes;
    // Creating the model only verifies the view: cheap, and a broken view
    // shows up here rather than at the first inference.
    r->model_ = TfLiteModelCreate(r->view_, r->view_size_);
    if (r->model_ == nullptr)
      throw std::runtime_error("LiteRT model " + base::quoted(path_) + ": signature '" + s.key +
                               "' cannot be loaded");
    return r;
  }
  throw std::out_of_range("LiteRT model " + base::quoted(path_) + " has no signature '" +
                          std::string(key) + "'");
}

}  // namespace kinra2::chain
