// The dashboard run of the reference host: loads every plug-in into one
// session, adds or restores the devices the command line asks for, serves
// the page until stopped, then saves and exports as the terminal run does.
#ifndef ORV_HOST_WEB_WEB_RUN_H
#define ORV_HOST_WEB_WEB_RUN_H

#include <atomic>
#include <string>

#include "host/refhost/console.h"
#include "host/refhost/options.h"

namespace orv::web {

int RunWeb(const refhost::HostOptions& options, const std::string& dialogFolder,
           refhost::Console& console, const std::atomic<bool>& stopRequested);

}  // namespace orv::web

#endif  // ORV_HOST_WEB_WEB_RUN_H
