// One run of a driver plug-in as a lab host does it: load, add or restore
// devices, run them while showing their values, stop, save, export, unload.
#ifndef ORV_HOST_REFHOST_HOST_RUN_H
#define ORV_HOST_REFHOST_HOST_RUN_H

#include <atomic>
#include <string>

#include "host/refhost/console.h"
#include "host/refhost/options.h"

namespace orv::refhost {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs until the duration is over or stopRequested is set; returns the exit code.
int RunHost(const HostOptions& options, const std::string& dialogFolder, Console& console,
            const std::atomic<bool>& stopRequested);

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_HOST_RUN_H
