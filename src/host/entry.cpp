#include "host/entry.hpp"

#include <csignal>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "host/elog.hpp"
#include "system/cpu_budget.hpp"

namespace kinra2::host {

namespace detail {

RunParams scan_args(int argc, const char* const* argv) {
  RunParams p;
  int i = 1;
  while (i < argc) {
    const std::string_view a = argv[i];
    if (a == "render-stream") {
      i += 1;
    } else if (a == "--engine" && i + 1 < argc) {
      p.engine = argv[i + 1];
      i += 2;
    } else if (a == "--threads" && i + 1 < argc) {
      p.threads = system::detail::parse_int(argv[i + 1], "--threads");
      i += 2;
    } else {
      if (!a.empty() && a.front() != '-' && p.bundle.empty()) p.bundle = a;
      i += 1;
    }
  }
  return p;
}

int run(const std::string& bundle, const std::optional<std::string>&, int threads) {
  elog("warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...");
  throw std::runtime_error("the render chain is not built yet");
}

} // namespace detail

int main(int argc, const char* const* argv) {
  // A peer that closes its end must surface as a failed write, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    RunParams p = detail::scan_args(argc, argv);
    if (p.bundle.empty()) {
      detail::elog(USAGE);
      return EXIT_USAGE;
    }
    const int threads = system::default_threads(1, p.threads);
    return detail::run(p.bundle, p.engine, threads);
  } catch (const std::exception& e) {
    detail::elog(std::string("error: ") + e.what());
    return EXIT_ERROR;
  }
}

} // namespace kinra2::host
