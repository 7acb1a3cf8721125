#include "chain/litert_runtime.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <flatbuffers/flatbuffers.h>

#include "chain/stderr_capture.hpp"
#include "chain/xnnpack_guard.hpp"
#include "base/log.hpp"
#include "tflite_schema_generated.h"

// The library exports the XNNPACK delegate but ships no header for it; this is
// its option block as the 2.9 runtime defines it.
extern "C" {
struct TfLiteXNNPackDelegateOptions {
  std::int32_t num_threads;
  std::uint32_t flags;
};
TfLiteXNNPackDelegateOptions TfLiteXNNPackDelegateOptionsDefault();
TfLiteDelegate* TfLiteXNNPackDelegateCreate(const TfLiteXNNPackDelegateOptions* options);
void TfLiteXNNPackDelegateDelete(TfLiteDelegate* delegate);
}

namespace kinra2::chain {

namespace fmt = kinra2::fmt;

namespace {

constexpr std::size_t kAlign = 64;  // keeps the file's own alignment in every view
constexpr std::uint32_t kSchemaVersion = 3;
constexpr std::size_t kMaxModel = std::numeric_limits<std::int32_t>::max();

std::size_t round_up(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

std::size_t page_size() {
  long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? static_cast<std::size_t>(p) : 4096;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

[[noreturn]] void bad_model(const std::string& path, const std::string& why) {
  throw std::runtime_error("LiteRT model " + quoted(path) + " " + why);
}

// Slot of a field in a table, from its vtable offset.
constexpr std::size_t slot(flatbuffers::voffset_t vt) { return (vt - 4u) / 2u; }

void put16(std::uint8_t* p, std::uint16_t v) { flatbuffers::WriteScalar(p, v); }
void put32(std::uint8_t* p, std::uint32_t v) { flatbuffers::WriteScalar(p, v); }

}  // namespace

namespace detail {

// The file's bytes with `room` bytes in front of them for the signature
// prefixes, all in one contiguous region so that every view is one range.
struct ModelBytes {
  std::uint8_t* base = nullptr;
  std::size_t region = 0;
  std::size_t room = 0;
  std::size_t file_size = 0;
  bool mapped = false;

  const std::uint8_t* file() const { return base + room; }
  ModelBytes() = default;
  ModelBytes(const ModelBytes&) = delete;
  ModelBytes& operator=(const ModelBytes&) = delete;
  ~ModelBytes() {
    if (base == nullptr) return;
    if (mapped)
      munmap(base, region);
    else
      std::free(base);
  }
};

}  // namespace detail

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

std::shared_ptr<detail::ModelBytes> load_bytes(const std::string& path, std::size_t room,
                                               LitertModel::Load how, std::size_t file_size,
                                               int fd) {
  auto mb = std::make_shared<detail::ModelBytes>();
  mb->room = room;
  mb->file_size = file_size;
  if (how == LitertModel::Load::Map) {
    // Reserve the whole range anonymously, then lay the file over its tail, so
    // the prefixes end exactly where the file's first page begins.
    const std::size_t region = room + round_up(file_size, page_size());
    void* base = mmap(nullptr, region, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) {
      auto* b = static_cast<std::uint8_t*>(base);
      void* tail = mmap(b + room, file_size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
      if (tail != MAP_FAILED) {
        mb->base = b;
        mb->region = region;
        mb->mapped = true;
        return mb;
      }
      munmap(base, region);
    }
    // Not mappable (some file systems): fall back to reading.
  }
  const std::size_t region = round_up(room + file_size, page_size());
  auto* b = static_cast<std::uint8_t*>(std::aligned_alloc(page_size(), region));
  if (b == nullptr) throw std::bad_alloc();
  mb->base = b;
  mb->region = region;
  std::size_t got = 0;
  while (got < file_size) {
    ssize_t r = pread(fd, b + room + got, file_size - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0)
      throw std::system_error(errno, std::generic_category(),
                              "cannot read LiteRT model " + quoted(path));
    if (r == 0) bad_model(path, "was truncated while reading");
    got += static_cast<std::size_t>(r);
  }
  return mb;
}

// Layout of one signature prefix, in bytes from its start:
//   0 root offset, 4 file identifier, 8 Model vtable, 28 Model table,
//   64 subgraph vector, then an empty SubGraph (vtable, table) and the empty
//   vector its fields share.
constexpr std::size_t kModelFields = 8;  // version .. signature_defs
constexpr std::size_t kModelVt = 8;
constexpr std::size_t kModelTable = kModelVt + 4 + 2 * kModelFields;  // 28
constexpr std::size_t kSubVec = kModelTable + 4 + 4 * kModelFields;   // 64
constexpr std::size_t kEmptyFields = 4;  // tensors, inputs, outputs, operators

std::size_t prefix_size(std::size_t n_sub) {
  const std::size_t empty_vt = kSubVec + 4 + 4 * n_sub;
  const std::size_t empty_tab = empty_vt + 4 + 2 * kEmptyFields;
  const std::size_t empty_vec = empty_tab + 4 + 4 * kEmptyFields;
  return round_up(empty_vec + 4, kAlign);
}

// Writes, at `p`, a prefix that lies `dist` bytes before the file `f` and
// whose primary subgraph is `entry`; `blank[j]` marks subgraphs to replace by
// the empty one.
void write_prefix(std::uint8_t* p, std::size_t dist, const std::uint8_t* f,
                  const fmt::Model* model, std::uint32_t entry, const std::vector<bool>& blank) {
  static_assert(slot(fmt::Model::VT_SIGNATURE_DEFS) + 1 == kModelFields);
  const auto* subs = model->subgraphs();
  const std::size_t n = subs->size();
  std::memset(p, 0, prefix_size(n));
  // Forward offset from prefix position `at` to byte `target` of the file.
  auto to_file = [&](std::size_t at, const std::uint8_t* target) {
    return static_cast<std::uint32_t>(dist + static_cast<std::size_t>(target - f) - at);
  };

  put32(p, static_cast<std::uint32_t>(kModelTable));
  std::memcpy(p + 4, fmt::ModelIdentifier(), 4);

  put16(p + kModelVt, static_cast<std::uint16_t>(4 + 2 * kModelFields));
  put16(p + kModelVt + 2, static_cast<std::uint16_t>(4 + 4 * kModelFields));
  put32(p + kModelTable, static_cast<std::uint32_t>(kModelTable - kModelVt));
  const auto* orig = reinterpret_cast<const flatbuffers::Table*>(model);
  for (std::size_t i = 0; i < kModelFields; ++i) {
    const auto vt = static_cast<flatbuffers::voffset_t>(4 + 2 * i);
    const std::size_t at = kModelTable + 4 + 4 * i;
    if (vt == fmt::Model::VT_VERSION) {
      put32(p + at, kSchemaVersion);
    } else if (vt == fmt::Model::VT_SUBGRAPHS) {
      put32(p + at, static_cast<std::uint32_t>(kSubVec - at));
    } else {
      // Every other Model field is an offset into the original file.
      const auto fo = orig->GetOptionalFieldOffset(vt);
      if (fo == 0) continue;
      const std::uint8_t* field = reinterpret_cast<const std::uint8_t*>(orig) + fo;
      put32(p + at, to_file(at, field + flatbuffers::ReadScalar<flatbuffers::uoffset_t>(field)));
    }
    put16(p + kModelVt + 4 + 2 * i, static_cast<std::uint16_t>(at - kModelTable));
  }

  const std::size_t empty_vt = kSubVec + 4 + 4 * n;
  const std::size_t empty_tab = empty_vt + 4 + 2 * kEmptyFields;
  const std::size_t empty_vec = empty_tab + 4 + 4 * kEmptyFields;
  put32(p + kSubVec, static_cast<std::uint32_t>(n));
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t at = kSubVec + 4 + 4 * j;
    if (j == 0) {
      put32(p + at, to_file(at, reinterpret_cast<const std::uint8_t*>(subs->Get(entry))));
    } else if (blank[j]) {
      put32(p + at, static_cast<std::uint32_t>(empty_tab - at));
    } else {
      put32(p + at, to_file(at, reinterpret_cast<const std::uint8_t*>(subs->Get(j))));
    }
  }
  put16(p + empty_vt, static_cast<std::uint16_t>(4 + 2 * kEmptyFields));
  put16(p + empty_vt + 2, static_cast<std::uint16_t>(4 + 4 * kEmptyFields));
  put32(p + empty_tab, static_cast<std::uint32_t>(empty_tab - empty_vt));
  static_assert(slot(fmt::SubGraph::VT_TENSORS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_INPUTS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_OUTPUTS) < kEmptyFields &&
                slot(fmt::SubGraph::VT_OPERATORS) < kEmptyFields);
  for (std::size_t i = 0; i < kEmptyFields; ++i) {
    const std::size_t at = empty_tab + 4 + 4 * i;
    put32(p + at, static_cast<std::uint32_t>(empty_vec - at));
    put16(p + empty_vt + 4 + 2 * i, static_cast<std::uint16_t>(at - empty_tab));
  }
  put32(p + empty_vec, 0);
}

}  // namespace

// ---------------------------------------------------------------------------

const char* type_name(TfLiteType t) {
  switch (t) {
    case kTfLiteFloat32: return "float32";
    case kTfLiteInt32: return "int32";
    case kTfLiteUInt8: return "uint8";
    case kTfLiteInt64: return "int64";
    case kTfLiteString: return "string";
    case kTfLiteBool: return "bool";
    case kTfLiteInt16: return "int16";
    case kTfLiteComplex64: return "complex64";
    case kTfLiteInt8: return "int8";
    case kTfLiteFloat16: return "float16";
    case kTfLiteFloat64: return "float64";
    case kTfLiteComplex128: return "complex128";
    case kTfLiteUInt64: return "uint64";
    case kTfLiteResource: return "resource";
    case kTfLiteVariant: return "variant";
    case kTfLiteUInt32: return "uint32";
    default: return "notype";
  }
}

std::size_t type_size(TfLiteType t) {
  switch (t) {
    case kTfLiteUInt8: case kTfLiteInt8: case kTfLiteBool: return 1;
    case kTfLiteInt16: case kTfLiteFloat16: return 2;
    case kTfLiteFloat32: case kTfLiteInt32: case kTfLiteUInt32: return 4;
    case kTfLiteInt64: case kTfLiteUInt64: case kTfLiteFloat64: case kTfLiteComplex64: return 8;
    case kTfLiteComplex128: return 16;
    default: return 0;
  }
}

namespace {

std::string shape_text(std::span<const int> s) {
  std::string out = "[";
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(s[i]);
  }
  return out + "]";
}

void runtime_log(std::string_view line) { base::detail::elog("LiteRT: " + std::string(line)); }

std::vector<int> dims_of(const TfLiteTensor* t) {
  std::vector<int> d(static_cast<std::size_t>(TfLiteTensorNumDims(t)));
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = TfLiteTensorDim(t, static_cast<int32_t>(i));
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------

struct LitertModel::Sig {
  std::string key;
  std::uint32_t entry = 0;  // its entry subgraph
  std::size_t offset = 0;   // of its prefix within the region
  std::vector<std::string> in_names, out_names;
  std::vector<int> in_pos, out_pos;
  std::string no_xnnpack;  // why XNNPACK must stay off this signature
};

LitertModel::LitertModel(const std::string& path, int threads, Load how,
                         const system::CpuIdentity& cpu)
    : path_(path), threads_(threads) {
  Fd fd;
  fd.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd.fd < 0)
    throw std::runtime_error("cannot open LiteRT model " + quoted(path) + ": " +
                             std::strerror(errno));
  struct stat st {};
  if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) bad_model(path, "is not a regular file");
  const auto file_size = static_cast<std::size_t>(st.st_size);
  if (file_size < 8) bad_model(path, "is not a valid model (too short)");
  if (file_size >= kMaxModel - page_size()) bad_model(path, "is too large (2 GiB or more)");

  // One page in front is room enough for the prefixes of most files; larger
  // signature sets are loaded again with the room they need.
  auto bytes = load_bytes(path, page_size(), how, file_size, fd.fd);
  flatbuffers::Verifier verifier(bytes->file(), file_size);
  if (!fmt::VerifyModelBuffer(verifier)) bad_model(path, "is not a valid model (verification failed)");
  const fmt::Model* model = fmt::GetModel(bytes->file());
  const auto* subs = model->subgraphs();
  const auto* defs = model->signature_defs();
  if (subs == nullptr || subs->size() == 0) bad_model(path, "has no subgraphs");
  // A model without signature definitions is still a model: it simply offers
  // no signatures, and the chain reports what is missing across all files.
  if (defs == nullptr || defs->size() == 0) return;
  const std::size_t n_sub = subs->size();

  std::vector<bool> entry(n_sub, false);
  for (const fmt::SignatureDef* d : *defs) {
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

  for (const fmt::SignatureDef* d : *defs) {
    Sig s;
    s.key = d->signature_key()->str();
    s.entry = d->subgraph_index();
    if (std::find(keys_.begin(), keys_.end(), s.key) != keys_.end()) continue;
    const fmt::SubGraph* sg = subs->Get(d->subgraph_index());
    auto map = [&](const auto* tmaps, const auto* ios, const char* what,
                   std::vector<std::string>& names, std::vector<int>& pos) {
      if (tmaps == nullptr) return;
      for (const fmt::TensorMap* tm : *tmaps) {
        if (tm == nullptr || tm->name() == nullptr)
          bad_model(path, "signature '" + s.key + "' has an unnamed " + what);
        int found = -1;
        if (ios != nullptr)
          for (std::size_t q = 0; q < ios->size(); ++q)
            if (static_cast<std::uint32_t>(ios->Get(static_cast<flatbuffers::uoffset_t>(q))) ==
                tm->tensor_index())
              found = static_cast<int>(q);
        if (found < 0)
          bad_model(path, "signature '" + s.key + "' " + what + " '" + tm->name()->str() +
                              "' is not an " + what + " of its subgraph");
        names.push_back(tm->name()->str());
        pos.push_back(found);
      }
    };
    map(d->inputs(), sg->inputs(), "input", s.in_names, s.in_pos);
    map(d->outputs(), sg->outputs(), "output", s.out_names, s.out_pos);
    // The view keeps the entry and every subgraph no signature enters.
    std::vector<std::uint32_t> kept{s.entry};
    for (std::uint32_t j = 0; j < n_sub; ++j)
      if (!entry[j]) kept.push_back(j);
    s.no_xnnpack = xnnpack_hazard(*model, kept, cpu).value_or("");
    keys_.push_back(s.key);
    sigs_.push_back(std::move(s));
  }

  const std::size_t psize = prefix_size(n_sub);
  const std::size_t room = round_up(psize * sigs_.size(), page_size());
  if (room > bytes->room) {
    if (room + file_size >= kMaxModel) bad_model(path, "is too large (2 GiB or more)");
    bytes.reset();
    bytes = load_bytes(path, room, how, file_size, fd.fd);
    // The file is read anew, and the prefixes below are built by following
    // its offsets: a file that changed in between must not be trusted.
    flatbuffers::Verifier again(bytes->file(), file_size);
    if (!fmt::VerifyModelBuffer(again)) bad_model(path, "changed while it was being loaded");
    model = fmt::GetModel(bytes->file());
    if (model->subgraphs() == nullptr || model->subgraphs()->size() != n_sub)
      bad_model(path, "changed while it was being loaded");
  }
  for (std::size_t i = 0; i < sigs_.size(); ++i) {
    sigs_[i].offset = bytes->room - (i + 1) * psize;
    write_prefix(bytes->base + sigs_[i].offset, (i + 1) * psize, bytes->file(), model,
                 sigs_[i].entry, entry);
  }
  if (bytes->mapped) mprotect(bytes->base, bytes->room, PROT_READ);
  bytes_ = std::move(bytes);
}

LitertModel::~LitertModel() = default;

std::shared_ptr<SignatureRunner> LitertModel::runner(std::string_view key) const {
  for (const Sig& s : sigs_) {
    if (s.key != key) continue;
    std::shared_ptr<SignatureRunner> r(new SignatureRunner());
    r->bytes_ = bytes_;
    r->start_ = bytes_->base + s.offset;
    r->size_ = bytes_->room - s.offset + bytes_->file_size;
    r->key_ = s.key;
    r->path_ = path_;
    r->threads_ = threads_;
    r->in_names_ = s.in_names;
    r->out_names_ = s.out_names;
    r->in_pos_ = s.in_pos;
    r->out_pos_ = s.out_pos;
    r->no_xnnpack_ = s.no_xnnpack;
    // Creating the model only verifies the view: cheap, and a broken view
    // shows up here rather than at the first inference.
    r->model_ = TfLiteModelCreate(r->start_, r->size_);
    if (r->model_ == nullptr)
      throw std::runtime_error("LiteRT model " + quoted(path_) + ": signature '" + s.key +
                               "' cannot be loaded");
    return r;
  }
  throw std::out_of_range("LiteRT model " + quoted(path_) + " has no signature '" +
                          std::string(key) + "'");
}

// ---------------------------------------------------------------------------

SignatureRunner::~SignatureRunner() {
  if (interp_) TfLiteInterpreterDelete(interp_);
  if (xnn_) TfLiteXNNPackDelegateDelete(xnn_);
  if (model_) TfLiteModelDelete(model_);
}

void SignatureRunner::report(void* self, const char* fmt, va_list args) {
  auto* r = static_cast<SignatureRunner*>(self);
  char buf[1024];
  va_list copy;
  va_copy(copy, args);
  const int len = std::vsnprintf(buf, sizeof buf, fmt, copy);
  va_end(copy);
  if (len < 0) return;
  std::string msg;
  if (static_cast<std::size_t>(len) < sizeof buf) {
    msg.assign(buf, static_cast<std::size_t>(len));
  } else {
    msg.resize(static_cast<std::size_t>(len) + 1);
    std::vsnprintf(msg.data(), msg.size(), fmt, args);
    msg.resize(static_cast<std::size_t>(len));
  }
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
  if (msg.empty()) return;
  if (!r->errors_.empty()) r->errors_ += '\n';
  r->errors_ += msg;
}

void SignatureRunner::fail(const std::string& what) {
  std::string msg = errors_.empty() ? what : errors_;
  errors_.clear();
  throw std::runtime_error(msg);
}

void SignatureRunner::load() {
  if (interp_) return;
  TfLiteInterpreterOptions* opts = TfLiteInterpreterOptionsCreate();
  if (opts == nullptr) throw std::bad_alloc();
  TfLiteInterpreterOptionsSetNumThreads(opts, threads_);
  TfLiteInterpreterOptionsSetErrorReporter(opts, &SignatureRunner::report, this);
  if (!no_xnnpack_.empty())
    base::detail::elog("LiteRT: signature '" + key_ + "' of " + quoted(path_) +
                       " runs on built-in kernels: " + no_xnnpack_);
  errors_.clear();
  // The delegate announces itself on creation, the kernels while preparing.
  detail::StderrCapture capture(runtime_log);
  if (no_xnnpack_.empty()) {
    TfLiteXNNPackDelegateOptions xo = TfLiteXNNPackDelegateOptionsDefault();
    xo.num_threads = threads_;
    xnn_ = TfLiteXNNPackDelegateCreate(&xo);
    if (xnn_) TfLiteInterpreterOptionsAddDelegate(opts, xnn_);
  }
  interp_ = TfLiteInterpreterCreate(model_, opts);
  TfLiteInterpreterOptionsDelete(opts);
  bool allocated = interp_ != nullptr && TfLiteInterpreterAllocateTensors(interp_) == kTfLiteOk;
  capture.finish();
  if (interp_ == nullptr)
    fail("LiteRT cannot create an interpreter for signature '" + key_ + "' of " + quoted(path_));
  if (!allocated) {
    TfLiteInterpreterDelete(interp_);
    interp_ = nullptr;
    fail("LiteRT cannot allocate the tensors of signature '" + key_ + "' of " + quoted(path_));
  }
}

std::vector<TensorInfo> SignatureRunner::input_details() {
  load();
  std::vector<TensorInfo> out;
  for (std::size_t i = 0; i < in_names_.size(); ++i) {
    const TfLiteTensor* t = TfLiteInterpreterGetInputTensor(interp_, in_pos_[i]);
    out.push_back({in_names_[i], TfLiteTensorType(t), dims_of(t)});
  }
  return out;
}

int SignatureRunner::input_pos(std::string_view name) const {
  for (std::size_t i = 0; i < in_names_.size(); ++i)
    if (in_names_[i] == name) return in_pos_[i];
  throw std::invalid_argument("signature '" + key_ + "' has no input '" + std::string(name) +
                              "'");
}

TfLiteTensor* SignatureRunner::prepare(int pos, TfLiteType type, std::span<const int> shape,
                                       bool& resized) {
  TfLiteTensor* t = TfLiteInterpreterGetInputTensor(interp_, pos);
  if (TfLiteTensorType(t) != type)
    throw std::invalid_argument("signature '" + key_ + "' input '" + TfLiteTensorName(t) +
                                "' takes " + type_name(TfLiteTensorType(t)) + ", got " +
                                type_name(type));
  const std::vector<int> cur = dims_of(t);
  if (!std::equal(cur.begin(), cur.end(), shape.begin(), shape.end())) {
    if (TfLiteInterpreterResizeInputTensor(interp_, pos, shape.data(),
                                           static_cast<int32_t>(shape.size())) != kTfLiteOk)
      fail("LiteRT cannot resize input '" + std::string(TfLiteTensorName(t)) + "' of '" + key_ +
           "' to " + shape_text(shape));
    resized = true;
  }
  return t;
}

void SignatureRunner::allocate() {
  // Stays pending after a failure: the interpreter is unusable until an
  // allocation succeeds, even if the next inputs keep the current shapes.
  needs_alloc_ = true;
  if (TfLiteInterpreterAllocateTensors(interp_) != kTfLiteOk)
    fail("LiteRT cannot allocate the tensors of signature '" + key_ + "'");
  needs_alloc_ = false;
}

void SignatureRunner::require_all_inputs(std::span<const std::string_view> given) const {
  // An input left out would run with whatever its tensor last held: a stale
  // or uninitialised value, and a plausible-looking wrong result.
  bool ok = given.size() == in_names_.size();
  for (std::size_t i = 0; ok && i < given.size(); ++i) {
    ok = std::find(in_names_.begin(), in_names_.end(), given[i]) != in_names_.end() &&
         std::find(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(i), given[i]) ==
             given.begin() + static_cast<std::ptrdiff_t>(i);
  }
  if (ok) return;
  std::string want, got;
  for (const std::string& n : in_names_) want += (want.empty() ? "'" : ", '") + n + "'";
  for (std::string_view n : given) got += (got.empty() ? "'" : ", '") + std::string(n) + "'";
  throw std::invalid_argument("signature '" + key_ + "' takes the inputs [" + want + "], got [" +
                              got + "]");
}

void SignatureRunner::set_inputs(std::span<const InputArg> inputs) {
  std::vector<std::string_view> names;
  for (const InputArg& in : inputs) names.push_back(in.name);
  require_all_inputs(names);
  load();
  errors_.clear();
  // All resizes first: allocation may move every tensor, so data is written
  // only once the arena is final.
  bool resized = false;
  std::vector<TfLiteTensor*> ts;
  for (const InputArg& in : inputs) ts.push_back(prepare(input_pos(in.name), in.type, in.shape, resized));
  if (resized || needs_alloc_) allocate();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    TfLiteTensor* t = ts[i];
    if (TfLiteTensorByteSize(t) != inputs[i].nbytes)
      throw std::invalid_argument("signature '" + key_ + "' input '" +
                                  std::string(inputs[i].name) + "' takes " +
                                  std::to_string(TfLiteTensorByteSize(t)) + " bytes, got " +
                                  std::to_string(inputs[i].nbytes));
    if (inputs[i].nbytes) std::memcpy(TfLiteTensorData(t), inputs[i].data, inputs[i].nbytes);
  }
}

void* SignatureRunner::input_buffer(std::string_view name, TfLiteType type,
                                    std::span<const int> shape, std::size_t nbytes) {
  require_all_inputs({&name, 1});
  load();
  errors_.clear();
  bool resized = false;
  TfLiteTensor* t = prepare(input_pos(name), type, shape, resized);
  if (resized || needs_alloc_) allocate();
  if (TfLiteTensorByteSize(t) != nbytes || TfLiteTensorData(t) == nullptr)
    throw std::invalid_argument("signature '" + key_ + "' input '" + std::string(name) +
                                "' takes " + std::to_string(TfLiteTensorByteSize(t)) +
                                " bytes, got " + std::to_string(nbytes));
  return TfLiteTensorData(t);
}

void SignatureRunner::invoke() {
  load();
  errors_.clear();
  TfLiteStatus status;
  if (invoked_) {
    status = TfLiteInterpreterInvoke(interp_);
  } else {
    // Kernels prepare lazily and may print on their first run.
    detail::StderrCapture capture(runtime_log);
    status = TfLiteInterpreterInvoke(interp_);
    capture.finish();
    invoked_ = true;
  }
  if (status != kTfLiteOk) fail("LiteRT invocation of signature '" + key_ + "' failed");
}

TensorRef SignatureRunner::output(std::string_view name) const {
  if (!interp_) throw std::logic_error("signature '" + key_ + "' has not been run");
  for (std::size_t i = 0; i < out_names_.size(); ++i) {
    if (out_names_[i] != name) continue;
    const TfLiteTensor* t = TfLiteInterpreterGetOutputTensor(interp_, out_pos_[i]);
    return {TfLiteTensorType(t), dims_of(t), TfLiteTensorData(t), TfLiteTensorByteSize(t)};
  }
  throw std::invalid_argument("signature '" + key_ + "' has no output '" + std::string(name) +
                              "'");
}

}  // namespace kinra2::chain
