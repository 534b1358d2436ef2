// boundary/: the table adapters between the host and the framework, one
// layer per C++ ABI the plug-ins serve; the only code that knows which ABI
// the host speaks. Uses every other folder; starts and stops the control
// endpoint (control/) in Init and Shutdown.
//
// The driver function table: thin noexcept adapters between the host's table
// calls and the framework. Each finds the device, calls one framework
// function and converts the result; nothing is thrown across the table and an
// identifier the registry does not hold gives a neutral result.
#ifndef ORV_FRAMEWORK_BOUNDARY_TABLE_H
#define ORV_FRAMEWORK_BOUNDARY_TABLE_H

#include "framework/devices/driver.h"
#include "orv/driver_api.h"

namespace orv {

// The one driver of this plug-in; each plug-in defines it.
Driver& ThisDriver();

// Clears the table and stores the 26 entry points in slot order, the sample
// query the one for the driver's value count: ThisDriver() must be built.
void FillTable(DriverFunctionTable* table);

// What GetOrvDeviceDriverAPI calls: fills the host's table with the entry
// points of the C++ ABI this plug-in is built for (FillTable's, or those of
// the MSVC-ABI flavour, which lay out the same 26 slots).
void FillHostTable(DriverFunctionTable* table);

}  // namespace orv

#endif  // ORV_FRAMEWORK_BOUNDARY_TABLE_H
