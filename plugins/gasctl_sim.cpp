// The gasctl_sim plug-in: the driver framework joined with the co2 model.
#include "framework/boundary/table.h"
#include "framework/timing/runtime.h"
#include "models/co2/co2_model.h"

namespace orv {
namespace {

// Built when the library is loaded, before the host can call the export.
Driver gDriver(co2::kModel, SystemRuntime());

}  // namespace

Driver& ThisDriver() { return gDriver; }

}  // namespace orv

ORV_EXPORT void GetOrvDeviceDriverAPI(DriverFunctionTable* table) { orv::FillHostTable(table); }
