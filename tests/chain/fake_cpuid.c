// Preloaded into a test process to make it look like another x86 processor
// to everything that asks CPUID, including the runtime library's own kernel
// selection. CPUID is made to fault (Linux ARCH_SET_CPUID, where the processor
// supports CPUID faulting) and each faulting instruction is answered here.
//
// K2_FAKE_CPUID="VENDOR:FAMILY:MODEL" (numbers in C notation) names the
// processor; AVX-512 and the VNNI flags are masked so that kernels are chosen
// as on a core without them. Without CPUID faulting the process exits with
// status 77 before main, which callers treat as "cannot run here".
// Whoever reads the flags from /proc/cpuinfo instead (through fopen, as the
// C and C++ libraries do) sees the same masking.
//
// K2_FAKE_CPUINFO=<file> alone (no CPUID faulting needed) makes /proc/cpuinfo
// read as that file, for a processor whose flags the test chooses.
#define _GNU_SOURCE
#include <asm/prctl.h>
#include <cpuid.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

static char g_vendor[12];
static uint32_t g_signature;
static int g_active;

static long set_cpuid(int enabled) {
  return syscall(SYS_arch_prctl, ARCH_SET_CPUID, enabled);
}

static void on_segv(int sig, siginfo_t* info, void* ctx) {
  (void)info;
  ucontext_t* uc = (ucontext_t*)ctx;
  greg_t* r = uc->uc_mcontext.gregs;
  const unsigned char* ip = (const unsigned char*)r[REG_RIP];
  if (ip[0] != 0x0F || ip[1] != 0xA2) {
    signal(sig, SIG_DFL);  // a real fault: let it happen again, unhandled
    return;
  }
  const unsigned leaf = (unsigned)r[REG_RAX], sub = (unsigned)r[REG_RCX];
  unsigned a = 0, b = 0, c = 0, d = 0;
  set_cpuid(1);
  __cpuid_count(leaf, sub, a, b, c, d);
  set_cpuid(0);
  if (leaf == 0) {
    memcpy(&b, g_vendor, 4);
    memcpy(&d, g_vendor + 4, 4);
    memcpy(&c, g_vendor + 8, 4);
  } else if (leaf == 1 || leaf == 0x80000001u) {
    a = g_signature;
  } else if (leaf == 7 && sub == 0) {
    b &= ~((1u << 16) | (1u << 17) | (1u << 21) | (1u << 26) | (1u << 27) | (1u << 28) |
           (1u << 30) | (1u << 31));  // AVX-512 F/DQ/IFMA/PF/ER/CD/BW/VL
    c &= ~((1u << 1) | (1u << 6) | (1u << 11) | (1u << 12) | (1u << 14));  // VBMI/2, VNNI, ...
    d &= ~((1u << 2) | (1u << 3) | (1u << 8) | (1u << 23));
  } else if (leaf == 7 && sub == 1) {
    a &= ~((1u << 4) | (1u << 5));  // AVX-VNNI, AVX512_BF16
  }
  r[REG_RAX] = a;
  r[REG_RBX] = b;
  r[REG_RCX] = c;
  r[REG_RDX] = d;
  r[REG_RIP] += 2;
}

__attribute__((constructor)) static void fake_cpuid_init(void) {
  const char* spec = getenv("K2_FAKE_CPUID");
  if (spec == NULL) return;
  unsigned family = 0, model = 0;
  char vendor[13] = {0};
  if (sscanf(spec, "%12[^:]:%i:%i", vendor, (int*)&family, (int*)&model) != 3 ||
      strlen(vendor) != 12) {
    fprintf(stderr, "fake_cpuid: K2_FAKE_CPUID must be VENDOR:FAMILY:MODEL, got '%s'\n", spec);
    _exit(2);
  }
  memcpy(g_vendor, vendor, 12);
  g_active = 1;
  const unsigned base_family = family >= 0xF ? 0xF : family;
  const unsigned ext_family = family >= 0xF ? family - 0xF : 0;
  g_signature =
      (ext_family << 20) | ((model >> 4) << 16) | (base_family << 8) | ((model & 0xF) << 4) | 2;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_segv;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigaction(SIGSEGV, &sa, NULL);
  if (set_cpuid(0) != 0) _exit(77);
}

// Flags the masked CPUID bits stand for.
static int masked_flag(const char* f, size_t n) {
  return (n >= 6 && strncmp(f, "avx512", 6) == 0) || (n == 8 && strncmp(f, "avx_vnni", 8) == 0);
}

typedef FILE* (*fopen_fn)(const char*, const char*);

// /proc/cpuinfo with the masked flags left out, as an unlinked memory file.
static FILE* masked_cpuinfo(fopen_fn real, const char* mode) {
  FILE* in = real("/proc/cpuinfo", mode);
  if (in == NULL) return NULL;
  const int fd = memfd_create("cpuinfo", MFD_CLOEXEC);
  FILE* out = fd < 0 ? NULL : fdopen(fd, "w+");
  if (out == NULL) {
    if (fd >= 0) close(fd);
    return in;
  }
  char* line = NULL;
  size_t cap = 0;
  while (getline(&line, &cap, in) > 0) {
    if (strncmp(line, "flags", 5) != 0) {
      fputs(line, out);
      continue;
    }
    const char* colon = strchr(line, ':');
    if (colon == NULL) {
      fputs(line, out);
      continue;
    }
    fwrite(line, 1, (size_t)(colon + 1 - line), out);
    for (const char* p = colon + 1; *p;) {
      while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
      const char* e = p;
      while (*e && *e != ' ' && *e != '\t' && *e != '\n') ++e;
      if (e > p && !masked_flag(p, (size_t)(e - p))) {
        fputc(' ', out);
        fwrite(p, 1, (size_t)(e - p), out);
      }
      p = e;
    }
    fputc('\n', out);
  }
  free(line);
  fclose(in);
  rewind(out);
  return out;
}

static FILE* open_file(const char* sym, const char* path, const char* mode) {
  fopen_fn real = (fopen_fn)dlsym(RTLD_NEXT, sym);
  if (real == NULL) return NULL;
  if (path != NULL && strcmp(path, "/proc/cpuinfo") == 0) {
    const char* stand_in = getenv("K2_FAKE_CPUINFO");
    if (stand_in != NULL) return real(stand_in, mode);
    if (g_active) return masked_cpuinfo(real, mode);
  }
  return real(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
  return open_file("fopen", path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  return open_file("fopen64", path, mode);
}
