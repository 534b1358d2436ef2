// The dialog modules' side of the settings-dialog call for hosts that share
// the plug-ins' standard library: the contract's own port list.
#ifndef ORV_HOST_DIALOGS_DIALOG_ABI_H
#define ORV_HOST_DIALOGS_DIALOG_ABI_H

#include "orv/driver_api.h"

namespace orv::dialogs {

using PortList = ::IntList;
using SettingsFn = ::SettingsDialogFn;
using SettingsDtFn = ::SettingsDialogDtFn;

}  // namespace orv::dialogs

#endif  // ORV_HOST_DIALOGS_DIALOG_ABI_H
