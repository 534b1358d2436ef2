// The dialog modules' side of the settings-dialog call for hosts built with
// Microsoft's compiler: the port list in that host's layout, on its heap.
#ifndef ORV_HOST_DIALOGS_DIALOG_ABI_H
#define ORV_HOST_DIALOGS_DIALOG_ABI_H

#include "framework/boundary/msvc_abi.h"

namespace orv::dialogs {

using PortList = msvc::IntList;
using SettingsFn = msvc::SettingsDialogFn;
using SettingsDtFn = msvc::SettingsDialogDtFn;

}  // namespace orv::dialogs

#endif  // ORV_HOST_DIALOGS_DIALOG_ABI_H
