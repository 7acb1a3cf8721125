#include "host/entry.hpp"

#include <exception>
#include <string_view>

#include "bundle/load_bundle.hpp"
#include "bundle/shared_enc.hpp"
#include "bundle/staging.hpp"
#include "chain/litert_chain.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "host/serve.hpp"
#include "image/color_correct.hpp"
#include "litert/runtime_library.hpp"
#include "render/renderer.hpp"
#include "system/confine.hpp"
#include "system/cpu_budget.hpp"
#include "system/dynamic_library.hpp"
#include "system/fatal_signal.hpp"
#include "system/interrupt.hpp"

namespace kinra2::host {

using base::elog;

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
      p.threads = base::parse_int(argv[i + 1], "--threads");
      i += 2;
    } else {
      if (!a.empty() && a.front() != '-' && p.bundle.empty()) p.bundle = a;
      i += 1;
    }
  }
  return p;
}

int run(const std::string& bundle, const std::optional<std::string>& engine, int threads,
        bool confine) {
  elog("warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...");
  auto loaded = bundle::load_bundle(bundle, engine);
  const auto color = image::load_color_correct(bundle);
  elog(color.note);
  if (loaded.tfl_paths.size() >= 2) {
    const int split = system::default_threads(static_cast<int>(loaded.tfl_paths.size()), threads);
    if (split != threads) {
      elog("2-interpreter split: threads " + std::to_string(threads) + " -> " +
           std::to_string(split) + " (<= cores/2)");
      threads = split;
    }
  }
  // Everything that writes is done. The runtime parses the models from here
  // on, so a crafted one first gets to run code below this point; threads
  // started from here on (the runtime's, the RGB pool) are confined with it.
  if (confine) elog(system::confine_process(bundle::staged_dirs(), litert::host_dir()));
  chain::LitertChain chain(loaded.tfl_paths, loaded.canon, threads);
  // The models are open (mapped or read), so their staged copies can go.
  loaded.staged.release();
  render::Renderer renderer(chain, color.value ? &*color.value : nullptr);
  // Streams of this run only, on the descriptors the process-wide ones
  // settled on: a read-ahead, a sticky end of input or bytes a failed write
  // left in the buffer must not reach the next run in the same process.
  InStream in(standard_input().fd());
  OutStream out(standard_output().fd());
  return serve(renderer, loaded.model_label, in, out);
}

}  // namespace detail

namespace {

// Puts back the dispositions a run changes, and sweeps the run's staged
// files first so that a signal arriving in between still finds them handled.
// A fault anywhere in the run leaves its line for the peer, in the program
// and in the module alike.
class RunScope {
 public:
  RunScope() = default;
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
  ~RunScope() { bundle::drop_staged(); }

 private:
  system::FatalSignalScope faults_;
  system::InterruptScope interrupts_;
};

}  // namespace

int main(int argc, const char* const* argv) {
  return main(argc, argv, bundle::default_policy_dirs(), true);
}

int main(int argc, const char* const* argv, const std::vector<std::string>& policy_dirs,
         bool confine) {
  // A peer that closes its end surfaces as a failed write, not a signal.
  RunScope scope;
  // Settles both descriptors (binary where the C runtime translates).
  standard_input();
  standard_output();
  bundle::install_exit_sweep();
  bundle::load_policy_component(policy_dirs);
  // The runtime is looked for beside the host's own file (the last of its
  // policy folders) first, once the chain needs it: a run without it still
  // reads its bundle and says what it found before the one line of what is
  // missing.
  litert::set_host_dir(policy_dirs.empty() ? system::program_dir() : policy_dirs.back());
  try {
    RunParams p = detail::scan_args(argc, argv);
    if (p.bundle.empty()) {
      elog(USAGE);
      return EXIT_USAGE;
    }
    const int threads = system::default_threads(1, p.threads);
    return detail::run(p.bundle, p.engine, threads, confine);
  } catch (const bundle::BundleRefused& refusal) {
    elog(refusal.what());
    return EXIT_REFUSED;
  } catch (const std::exception& e) {
    elog(std::string("error: ") + e.what());
    return EXIT_ERROR;
  } catch (...) {
    elog("error: unknown exception");
    return EXIT_ERROR;
  }
}

}  // namespace kinra2::host
