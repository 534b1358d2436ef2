// The table of the plug-ins that share the host's own C++ library.
#include "framework/boundary/table.h"

namespace orv {

void FillHostTable(DriverFunctionTable* table) { FillTable(table); }

}  // namespace orv
