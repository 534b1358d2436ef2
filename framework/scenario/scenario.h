// scenario/: scenario files read at Init and played after each model step.
// Uses core/ (the model's description and values), formats/ (the exports and
// images a replay reads), the platform layer (files) and toml11.
//
// Scenarios: an opt-in list of timed disturbances, read from the file that
// ORV_SCENARIO names when the driver initialises. Each event writes, holds or
// ramps one live value, or replays a recorded run, at a second of a device's
// own clock, so a host can be tested against door openings, failed sensors,
// slow drifts and real incidents that happen at the same emulated second in
// every run.
#ifndef ORV_FRAMEWORK_SCENARIO_SCENARIO_H
#define ORV_FRAMEWORK_SCENARIO_SCENARIO_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/model.h"
#include "orv/driver_api.h"

namespace orv {

inline constexpr const char* kScenarioVariable = "ORV_SCENARIO";

// Limits on what a scenario file may hold; a file beyond one is refused.
inline constexpr std::size_t kMaxScenarioBytes = 64 * 1024;
inline constexpr std::size_t kMaxScenarioEvents = 1000;
inline constexpr std::size_t kMaxScenarioDevices = 64;  // ids in one event's list
inline constexpr std::size_t kMaxScenarioNote = 120;    // characters of a note
// Times and durations: up to ten years of device clock.
inline constexpr double kMaxScenarioSeconds = 315360000.0;

// What the recordings of one scenario may take together: what a 32-bit host
// can spare beside its devices' histories (a week at 1 s of a six-value
// driver takes 19 MiB).
inline constexpr std::uint64_t kMaxRecordingBytes = std::uint64_t{128} << 20;

// Device-clock times are kept in the timestamps' own unit, 100 ns.
inline constexpr std::int64_t kTicksPerSecond = 10000000;

enum class ScenarioAction : std::uint8_t {
  kSet,     // one write of value, after the model step of the first tick due
  kHold,    // value forced after each model step for duration
  kRamp,    // rate per second added after each model step for duration
  kReplay,  // a recording's values forced after each model step for duration
};

// The action's name as a scenario file spells it.
const char* ActionName(ScenarioAction action);

class ReplayRecording;

struct ScenarioEvent {
  std::int64_t at = 0;        // 100 ns of device clock since its thread started
  std::int64_t duration = 0;  // hold and ramp
  ScenarioAction action = ScenarioAction::kSet;
  std::int32_t index = 0;
  float value = 0.0f;  // set and hold; the invalid value for "invalid"
  float rate = 0.0f;   // ramp: per second
  bool allDevices = true;
  std::vector<DeviceId> devices;  // when !allDevices
  std::string note;               // printable, shown in the event's log line
  std::size_t line = 0;           // where the event starts in its file
  // replay: the samples, the file as the event names it, whether it starts
  // again after its end, and whether it plays until the device stops.
  std::shared_ptr<const ReplayRecording> recording;
  std::string file;
  bool loop = false;
  bool endless = false;

  bool AppliesTo(DeviceId id) const;
};

struct Scenario {
  std::string fileName;               // as the variable gave it, for log lines
  std::vector<ScenarioEvent> events;  // those for this driver
  std::size_t eventsInFile = 0;       // for every driver
  bool namesDrivers = false;          // some event (or the file) names its driver
};

// Where a scenario is read and for which driver. An event whose `driver`
// (its own, or the file's) is neither driverFile nor the model's short name
// is skipped before any check of the model's (case does not count). Relative
// paths in the events resolve against folder, which ends in a separator
// (empty: the working folder).
struct ScenarioContext {
  std::string driverFile;  // the plug-in's file name without extension; may be empty
  std::string folder;      // the scenario file's folder
  std::uint64_t recordingBytes = kMaxRecordingBytes;  // the cap on its recordings
};

// The outcome of reading a scenario. On a refusal, line is the line of the
// file that holds the fault (0 when none applies) and reason says what it is.
struct ScenarioParse {
  bool ok = false;
  Scenario scenario;
  std::size_t line = 0;
  std::string reason;
};

// Parses and checks a scenario against the model it will drive: value
// indices, kinds, finite numbers, times and the caps above. Never throws.
ScenarioParse ParseScenario(const std::string& text, const ModelDescription& model,
                            const ScenarioContext& context);
// The same for a file read without a context: only the model's short name
// names this driver, and paths resolve against the working folder.
ScenarioParse ParseScenario(const std::string& text, const ModelDescription& model);

// Driver names compared as a person means them: ASCII letters in any case.
bool SameDriverName(const std::string& a, const std::string& b);

// The value a write to a channel of this kind leaves: levels whole, switches
// and alarms 0 or 1, quantities unchanged; the invalid value stays invalid.
float StoredByKind(std::int32_t kind, float value);

// The file name without its folder and its last extension: "climate_sim"
// for ".../climate_sim.dll".
std::string DriverFileStem(const std::string& fileName);
// The folder of a path, with its last separator ('/', and '\\' where that
// is the separator too); empty for a plain file name.
std::string FolderOf(const std::string& path, char separator);

// Reads a whole file of at most kMaxScenarioBytes; false with a reason when
// it is not a regular file, cannot be read or is larger.
bool ReadScenarioFile(const std::string& path, std::string& text, std::string& reason);

// The one line Init logs for the file: how many events were loaded (of how
// many, when events name their driver), or where and why it was refused.
// path is already cut to a printable length.
std::string ScenarioLogLine(const ScenarioParse& parse, const std::string& path);

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_SCENARIO_H
