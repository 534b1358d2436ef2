// Loading what a replay plays: an export as the drivers write it, or a saved
// image of the same driver, read whole and checked when the scenario loads,
// and kept as a ReplayRecording of the values it drives.
#ifndef ORV_FRAMEWORK_SCENARIO_REPLAY_SOURCE_H
#define ORV_FRAMEWORK_SCENARIO_REPLAY_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/model.h"
#include "framework/formats/export_text.h"
#include "framework/scenario/replay_recording.h"

namespace orv {

// An export text larger than this is refused before it is read.
inline constexpr std::uint64_t kMaxReplayTextBytes = std::uint64_t{1} << 30;

// Which column drives a value index: by the header's name, or by its number
// among the value columns (0 is the first after "Second"; an image's columns
// are its values in order).
struct ReplayColumn {
  std::int32_t index = 0;
  std::string name;         // when not empty
  std::int64_t number = 0;  // otherwise
};

struct ReplaySource {
  std::string path;                   // resolved against the scenario's folder
  ExportFormat format;                // an export's, '\0' where found from the text
  std::vector<ReplayColumn> columns;  // empty: by the model's channel names
  std::string driverFile;             // this plug-in's file name without extension, for images
};

// Reads the source for model. budget is what the recordings of this scenario
// may still take (ReplayRecording's bytes); it is reduced by what this one
// takes. On a refusal returns null and says why in reason, naming the line
// of an export where it applies ("line 12: ..."). May throw std::bad_alloc.
std::shared_ptr<const ReplayRecording> LoadReplay(const ReplaySource& source,
                                                  const ModelDescription& model,
                                                  std::uint64_t& budget, std::string& reason);

// The names an export of model writes for its values: the channel names,
// after the device's channel name on models with two (as the image holds
// them), spaces and tabs as underscores.
std::vector<std::string> ExportColumnNames(const ModelDescription& model, const std::string& name1,
                                           const std::string& name2);

// path itself when absolute, else folder + path. On Windows (separator '\\')
// a drive letter or a leading backslash makes a path absolute too.
std::string ResolvePath(const std::string& folder, const std::string& path, char separator);

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_REPLAY_SOURCE_H
