/* Linked into every file of the Linux release builds (cmake/linux-baseline),
 * and only there. Those link GCC 12's static C++ runtime, built against
 * glibc 2.36, with Debian 11's glibc 2.31. The runtime takes a few symbols
 * from glibc that 2.31 does not have; they are answered here, hidden, so
 * each file keeps its own and nothing newer than GLIBC_2.31 is asked of the
 * system's loader. tests/release checks every file of the archives. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#define K2_HIDDEN __attribute__((visibility("hidden")))

/* GLIBC_2.32: glibc sets it while a process has one thread, and the C++
 * runtime then skips atomic instructions for reference counts. Zero means
 * "maybe several threads": always atomic, correct at any time. */
K2_HIDDEN char __libc_single_threaded = 0;

/* GLIBC_2.36: std::random_device draws from it (temporary file names). The
 * kernel's generator, as glibc's own does; /dev/urandom where the kernel
 * predates getrandom (3.17), as in a container on an old host. No entropy
 * at all ends the process, as glibc's does: it cannot return an error. */
K2_HIDDEN uint32_t arc4random(void) {
  uint32_t value;
  for (;;) {
    ssize_t n = getrandom(&value, sizeof value, 0);
    if (n == (ssize_t)sizeof value) return value;
    if (n < 0 && errno == ENOSYS) break;
    if (n < 0 && errno != EINTR) abort();
  }
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, &value, sizeof value) != (ssize_t)sizeof value) abort();
  close(fd);
  return value;
}
