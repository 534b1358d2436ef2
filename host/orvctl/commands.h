// orvctl's commands: each selects its endpoints, makes its requests and
// prints what they answer, for a person or (--json) for a program. Each
// returns an exit status (endpoints.h).
#ifndef ORV_HOST_ORVCTL_COMMANDS_H
#define ORV_HOST_ORVCTL_COMMANDS_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace orv::orvctl {

struct Context {
  std::string folder;  // of the connection files
  std::uint32_t pid = 0;
  std::string plugin;
  bool json = false;
  std::ostream* out;
  std::ostream* err;
};

struct EventArguments {
  std::string action;  // set, hold or ramp
  std::int64_t index = 0;
  std::string value;                  // a number, or invalid; a ramp's rate
  std::vector<std::int64_t> devices;  // none: every device
  std::string at = "now";
  std::string duration;  // empty: none given
  std::string note;
};

int List(const Context& context);
int Devices(const Context& context);
int ClockState(const Context& context);
int Advance(const Context& context, double seconds);
int PostEvent(const Context& context, const EventArguments& event);
int Cancel(const Context& context, std::uint64_t id);
int Load(const Context& context, const std::string& file, bool absolute);
// Follows the log of every endpoint; stops after count lines (0: never).
int Watch(const Context& context, std::uint64_t after, std::uint64_t count);

}  // namespace orv::orvctl

#endif  // ORV_HOST_ORVCTL_COMMANDS_H
