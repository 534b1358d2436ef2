// The twotemp_sim plug-in: the driver framework joined with the twotemp model.
#include "framework/boundary/table.h"
#include "framework/timing/runtime.h"
#include "models/twotemp/twotemp_model.h"

namespace orv {
namespace {

// Built when the library is loaded, before the host can call the export.
Driver gDriver(twotemp::kModel, SystemRuntime());

}  // namespace

Driver& ThisDriver() { return gDriver; }

}  // namespace orv

ORV_EXPORT void GetOrvDeviceDriverAPI(DriverFunctionTable* table) { orv::FillHostTable(table); }
