// The climate_sim plug-in: the driver framework joined with the climate model.
#include "framework/boundary/table.h"
#include "framework/timing/runtime.h"
#include "models/climate/climate_model.h"

namespace orv {
namespace {

// Built when the library is loaded, before the host can call the export.
Driver gDriver(climate::kModel, SystemRuntime());

}  // namespace

Driver& ThisDriver() { return gDriver; }

}  // namespace orv

ORV_EXPORT void GetOrvDeviceDriverAPI(DriverFunctionTable* table) { orv::FillHostTable(table); }
