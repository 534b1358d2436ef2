// A driver plug-in loaded by path, with its filled function table.
#ifndef ORV_HOST_REFHOST_PLUGIN_MODULE_H
#define ORV_HOST_REFHOST_PLUGIN_MODULE_H

#include <string>

#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv::refhost {

class PluginModule {
 public:
  PluginModule() = default;
  ~PluginModule() { Free(); }
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  // Loads the library at path, calls GetOrvDeviceDriverAPI and checks that
  // every slot is filled; false with error set otherwise.
  bool Load(const std::string& path, std::string& error);
  void Free();

  const DriverFunctionTable& table() const { return table_; }

 private:
  platform::ModuleHandle module_ = nullptr;
  DriverFunctionTable table_{};
};

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_PLUGIN_MODULE_H
