// Helpers for driving make_demo_bundle and running the models it writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chain/litert_runtime.hpp"
#include "support/temp_dir.hpp"

#include "tflite_schema_generated.h"

namespace k2test {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_bytes(const fs::path& p);
std::string sha256_hex(const std::vector<std::uint8_t>& bytes);

// Runs the tool with `args` (shell-quoted here) and returns its exit status.
int run_tool(const std::string& out, const std::string& flags = "");

// Parses and verifies a model; empty pointer when the bytes do not verify.
std::unique_ptr<kinra2::fmt::ModelT> unpack_model(const std::vector<std::uint8_t>& bytes);

// One signature of a model file, run through the chain's runtime layer (and
// so with the same delegate and subgraph handling the host uses).
class SigRun {
 public:
  SigRun(const fs::path& file, const std::string& key, int threads = 2);

  std::vector<int> input_shape(const std::string& name);
  // Inputs are kept until the next invoke(), which hands them all over at once.
  void set(const std::string& name, std::vector<float> values);
  void invoke();
  std::vector<int> output_shape(const std::string& name) const;
  std::vector<float> output(const std::string& name) const;
  const kinra2::chain::SignatureRunner& runner() const { return *run_; }

 private:
  std::shared_ptr<kinra2::chain::LitertModel> model_;
  std::shared_ptr<kinra2::chain::SignatureRunner> run_;
  std::map<std::string, std::vector<float>> pending_;
};

}  // namespace k2test
