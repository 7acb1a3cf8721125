#include "demo_bundle_support.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "base/sha256.hpp"
#include "support/run_command.hpp"

namespace k2test {

std::vector<std::uint8_t> read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + p.string());
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string sha256_hex(const std::vector<std::uint8_t>& bytes) {
  return kinra2::base::sha256_hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

int run_tool(const std::string& out, const std::string& flags) {
  std::vector<std::string> argv = {bin("make_demo_bundle")};
  if (!out.empty()) argv.push_back(out);
  std::istringstream words(flags);
  for (std::string w; words >> w;) argv.push_back(w);
  return run(argv).first;
}

std::unique_ptr<kinra2::fmt::ModelT> unpack_model(const std::vector<std::uint8_t>& bytes) {
  flatbuffers::Verifier v(bytes.data(), bytes.size());
  if (!kinra2::fmt::VerifyModelBuffer(v)) return nullptr;
  return kinra2::fmt::UnPackModel(bytes.data());
}

SigRun::SigRun(const fs::path& file, const std::string& key, int threads)
    : model_(std::make_shared<kinra2::chain::LitertModel>(file.string(), threads)),
      run_(model_->runner(key)) {
  run_->load();
}

std::vector<int> SigRun::input_shape(const std::string& name) {
  for (const auto& d : run_->input_details())
    if (d.name == name) return d.shape;
  throw std::runtime_error("no input " + name);
}

void SigRun::set(const std::string& name, std::vector<float> values) {
  pending_[name] = std::move(values);
}

void SigRun::invoke() {
  std::vector<std::vector<int>> shapes;
  for (const auto& [name, v] : pending_) shapes.push_back(input_shape(name));
  std::vector<kinra2::chain::InputArg> args;
  std::size_t i = 0;
  for (const auto& [name, v] : pending_)
    args.push_back({name, kTfLiteFloat32, shapes[i++], v.data(), v.size() * sizeof(float)});
  run_->set_inputs(args);
  run_->invoke();
  pending_.clear();
}

std::vector<int> SigRun::output_shape(const std::string& name) const {
  return run_->output(name).shape;
}

std::vector<float> SigRun::output(const std::string& name) const {
  const auto t = run_->output(name);
  std::vector<float> v(t.nbytes / sizeof(float));
  std::memcpy(v.data(), t.data, v.size() * sizeof(float));
  return v;
}

}  // namespace k2test
