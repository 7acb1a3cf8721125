#include "system/cpu_identity.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define K2_HAVE_CPUID 1
#endif

#include <cstdio>
#include <cstring>

namespace kinra2::system {

namespace detail {

CpuIdentity decode_signature(std::string vendor, unsigned eax) {
  const unsigned base_family = (eax >> 8) & 0xF;
  const unsigned base_model = (eax >> 4) & 0xF;
  CpuIdentity id{std::move(vendor), base_family, base_model};
  if (base_family == 0xF) id.family += (eax >> 20) & 0xFF;
  if (base_family == 0x6 || base_family == 0xF) id.model += ((eax >> 16) & 0xF) << 4;
  return id;
}

}  // namespace detail

namespace {

CpuIdentity read_cpuid() {
#ifndef K2_HAVE_CPUID
  // CPUID is an x86 instruction: elsewhere (arm64) the identity stays empty,
  // which no x86 kernel choice matches.
  return {};
#else
  unsigned max_leaf = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &max_leaf, &ebx, &ecx, &edx)) return {};
  char vendor[12];
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  unsigned eax = 0;
  if (max_leaf >= 1) __get_cpuid(1, &eax, &ebx, &ecx, &edx);
  return detail::decode_signature(std::string(vendor, sizeof vendor), eax);
#endif
}

}  // namespace

const CpuIdentity& this_cpu() {
  static const CpuIdentity id = read_cpuid();
  return id;
}

std::string describe(const CpuIdentity& cpu) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " family 0x%02x model 0x%02x", cpu.family, cpu.model);
  return (cpu.vendor.empty() ? std::string("unknown processor") : cpu.vendor) + buf;
}

}  // namespace kinra2::system
