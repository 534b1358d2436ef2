// orvctl's view of the control endpoints: the connection files in the
// user's runtime folder (or --dir), those of processes that still run, and
// the choice among them that --pid and --plugin narrow.
#ifndef ORV_HOST_ORVCTL_ENDPOINTS_H
#define ORV_HOST_ORVCTL_ENDPOINTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace orv::orvctl {

// Exit statuses, as the usage text documents them.
enum ExitStatus {
  kExitOk = 0,
  kExitRefused = 1,      // the endpoint refused the request; its message is printed
  kExitUsage = 2,        // a bad command line
  kExitNoEndpoint = 3,   // no endpoint found
  kExitSeveral = 4,      // several found where one is needed; they are named
  kExitUnreachable = 5,  // an endpoint could not be reached or answered nonsense
};

struct Endpoint {
  std::uint32_t pid = 0;
  std::string plugin;  // the plug-in's file name
  std::string driver;
  std::string address;
  int port = 0;
  std::string token;
  std::string file;  // the connection file it was read from

  std::string url() const;
  // "gasctl_sim.so (CO2-Ctrl EMU)"
  std::string name() const;
  // --plugin NAME: the file name, the start of the file name without its
  // extension (gasctl, gasctl_sim), or the driver's name, without case.
  bool Matches(const std::string& wanted) const;
};

// The folder orvctl reads by default, as the plug-ins write it.
std::string DefaultFolder();

// Every readable connection file in folder whose process runs, ordered by
// pid, then plug-in; stale ones are counted in stale.
std::vector<Endpoint> ReadEndpoints(const std::string& folder, std::size_t* stale = nullptr);

struct Selection {
  std::vector<Endpoint> endpoints;
  int status = kExitOk;  // not kExitOk: error says why
  std::string error;
};

// The endpoints one command acts on: those of one process (pid, or the only
// one there is), narrowed to a plug-in when one is named; one alone when
// single is set.
Selection Select(const std::vector<Endpoint>& all, std::uint32_t pid, const std::string& plugin,
                 bool single);

}  // namespace orv::orvctl

#endif  // ORV_HOST_ORVCTL_ENDPOINTS_H
