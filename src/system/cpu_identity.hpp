// Which processor this is, as CPUID names it: what run-time choices of
// third-party kernels depend on. Passed around as a value so that every
// decision taken from it can be tested with another processor's identity.
#pragma once

#include <string>

namespace kinra2::system {

struct CpuIdentity {
  std::string vendor;   // the 12-character vendor text, e.g. "AuthenticAMD"
  unsigned family = 0;  // base family plus extended family
  unsigned model = 0;   // base model plus extended model << 4

  bool operator==(const CpuIdentity&) const = default;
};

// The processor this process runs on, read once with CPUID.
const CpuIdentity& this_cpu();

// "AuthenticAMD family 0x17 model 0x01", for log lines.
std::string describe(const CpuIdentity& cpu);

namespace detail {
// Decodes the signature word of CPUID leaf 1 (EAX) the way processor
// manuals do: extended family counts only with base family 0xF, extended
// model only with base family 0x6 or 0xF.
CpuIdentity decode_signature(std::string vendor, unsigned eax);
}  // namespace detail

}  // namespace kinra2::system
