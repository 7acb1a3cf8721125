// Shared plumbing of the fuzz harnesses. Each harness is a plain function so
// that the regression replay in the normal test suite can call it without
// libFuzzer; fuzz/entry.cpp turns one of them into the libFuzzer entry point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kinra2::fuzz {

using Harness = int (*)(const std::uint8_t*, std::size_t);

int record_stream(const std::uint8_t* data, std::size_t size);
int imx_container(const std::uint8_t* data, std::size_t size);
int zip_bundle(const std::uint8_t* data, std::size_t size);
int color_json(const std::uint8_t* data, std::size_t size);
int manifests(const std::uint8_t* data, std::size_t size);
int model_file(const std::uint8_t* data, std::size_t size);
int model_run(const std::uint8_t* data, std::size_t size);

// A private scratch directory of this process (on tmpfs when there is one),
// created on first use and removed at exit.
const std::string& scratch_dir();
// Replaces `path` with exactly `bytes`.
void put_file(const std::string& path, std::string_view bytes);

}  // namespace kinra2::fuzz
