#include "framework/scenario/replay_source.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "framework/core/values.h"
#include "framework/formats/image_layout.h"
#include "framework/scenario/scenario.h"
#include "platform/platform.h"

namespace orv {
namespace {

// Room for an image's fields before its samples: file and channel names.
constexpr std::uint64_t kImageHeaderRoom = std::uint64_t{1} << 20;
constexpr std::int64_t kMaxOffset =
    static_cast<std::int64_t>(kMaxScenarioSeconds) * kTicksPerSecond;

std::string Underscored(std::string name) {
  std::replace(name.begin(), name.end(), ' ', '_');
  std::replace(name.begin(), name.end(), '\t', '_');
  return name;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string MiB(std::uint64_t bytes) {
  if (bytes < (std::uint64_t{1} << 20)) return std::to_string(bytes) + " bytes";
  return std::to_string(bytes >> 20) + " MiB";
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Which column of names drives each value index, sorted by index.
bool MapColumns(const ReplaySource& source, const ModelDescription& model,
                const std::vector<std::string>& names, std::vector<std::int32_t>& indices,
                std::vector<std::size_t>& columns, std::string& reason) {
  std::vector<std::pair<std::int32_t, std::size_t>> map;
  if (source.columns.empty()) {
    // Each value takes the first column not yet taken that bears its name.
    std::vector<bool> taken(names.size(), false);
    for (int i = 0; i < model.valueCount; ++i) {
      const std::string own = Underscored(model.channels[i].name);
      for (std::size_t c = 0; c < names.size(); ++c) {
        if (taken[c]) continue;
        if (names[c] == own || (model.channelNames && EndsWith(names[c], "_" + own))) {
          taken[c] = true;
          map.emplace_back(i, c);
          break;
        }
      }
    }
    if (map.empty()) {
      reason = std::string("no column is named after a value of ") + model.shortName +
               " (`columns` chooses them)";
      return false;
    }
  } else {
    for (const ReplayColumn& column : source.columns) {
      if (!column.name.empty()) {
        const auto it = std::find(names.begin(), names.end(), column.name);
        if (it == names.end()) {
          reason = "`columns`: the file has no column `" + column.name + "`";
          return false;
        }
        map.emplace_back(column.index, static_cast<std::size_t>(it - names.begin()));
      } else {
        if (column.number < 0 || static_cast<std::uint64_t>(column.number) >= names.size()) {
          reason = "`columns`: the file has no column " + std::to_string(column.number) +
                   " (its value columns are 0 to " + std::to_string(names.size() - 1) + ")";
          return false;
        }
        map.emplace_back(column.index, static_cast<std::size_t>(column.number));
      }
    }
  }
  std::sort(map.begin(), map.end());
  for (const auto& [index, column] : map) {
    indices.push_back(index);
    columns.push_back(column);
  }
  return true;
}

std::string OverBudget(std::uint64_t budget) {
  return "the recordings of this scenario would take more than the " + MiB(budget) +
         " left of their cap";
}

std::shared_ptr<const ReplayRecording> LoadExport(std::FILE* file, const ReplaySource& source,
                                                  const ModelDescription& model,
                                                  std::uint64_t& budget, std::string& reason) {
  ExportReader reader(source.format);
  std::shared_ptr<ReplayRecording> recording;
  std::vector<std::size_t> columns;
  std::vector<float> row;
  std::int64_t first = 0;
  TextFault fault;  // a fault of this loader's, beside the reader's own
  const bool read = ForEachFileLine(
      file,
      [&](std::string_view line) {
        if (!reader.Take(line)) return false;
        if (reader.line() == 1) {
          std::vector<std::int32_t> indices;
          if (!MapColumns(source, model, reader.names(), indices, columns, fault.reason)) {
            fault.line = 1;
            return false;
          }
          row.resize(indices.size());
          recording = std::make_shared<ReplayRecording>(std::move(indices));
          return true;
        }
        if (!reader.sample()) return true;
        if (recording->size() == 0) first = reader.seconds();
        const std::int64_t seconds = reader.seconds() - first;  // the reader saw none go back
        if (seconds > static_cast<std::int64_t>(kMaxScenarioSeconds)) {
          fault = {reader.line(), "the recording spans more than ten years"};
          return false;
        }
        if ((recording->size() + 1) * recording->sampleBytes() > budget) {
          fault = {reader.line(), OverBudget(budget)};
          return false;
        }
        for (std::size_t k = 0; k < columns.size(); ++k) {
          const std::int32_t index = recording->indices()[k];
          row[k] = StoredByKind(model.channels[index].kind, reader.values()[columns[k]]);
        }
        recording->Append(seconds * kTicksPerSecond, row.data());
        return true;
      },
      fault);
  if (read) reader.Finish();
  if (!reader.fault().reason.empty()) fault = reader.fault();
  if (!fault.reason.empty()) {
    reason =
        fault.line > 0 ? "line " + std::to_string(fault.line) + ": " + fault.reason : fault.reason;
    return nullptr;
  }
  recording->Complete();
  budget -= recording->bytes();
  return recording;
}

std::string Incompatible(const std::string& detail) {
  return std::string(kIncompatibleImageReason) + " (" + detail + ")";
}

// The driven columns of an image's samples, appended to recording in order;
// false with the reason when a timestamp goes back or the span is too long.
bool AppendImageSamples(const SavedImage& saved, const ModelDescription& model,
                        const std::vector<std::size_t>& columns, ReplayRecording& recording,
                        std::string& reason) {
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(model.valueCount));
  std::vector<float> row(columns.size());
  std::uint64_t first = 0;
  std::uint64_t previous = 0;
  for (std::uint32_t k = 0; k < saved.sampleCount; ++k) {
    const std::uint8_t* record = saved.records + k * entry;
    auto word = [record](std::size_t at) {
      return static_cast<std::uint32_t>(record[at]) |
             static_cast<std::uint32_t>(record[at + 1]) << 8 |
             static_cast<std::uint32_t>(record[at + 2]) << 16 |
             static_cast<std::uint32_t>(record[at + 3]) << 24;
    };
    const std::uint64_t timestamp = word(0) | static_cast<std::uint64_t>(word(4)) << 32;
    if (k == 0) first = timestamp;
    if (k > 0 && timestamp < previous) {
      reason = "sample " + std::to_string(k + 1) +
               " of the image is earlier than the one before (its clock went back)";
      return false;
    }
    if (timestamp - first > static_cast<std::uint64_t>(kMaxOffset)) {
      reason = "the recording spans more than ten years";
      return false;
    }
    previous = timestamp;
    for (std::size_t c = 0; c < columns.size(); ++c)
      row[c] = FloatFromBits(word(8 + 4 * columns[c]));
    recording.Append(static_cast<std::int64_t>(timestamp - first), row.data());
  }
  return true;
}

std::shared_ptr<const ReplayRecording> LoadImage(std::FILE* file, std::uint64_t size,
                                                 const ReplaySource& source,
                                                 const ModelDescription& model,
                                                 std::uint64_t& budget, std::string& reason) {
  if (size > budget + kImageHeaderRoom) {
    reason = "the image is larger than the " + MiB(budget) + " left for this scenario's recordings";
    return nullptr;
  }
  ByteArray image(static_cast<std::size_t>(size));
  if (size > 0 && std::fread(image.data(), 1, image.size(), file) != image.size()) {
    reason = "the file cannot be read";
    return nullptr;
  }
  SavedImage saved;
  std::string detail;
  if (!DecodeImage(image, 0, model, saved, detail)) {
    reason = Incompatible(detail);
    return nullptr;
  }
  if (saved.end != image.size()) {
    reason = Incompatible(std::to_string(image.size() - saved.end) + " bytes follow the image");
    return nullptr;
  }
  const std::string saver = DriverFileStem(saved.fileName);
  if (!source.driverFile.empty() && !saver.empty() && !SameDriverName(saver, source.driverFile)) {
    reason = Incompatible("saved by " + saver + ", this is " + source.driverFile);
    return nullptr;
  }
  if (saved.sampleCount == 0) {
    reason = "the image holds no sample";
    return nullptr;
  }
  std::vector<std::int32_t> indices;
  std::vector<std::size_t> columns;
  const std::vector<std::string> names =
      ExportColumnNames(model, saved.channelName1, saved.channelName2);
  if (!MapColumns(source, model, names, indices, columns, reason)) return nullptr;
  if (saved.sampleCount * static_cast<std::uint64_t>(ReplayRecording::SampleBytes(indices.size())) >
      budget) {
    reason = OverBudget(budget);
    return nullptr;
  }
  auto recording = std::make_shared<ReplayRecording>(std::move(indices));
  if (!AppendImageSamples(saved, model, columns, *recording, reason)) return nullptr;
  recording->Complete();
  budget -= recording->bytes();
  return recording;
}

}  // namespace

std::vector<std::string> ExportColumnNames(const ModelDescription& model, const std::string& name1,
                                           const std::string& name2) {
  std::vector<std::string> names;
  for (int i = 0; i < model.valueCount; ++i) {
    std::string name = model.channels[i].name;
    if (model.channelNames) name = (i < model.valueCount / 2 ? name1 : name2) + " " + name;
    names.push_back(Underscored(name));
  }
  return names;
}

std::string ResolvePath(const std::string& folder, const std::string& path, char separator) {
  const bool windows = separator == '\\';
  const bool absolute =
      (!path.empty() && (path[0] == '/' || (windows && path[0] == '\\'))) ||
      (windows && path.size() >= 2 && path[1] == ':' &&
       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')));
  return absolute ? path : folder + path;
}

std::shared_ptr<const ReplayRecording> LoadReplay(const ReplaySource& source,
                                                  const ModelDescription& model,
                                                  std::uint64_t& budget, std::string& reason) {
  std::uint64_t size = 0;
  switch (platform::LookAtFile(source.path.c_str(), size)) {
    case platform::FileKind::kMissing:
      reason = "the file cannot be opened";
      return nullptr;
    case platform::FileKind::kOther:
      reason = "not a regular file (a folder, a device or a pipe)";
      return nullptr;
    case platform::FileKind::kRegular:
      break;
  }
  File file(std::fopen(source.path.c_str(), "rb"), &std::fclose);
  if (file == nullptr) {
    reason = "the file cannot be opened";
    return nullptr;
  }
  // An image's first bytes hold small lengths, so zero bytes; an export is
  // text and holds none.
  unsigned char head[8] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, file.get());
  const bool image = std::find(head, head + got, 0) != head + got;
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    reason = "the file cannot be read";
    return nullptr;
  }
  if (image) return LoadImage(file.get(), size, source, model, budget, reason);
  if (size > kMaxReplayTextBytes) {
    reason = "the file is larger than " + MiB(kMaxReplayTextBytes);
    return nullptr;
  }
  return LoadExport(file.get(), source, model, budget, reason);
}

}  // namespace orv
