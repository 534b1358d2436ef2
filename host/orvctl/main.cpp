// orvctl: a tester's client for the plug-ins' control endpoints. Finds them
// through their connection files, so that no port or token is typed.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "host/orvctl/commands.h"
#include "host/orvctl/endpoints.h"

namespace {

using namespace orv::orvctl;

constexpr const char* kExitStatuses =
    "Endpoints are those of one process: all its plug-ins, unless --plugin or\n"
    "--pid narrows them (event, cancel and load need exactly one).\n"
    "\n"
    "Exit status: 0 done; 1 the endpoint refused the request (its message is\n"
    "printed); 2 a bad command line; 3 no endpoint found; 4 several found where\n"
    "one is needed (they are named); 5 an endpoint could not be reached.\n";

// What the commands take on their own command lines.
struct Arguments {
  double seconds = 0;
  EventArguments event;
  std::uint64_t id = 0;
  std::string file;
  bool absolute = false;
  std::uint64_t after = 0;
  std::uint64_t count = 0;
};

// The commands that only read: list, devices, clock, watch.
void AddReadCommands(CLI::App& app, Context& context, Arguments& args, int& status) {
  app.add_subcommand("list", "list the endpoints found")->callback([&] { status = List(context); });
  app.add_subcommand("devices", "each device's state, values and events")->callback([&] {
    status = Devices(context);
  });
  app.add_subcommand("clock", "the clock's mode and each device's second")->callback([&] {
    status = ClockState(context);
  });
  CLI::App* watch = app.add_subcommand("watch", "follow the drivers' log lines and events");
  watch->add_option("--after", args.after, "start after this line number");
  watch->add_option("--count", args.count, "stop after this many lines");
  watch->callback([&] { status = Watch(context, args.after, args.count); });
}

// The commands that change the devices: advance, event, cancel, load.
void AddChangeCommands(CLI::App& app, Context& context, Arguments& args, int& status) {
  CLI::App* advance =
      app.add_subcommand("advance", "let SECONDS of device time pass (ORV_EMU_SPEED=manual)");
  advance->add_option("SECONDS", args.seconds, "seconds of device clock")->required();
  advance->callback([&] { status = Advance(context, args.seconds); });

  EventArguments& event = args.event;
  CLI::App* post = app.add_subcommand(
      "event", "post an event: ACTION INDEX VALUE (for a ramp, VALUE is the rate per second)");
  post->add_option("ACTION", event.action, "set, hold or ramp")->required();
  post->add_option("INDEX", event.index, "the value it acts on")->required();
  post->add_option("VALUE", event.value, "a number or invalid; a ramp's rate")->required();
  post->add_option("--device", event.devices, "a device id (repeatable; default: all)");
  post->add_option("--at", event.at, "the device second, or now (default)");
  post->add_option("--duration", event.duration, "seconds, for hold and ramp");
  post->add_option("--note", event.note, "a note for the log line");
  post->callback([&] { status = PostEvent(context, event); });

  CLI::App* cancel = app.add_subcommand("cancel", "end a pending or running event");
  cancel->add_option("ID", args.id, "the event's id")->required();
  cancel->callback([&] { status = Cancel(context, args.id); });

  CLI::App* load = app.add_subcommand("load", "load a scenario file's events");
  load->add_option("FILE", args.file, "a scenario file (TOML)")->required();
  load->add_flag("--absolute", args.absolute,
                 "its times are device seconds, not seconds from the next tick");
  load->callback([&] { status = Load(context, args.file, args.absolute); });
}

}  // namespace

int main(int argc, char** argv) {
  try {
    CLI::App app(
        "Steers the emulated devices of a running host through the plug-ins' control "
        "endpoints (ORV_CONTROL).",
        "orvctl");
    app.footer(kExitStatuses);
    app.require_subcommand(1);
    // --plugin, --pid, --dir and --json may follow the command too.
    app.fallthrough();
    Context context;
    context.out = &std::cout;
    context.err = &std::cerr;
    context.folder = DefaultFolder();
    app.add_option("--dir", context.folder, "folder of the connection files")
        ->default_str(context.folder);
    app.add_option("--pid", context.pid, "the host process, when several run endpoints");
    app.add_option("--plugin", context.plugin,
                   "a plug-in, by file name (gasctl_sim.so or gasctl_sim) or driver name");
    app.add_flag("--json", context.json, "print the endpoints' JSON answers");

    int status = kExitOk;
    Arguments args;
    AddReadCommands(app, context, args, status);
    AddChangeCommands(app, context, args, status);
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
      return app.exit(help);
    } catch (const CLI::ParseError& failure) {
      std::cerr << "orvctl: " << failure.what() << "\nTry orvctl --help.\n";
      return kExitUsage;
    }
    return status;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "orvctl: %s\n", failure.what());
  }
  return kExitUnreachable;
}
