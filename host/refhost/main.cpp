// orv_host: the reference host. Parses the command line, finds the dialog
// modules, turns Ctrl-C into an orderly stop and hands over to the terminal
// run or the web dashboard.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "host/refhost/console.h"
#include "host/refhost/host_run.h"
#include "host/refhost/options.h"
#include "host/web/web_run.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

void OnStopSignal(int signal) {
  stopRequested.store(true);
  // A second signal ends the process at once, should the orderly stop hang.
  std::signal(signal, SIG_DFL);
}

// The folder of this executable, where the build puts the dialog modules. The
// platform may report the path the program was started by, so the command
// name is tried too; the first folder that holds portpick wins.
std::string DefaultDialogFolder(const char* argv0) {
  std::vector<fs::path> candidates;
  char ownPath[4096];
  if (orv::platform::OwnModulePath(ownPath, sizeof(ownPath))) candidates.emplace_back(ownPath);
  if (argv0 != nullptr && argv0[0] != '\0') candidates.emplace_back(argv0);
  const std::string portpick = std::string("portpick") + orv::platform::ModuleSuffix();
  std::error_code ignored;
  for (const fs::path& candidate : candidates) {
    const fs::path folder = fs::absolute(candidate, ignored).parent_path();
    if (fs::exists(folder / portpick, ignored)) return folder.string();
  }
  return candidates.empty() ? std::string(".")
                            : fs::absolute(candidates.front(), ignored).parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orv::refhost;
  try {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    HostOptions options;
    std::string error;
    switch (ParseOptions(args, options, error)) {
      case ParseStatus::kHelp:
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
      case ParseStatus::kError:
        std::fprintf(stderr, "orv_host: %s\nTry orv_host --help.\n", error.c_str());
        return kExitUsage;
      case ParseStatus::kRun:
        break;
    }
    const std::string dialogFolder = options.dialogDir.empty()
                                         ? DefaultDialogFolder(argc > 0 ? argv[0] : nullptr)
                                         : options.dialogDir;
    // The plug-ins read the emulated-time factor, the scenario and the
    // control endpoint's address at Init.
    if (!options.speed.empty() &&
        !orv::platform::WriteEnvironment("ORV_EMU_SPEED", options.speed.c_str())) {
      std::fprintf(stderr, "orv_host: cannot set ORV_EMU_SPEED\n");
      return kExitFailure;
    }
    if (!options.scenario.empty() &&
        !orv::platform::WriteEnvironment("ORV_SCENARIO", options.scenario.c_str())) {
      std::fprintf(stderr, "orv_host: cannot set ORV_SCENARIO\n");
      return kExitFailure;
    }
    if (!options.control.empty() &&
        !orv::platform::WriteEnvironment("ORV_CONTROL", options.control.c_str())) {
      std::fprintf(stderr, "orv_host: cannot set ORV_CONTROL\n");
      return kExitFailure;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    Console console(!options.web && (options.live || orv::platform::StdoutIsTerminal()));
    if (options.web) return orv::web::RunWeb(options, dialogFolder, console, stopRequested);
    return RunHost(options, dialogFolder, console, stopRequested);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "orv_host: %s\n", failure.what());
  } catch (...) {
    std::fprintf(stderr, "orv_host: unexpected failure\n");
  }
  return kExitFailure;
}
