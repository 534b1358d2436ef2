// What the update thread does with a tick's sample while recording is on,
// and how it carries on when memory runs out.
#ifndef ORV_FRAMEWORK_DEVICES_RECORDING_H
#define ORV_FRAMEWORK_DEVICES_RECORDING_H

#include "framework/devices/device.h"
#include "framework/history/sample.h"
#include "framework/timing/runtime.h"

namespace orv {

// Appends the tick's sample to the device's history. When no memory can be
// had, recording pauses with one log line, every sample already recorded is
// kept, and the ticks go on; samples are tried again at most once a second of
// real time until one fits, and one line says so. The recording flag stays as
// the host set it; the gap shows in the timestamps. A pause ends silently
// with its history: one emptied meanwhile (recording switched on, cleared)
// is tried at once. Update thread only, on the runtime it ticks on.
void RecordSample(EmuDevice& device, Runtime& runtime, const Sample& sample);

}  // namespace orv

#endif  // ORV_FRAMEWORK_DEVICES_RECORDING_H
