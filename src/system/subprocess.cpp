#include "system/subprocess.hpp"

#include <thread>

namespace kinra2::system {

bool Subprocess::read_out_exact(void* data, std::size_t n) {
  auto p = static_cast<char*>(data);
  while (n > 0) {
    const std::size_t r = read_out(p, n);
    if (r == 0) return false;
    p += r;
    n -= r;
  }
  return true;
}

Captured run_captured(const std::vector<std::string>& argv, const std::string& input,
                      const std::vector<std::string>& env) {
  SpawnOptions opt;
  opt.env = env;
  opt.err_to_out = true;
  Subprocess child(argv, opt);
  // Input goes from a thread of its own so a child that answers before it
  // has read everything never blocks on a full output pipe.
  std::thread writer([&] {
    if (!input.empty()) child.write_in(input.data(), input.size());
    child.close_in();
  });
  Captured c;
  char buf[4096];
  for (std::size_t n; (n = child.read_out(buf, sizeof buf)) > 0;) c.out.append(buf, n);
  writer.join();
  c.status = child.wait();
  return c;
}

}  // namespace kinra2::system
