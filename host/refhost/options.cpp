#include "host/refhost/options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>

#include "orv/driver_api.h"

namespace orv::refhost {
namespace {

bool ParseInt64(const std::string& text, std::int64_t minimum, std::int64_t maximum,
                std::int64_t& out) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, status] = std::from_chars(text.data(), end, value);
  if (status != std::errc() || stop != end || value < minimum || value > maximum) return false;
  out = value;
  return true;
}

bool ParseInt32(const std::string& text, std::int32_t minimum, std::int32_t maximum,
                std::int32_t& out) {
  std::int64_t value = 0;
  if (!ParseInt64(text, minimum, maximum, value)) return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

bool ParseFloat(const std::string& text, float& out) {
  // strtof would skip leading blanks and accept a prefix; neither is a number here.
  if (text.empty() || text.front() == ' ' || text.front() == '\t') return false;
  errno = 0;
  char* stop = nullptr;
  const float value = std::strtof(text.c_str(), &stop);
  if (stop != text.c_str() + text.size() || errno == ERANGE) return false;
  out = value;
  return true;
}

// "tab" for a tab, otherwise exactly one character.
bool ParseCharacter(const std::string& text, char& out) {
  if (text == "tab") {
    out = '\t';
    return true;
  }
  if (text.size() != 1) return false;
  out = text[0];
  return true;
}

// Splits "A,B" at its first comma.
bool SplitPair(const std::string& text, std::string& first, std::string& second) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  first = text.substr(0, comma);
  second = text.substr(comma + 1);
  return true;
}

// The options that take one value, each applied as CLI11 meets it, so that a
// --set knows the --plugin before it.
constexpr const char* kValueOptions[] = {
    "plugin",   "web",   "dialogs",  "devices",    "interval",  "comm",    "duration", "speed",
    "scenario", "names", "save-dir", "export-dir", "separator", "decimal", "set",      "control"};

// --web: "PORT", "HOST:PORT" or "[V6]:PORT"; the reason when it is bad.
std::string ApplyWeb(const std::string& value, HostOptions& options) {
  const std::size_t colon = value.rfind(':');
  std::string host = colon == std::string::npos ? std::string() : value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (colon != std::string::npos && host.empty()) return "expected [HOST:]PORT";
  if (!ParseInt32(colon == std::string::npos ? value : value.substr(colon + 1), 0, 65535,
                  options.webPort)) {
    return "expected [HOST:]PORT with a port from 0 to 65535";
  }
  if (!host.empty()) options.webHost = host;
  options.web = true;
  return {};
}

// --names NAME1,NAME2; the reason when they are bad.
std::string ApplyNames(const std::string& value, HostOptions& options) {
  constexpr std::size_t kMaxName = kChannelNameBufferSize - 1;
  if (!SplitPair(value, options.channelName1, options.channelName2)) {
    return "expected two names NAME1,NAME2";
  }
  if (options.channelName1.size() > kMaxName || options.channelName2.size() > kMaxName) {
    return "a channel name holds at most 15 characters";
  }
  options.namesGiven = true;
  return {};
}

// --set INDEX=VALUE, for the devices of the plug-in named last.
bool ApplySet(const std::string& value, HostOptions& options) {
  const std::size_t equals = value.find('=');
  ValueWrite write;
  if (equals == std::string::npos ||
      !ParseInt32(value.substr(0, equals), 0, std::numeric_limits<std::int32_t>::max(),
                  write.index) ||
      !ParseFloat(value.substr(equals + 1), write.value)) {
    return false;
  }
  write.plugin = static_cast<std::int32_t>(options.pluginPaths.size()) - 1;
  options.writes.push_back(write);
  return true;
}

// Where an option that names one file or folder keeps it; null for others.
std::string* PathOption(const std::string& name, HostOptions& options) {
  if (name == "dialogs") return &options.dialogDir;
  if (name == "scenario") return &options.scenario;
  if (name == "save-dir") return &options.saveDir;
  if (name == "export-dir") return &options.exportDir;
  return nullptr;
}

// --speed FACTOR|manual and --control PORT, the test aids the host hands its
// plug-ins; the reason when the value is bad.
std::string ApplyTestAid(const std::string& name, const std::string& value, HostOptions& options) {
  if (name == "speed") {
    float factor = 1.0f;
    if (value != "manual" &&
        (!ParseFloat(value, factor) || !(factor >= 1.0f && factor <= 100000.0f))) {
      return "expected a factor from 1 to 100000, or manual";
    }
    options.speed = value;
    options.speedFactor = factor;
    return {};
  }
  std::int32_t port = 0;
  const std::size_t colon = value.rfind(':');
  if (value.empty() ||
      !ParseInt32(colon == std::string::npos ? value : value.substr(colon + 1), 0, 65535, port)) {
    return "expected PORT or 127.0.0.1:PORT, PORT from 0 to 65535";
  }
  options.control = value;
  return {};
}

// Applies one option that takes a value; false with error set when the value is bad.
bool ApplyValue(const std::string& name, const std::string& value, HostOptions& options,
                bool& devicesGiven, std::string& error) {
  constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
  const auto fail = [&](const std::string& why) {
    error = "--" + name + " " + value + ": " + why;
    return false;
  };
  if (std::string* path = PathOption(name, options)) {
    if (value.empty()) return fail(name == "scenario" ? "needs a file" : "needs a folder");
    *path = value;
  } else if (name == "plugin") {
    if (value.empty()) return fail("needs a path");
    if (options.pluginPaths.empty()) options.pluginPath = value;
    options.pluginPaths.push_back(value);
  } else if (name == "web") {
    const std::string why = ApplyWeb(value, options);
    if (!why.empty()) return fail(why);
  } else if (name == "devices") {
    if (!ParseInt32(value, 0, 1000, options.devices)) return fail("expected 0 to 1000");
    devicesGiven = true;
  } else if (name == "interval") {
    if (!ParseInt32(value, 0, kInt32Max, options.interval)) {
      return fail("expected whole seconds, 0 or more");
    }
    options.intervalGiven = true;
  } else if (name == "comm") {
    std::string first, second;
    if (!SplitPair(value, first, second) ||
        !ParseInt32(first, kInt32Min, kInt32Max, options.commSetting1) ||
        !ParseInt32(second, kInt32Min, kInt32Max, options.commSetting2)) {
      return fail("expected two integers A,B");
    }
  } else if (name == "duration") {
    if (!ParseInt64(value, 0, 100000000, options.durationSeconds)) {
      return fail("expected whole seconds, 0 or more");
    }
  } else if (name == "speed" || name == "control") {
    const std::string why = ApplyTestAid(name, value, options);
    if (!why.empty()) return fail(why);
  } else if (name == "names") {
    const std::string why = ApplyNames(value, options);
    if (!why.empty()) return fail(why);
  } else if (name == "separator") {
    if (!ParseCharacter(value, options.separator)) return fail("expected one character or tab");
  } else if (name == "decimal") {
    if (!ParseCharacter(value, options.decimalPoint)) return fail("expected one character");
  } else if (name == "set") {
    if (!ApplySet(value, options)) return fail("expected INDEX=VALUE");
  } else if (name == "restore") {
    if (value.empty()) return fail("needs a file");
    options.restoreFiles.push_back(value);
  }
  return true;
}

// What the options say together; false with error set when they cannot go
// together.
bool CheckCombination(const HostOptions& options, std::string& error) {
  if (options.pluginPath.empty()) {
    error = "--plugin PATH is required";
  } else if (!options.web && options.pluginPaths.size() > 1) {
    error = "several --plugin need --web; the terminal table shows one plug-in";
  } else if (options.separator == options.decimalPoint) {
    error =
        "--separator and --decimal must differ: exported lines such as 0.5.5 could not be "
        "read back";
  }
  return error.empty();
}

// What CLI11 left over: an option it does not know, or a stray argument.
std::string LeftOverError(const std::vector<std::string>& remaining) {
  const std::string& first = remaining.front();
  if (first.size() > 2 && first.compare(0, 2, "--") == 0) {
    return "unknown option " + first.substr(0, first.find('='));
  }
  return "unexpected argument " + first;
}

}  // namespace

ParseStatus ParseOptions(const std::vector<std::string>& args, HostOptions& options,
                         std::string& error) {
  options = HostOptions{};
  bool devicesGiven = false;
  CLI::App app("Loads an emulated-controller driver plug-in and runs its devices", "orv_host");
  // The help is the usage text; asking for it wins over what follows.
  app.set_help_flag();
  app.formatter_fn([](const CLI::App*, std::string, CLI::AppFormatMode) { return UsageText(); });
  app.add_flag_callback("-h,--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
  app.add_flag("--live", options.live)->disable_flag_override();
  app.add_flag_callback("--no-record", [&options] { options.record = false; })
      ->disable_flag_override();
  const auto apply = [&](const std::string& name, const std::string& value) {
    if (!ApplyValue(name, value, options, devicesGiven, error)) throw CLI::ValidationError(error);
  };
  for (const char* name : kValueOptions) {
    app.add_option_function<std::string>(
           std::string("--") + name,
           [&apply, name](const std::string& value) { apply(name, value); })
        ->trigger_on_parse();
  }
  // --restore takes every following file up to the next option.
  app.add_option_function<std::vector<std::string>>(
         "--restore",
         [&apply](const std::vector<std::string>& files) {
           for (const std::string& file : files) apply("restore", file);
         })
      ->expected(-1)
      ->trigger_on_parse();
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::CallForHelp&) {
    return ParseStatus::kHelp;
  } catch (const CLI::ArgumentMismatch& failure) {
    // CLI11 names the option first: "--plugin: 1 required TEXT missing" for
    // an option without its value, "live was given a disallowed flag
    // override" for a flag given one.
    const std::string what = failure.what();
    const std::size_t colon = what.find(':');
    error = colon != std::string::npos
                ? "option " + what.substr(0, colon) + " needs a value"
                : "option --" + what.substr(0, what.find(' ')) + " takes no value";
    return ParseStatus::kError;
  } catch (const CLI::ExtrasError&) {
    error = LeftOverError(app.remaining());
    return ParseStatus::kError;
  } catch (const CLI::ParseError& failure) {
    error = failure.what();
    return ParseStatus::kError;
  }
  if (!CheckCombination(options, error)) return ParseStatus::kError;
  if (!devicesGiven && !options.restoreFiles.empty()) options.devices = 0;
  return ParseStatus::kRun;
}

std::string UsageText() {
  return "Usage: orv_host --plugin PATH [options]\n"
         "       orv_host --web [HOST:]PORT --plugin PATH [--plugin PATH...] [options]\n"
         "\n"
         "Loads an emulated-controller driver plug-in, adds devices, runs them and\n"
         "prints their live values every second, or serves them on a web page.\n"
         "\n"
         "  --plugin PATH        driver plug-in to load (required; with --web\n"
         "                       repeatable, one host holding several plug-ins)\n"
         "  --web [HOST:]PORT    serve the web dashboard at http://HOST:PORT/ instead\n"
         "                       of printing the table (HOST default 127.0.0.1,\n"
         "                       PORT 0 picks a free one)\n"
         "  --devices N          devices to add through the add dialog (default 1,\n"
         "                       or 0 when --restore is given)\n"
         "  --interval S         extra seconds between ticks, set through the settings\n"
         "                       dialog (default 0; restored devices keep their own\n"
         "                       unless given)\n"
         "  --comm A,B           the two connection settings the add dialog answers\n"
         "                       (default 0,0)\n"
         "  --duration S         seconds to run, 0 until Ctrl-C (default 15)\n"
         "  --speed FACTOR       run the devices' clocks FACTOR times as fast as real\n"
         "                       time (1 to 100000; sets ORV_EMU_SPEED for the\n"
         "                       plug-ins; a test and demonstration aid); manual\n"
         "                       stands them still until the control endpoint\n"
         "                       advances them (with --control)\n"
         "  --control PORT       open each plug-in's control endpoint on\n"
         "                       127.0.0.1:PORT (0: a free port for each; sets\n"
         "                       ORV_CONTROL for the plug-ins; orvctl finds them)\n"
         "  --scenario FILE      play the timed events of a scenario file on the\n"
         "                       devices (sets ORV_SCENARIO for the plug-ins)\n"
         "  --names N1,N2        channel names for two-channel drivers (at most 15\n"
         "                       characters each)\n"
         "  --set INDEX=VALUE    write a value on every device after start; after a\n"
         "                       --plugin, on that plug-in's devices (repeatable)\n"
         "  --restore FILE...    start from saved device images (repeatable)\n"
         "  --save-dir DIR       on stop, save each device to DIR/device-<id>.img\n"
         "  --export-dir DIR     on stop, export each history to DIR/history-<id>.csv\n"
         "  --separator C        export column separator, one character or tab\n"
         "                       (default ;)\n"
         "  --decimal C          export decimal character (default .)\n"
         "  --no-record          leave recording off (restored devices keep their\n"
         "                       saved history)\n"
         "  --dialogs DIR        folder of the dialog modules (default: this program's)\n"
         "  --live               redraw the table in place (terminal escapes)\n"
         "  --help               show this text\n"
         "\n"
         "Exit status: 0 after an orderly stop, 1 when the plug-in or a device\n"
         "failed, 2 for a bad command line.\n";
}

}  // namespace orv::refhost
