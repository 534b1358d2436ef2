#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/scenario/event_decoder.h"
#include "framework/scenario/replay_source.h"
#include "framework/scenario/scenario.h"
#include "platform/platform.h"

namespace orv {

const char* ActionName(ScenarioAction action) {
  switch (action) {
    case ScenarioAction::kSet:
      return "set";
    case ScenarioAction::kHold:
      return "hold";
    case ScenarioAction::kRamp:
      return "ramp";
    case ScenarioAction::kReplay:
      return "replay";
  }
  return "?";
}

namespace {

using Value = ScenarioValue;
using Table = ScenarioTable;

// Deeper brackets than any scenario needs; refused before parsing, since the
// parser descends recursively into nested arrays and inline tables.
constexpr int kMaxNesting = 8;

// What the events of one file share while it is read: where it lies and for
// which driver, and what its recordings may still take.
struct ScenarioReading {
  const ScenarioContext& context;
  std::uint64_t recordingBytes;
};

// A refusal found while checking: thrown inside this file only.
struct Refusal {
  std::size_t line;
  std::string reason;
};

[[noreturn]] void Refuse(const Value& at, std::string reason) {
  throw Refusal{at.location().line(), std::move(reason)};
}

// The line of the first byte that is not UTF-8 text (an invalid or overlong
// sequence, a surrogate, a control character other than tab, line feed and
// carriage return), or 0. A scenario file is TOML, which is UTF-8 text, and
// the parser must not see anything else: on broken sequences inside a string
// it has been seen to read past its input.
std::size_t NotText(const std::string& text) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return line;
      if (c == '\n') ++line;
      ++i;
      continue;
    }
    const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length == 0 || c > 0xF4 || i + static_cast<std::size_t>(length) > text.size()) return line;
    std::uint32_t code = c & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return line;
      code = code << 6 | (next & 0x3F);
    }
    const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return line;
    i += static_cast<std::size_t>(length);
  }
  return 0;
}

// The line of the deepest bracket beyond kMaxNesting, or 0. Strings and
// comments are skipped so that brackets inside them do not count.
std::size_t TooDeeplyNested(const std::string& text) {
  int depth = 0;
  std::size_t line = 1;
  char quote = 0;
  bool comment = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      comment = false;
      continue;
    }
    if (comment) continue;
    if (quote != 0) {
      if (c == '\\' && quote == '"') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (c == '#') {
      comment = true;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return line;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return 0;
}

// The first line of the parser's message without its "[error] name: " prefix.
std::string SyntaxReason(const char* what) {
  std::string text(what);
  text = text.substr(0, text.find('\n'));
  const std::string tag = "[error] ";
  if (text.compare(0, tag.size(), tag) == 0) text.erase(0, tag.size());
  const std::size_t colon = text.find(": ");
  if (text.compare(0, 6, "toml::") == 0 && colon != std::string::npos) text.erase(0, colon + 2);
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (text.size() > 200) text.resize(200);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text.empty() ? "not a valid TOML file" : text;
}

bool IsNumber(const Value& v) { return v.is_integer() || v.is_floating(); }

double NumberOf(const Value& v) {
  return v.is_integer() ? static_cast<double>(v.as_integer()) : v.as_floating();
}

double FiniteNumber(const Value& v, const std::string& key) {
  if (!IsNumber(v)) Refuse(v, "`" + key + "` must be a number");
  const double number = NumberOf(v);
  if (!std::isfinite(number)) Refuse(v, "`" + key + "` must be finite");
  return number;
}

float FloatValue(const Value& v, const std::string& key) {
  const double number = FiniteNumber(v, key);
  if (std::fabs(number) > static_cast<double>(std::numeric_limits<float>::max())) {
    Refuse(v, "`" + key + "` is beyond the range of a value");
  }
  return static_cast<float>(number);
}

// Seconds as 100 ns units; negative and over-long times are refused.
std::int64_t Seconds(const Value& v, const std::string& key) {
  const double seconds = FiniteNumber(v, key);
  if (seconds < 0.0) Refuse(v, "`" + key + "` must not be negative");
  if (seconds > kMaxScenarioSeconds) Refuse(v, "`" + key + "` is over ten years");
  return static_cast<std::int64_t>(std::llround(seconds * static_cast<double>(kTicksPerSecond)));
}

DeviceId DeviceIdOf(const Value& v) {
  if (!v.is_integer()) Refuse(v, "`devices` must be \"all\", a device id or a list of ids");
  const std::int64_t id = v.as_integer();
  if (id < 1 || id > std::numeric_limits<DeviceId>::max()) {
    Refuse(v, "device id " + std::to_string(id) + " is not a valid id (1 or more)");
  }
  return static_cast<DeviceId>(id);
}

void ReadDevices(const Value& v, ScenarioEvent& event) {
  if (v.is_string()) {
    if (v.as_string().str != "all") Refuse(v, "`devices` must be \"all\", an id or a list of ids");
    return;
  }
  event.allDevices = false;
  if (v.is_array()) {
    const auto& list = v.as_array();
    if (list.empty()) Refuse(v, "`devices` lists no device");
    if (list.size() > kMaxScenarioDevices) {
      Refuse(v, "`devices` lists more than " + std::to_string(kMaxScenarioDevices) + " ids");
    }
    for (const Value& id : list) event.devices.push_back(DeviceIdOf(id));
  } else {
    event.devices.push_back(DeviceIdOf(v));
  }
}

ScenarioAction ActionOf(const Value& v) {
  if (v.is_string()) {
    const std::string& name = v.as_string().str;
    if (name == "set") return ScenarioAction::kSet;
    if (name == "hold") return ScenarioAction::kHold;
    if (name == "ramp") return ScenarioAction::kRamp;
    if (name == "replay") return ScenarioAction::kReplay;
  }
  Refuse(v, "`action` must be \"set\", \"hold\", \"ramp\" or \"replay\"");
}

bool Printable(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// Refuses the first key that is unknown or belongs to another action.
bool IsReplayKey(const std::string& key) {
  return key == "file" || key == "columns" || key == "loop" || key == "separator" ||
         key == "decimal";
}

void CheckKeys(const Table& table, ScenarioAction action) {
  const bool timed = action != ScenarioAction::kSet;
  const bool ramp = action == ScenarioAction::kRamp;
  const bool replay = action == ScenarioAction::kReplay;
  for (const auto& [key, value] : table) {
    const bool known = key == "at" || key == "devices" || key == "action" || key == "note" ||
                       key == "driver" || (key == "index" && !replay) ||
                       (key == "value" && !ramp && !replay) || (key == "duration" && timed) ||
                       (key == "rate" && ramp) || (IsReplayKey(key) && replay);
    if (known) continue;
    const bool elsewhere =
        key == "value" || key == "duration" || key == "rate" || key == "index" || IsReplayKey(key);
    Refuse(value, "`" + key + "` " +
                      (elsewhere ? std::string("does not apply to a ") + ActionName(action)
                                 : std::string("is not a known key")));
  }
}

std::int32_t IndexOf(const Value& index, const ModelDescription& model) {
  if (!index.is_integer()) Refuse(index, "`index` must be an integer");
  if (index.as_integer() < 0 || index.as_integer() >= model.valueCount) {
    Refuse(index, "`index` " + std::to_string(index.as_integer()) + " is outside 0 to " +
                      std::to_string(model.valueCount - 1) + " of " + model.shortName);
  }
  return static_cast<std::int32_t>(index.as_integer());
}

// Only a quantity may be ramped.
void RequireQuantity(const Value& index, std::int32_t i, const ModelDescription& model) {
  if (model.channels[i].kind == kKindQuantity) return;
  Refuse(index, std::string("a ramp needs a quantity, and value ") + std::to_string(i) + " (" +
                    model.channels[i].name + ") is a level, switch or alarm");
}

// A set or hold value: a number, stored as a write of its kind would store
// it, or "invalid".
float ValueOf(const Value& value, std::int32_t kind) {
  if (value.is_string() && value.as_string().str == "invalid") return MakeInvalid();
  if (value.is_string()) Refuse(value, "`value` must be a number or \"invalid\"");
  return StoredByKind(kind, FloatValue(value, "value"));
}

std::string NoteOf(const Value& note) {
  if (!note.is_string()) Refuse(note, "`note` must be a string");
  const std::string& text = note.as_string().str;
  if (text.size() > kMaxScenarioNote) {
    Refuse(note, "`note` is longer than " + std::to_string(kMaxScenarioNote) + " characters");
  }
  if (!Printable(text)) Refuse(note, "`note` holds control characters");
  return text;
}

// The driver a `driver` key names: a printable string of at most
// kMaxScenarioNote characters.
const std::string& DriverNameOf(const Value& driver) {
  if (!driver.is_string() || driver.as_string().str.empty()) {
    Refuse(driver, "`driver` must name a plug-in (its file name without extension) or a driver");
  }
  const std::string& name = driver.as_string().str;
  if (name.size() > kMaxScenarioNote || !Printable(name)) {
    Refuse(driver, "`driver` is not a plug-in's or a driver's name");
  }
  return name;
}

bool NamesThisDriver(const std::string& name, const ModelDescription& model,
                     const ScenarioContext& context) {
  return (!context.driverFile.empty() && SameDriverName(name, context.driverFile)) ||
         SameDriverName(name, model.shortName);
}

// The driver an event is for: its own `driver`, else the file's; null when
// neither names one (the event is for every driver).
const std::string* EventDriver(const Value& entry, const std::string* fileDriver) {
  if (!entry.is_table()) Refuse(entry, "each `event` must be a table");
  const auto it = entry.as_table().find("driver");
  return it == entry.as_table().end() ? fileDriver : &DriverNameOf(it->second);
}

// One character of an export's layout: `separator` or `decimal`.
char LayoutCharacter(const Value& v, const std::string& key) {
  if (!v.is_string() || v.as_string().str.size() != 1 || v.as_string().str[0] == '\n' ||
      v.as_string().str[0] == '\r') {
    Refuse(v, "`" + key + "` must be one character");
  }
  return v.as_string().str[0];
}

// `columns`: a table of value indices to the file's column names or numbers.
std::vector<ReplayColumn> ColumnsOf(const Value& v, const ModelDescription& model) {
  if (!v.is_table() || v.as_table().empty()) {
    Refuse(v,
           "`columns` must be a table of value indices to column names or numbers, "
           "e.g. { 0 = \"CO2\", 1 = 2 }");
  }
  std::vector<ReplayColumn> columns;
  for (const auto& [key, column] : v.as_table()) {
    ReplayColumn c;
    std::int64_t index = -1;
    const auto result = std::from_chars(key.data(), key.data() + key.size(), index);
    if (result.ec != std::errc{} || result.ptr != key.data() + key.size() || index < 0 ||
        index >= model.valueCount) {
      Refuse(column, "`columns`: `" + key.substr(0, 24) + "` is not a value index from 0 to " +
                         std::to_string(model.valueCount - 1) + " of " + model.shortName);
    }
    c.index = static_cast<std::int32_t>(index);
    for (const ReplayColumn& earlier : columns) {
      if (earlier.index == c.index) {
        Refuse(column, "`columns`: value " + std::to_string(index) + " is named twice");
      }
    }
    if (column.is_string() && !column.as_string().str.empty()) {
      c.name = column.as_string().str;
      if (c.name.size() > kMaxScenarioNote || !Printable(c.name)) {
        Refuse(column, "`columns`: value " + std::to_string(index) + " names no column");
      }
    } else if (column.is_integer()) {
      c.number = column.as_integer();
    } else {
      Refuse(column,
             "`columns`: value " + std::to_string(index) + " needs a column name or number");
    }
    columns.push_back(std::move(c));
  }
  return columns;
}

// The replay's own keys; the recording is read and checked here, whole.
void ReadReplay(const Value& entry, ScenarioEvent& event, const ModelDescription& model,
                ScenarioReading& reading) {
  const Table& table = entry.as_table();
  auto find = [&](const char* key) -> const Value* {
    const auto it = table.find(key);
    return it == table.end() ? nullptr : &it->second;
  };
  const Value* file = find("file");
  if (file == nullptr) Refuse(entry, "the event has no `file` (the recording to replay)");
  if (!file->is_string() || file->as_string().str.empty()) Refuse(*file, "`file` must be a path");
  event.file = file->as_string().str;
  if (event.file.size() > 1024 || !Printable(event.file)) {
    Refuse(*file, "`file` is not a printable path of at most 1024 characters");
  }
  ReplaySource source;
  source.path = ResolvePath(reading.context.folder, event.file, platform::PathSeparator());
  source.driverFile = reading.context.driverFile;
  if (const Value* separator = find("separator")) {
    source.format.separator = LayoutCharacter(*separator, "separator");
  }
  if (const Value* decimal = find("decimal")) {
    source.format.decimal = LayoutCharacter(*decimal, "decimal");
  }
  if (source.format.separator != '\0' && source.format.separator == source.format.decimal) {
    Refuse(entry, "`separator` and `decimal` must differ");
  }
  if (const Value* columns = find("columns")) source.columns = ColumnsOf(*columns, model);
  if (const Value* loop = find("loop")) {
    if (!loop->is_boolean()) Refuse(*loop, "`loop` must be true or false");
    event.loop = loop->as_boolean();
  }
  std::string reason;
  event.recording = LoadReplay(source, model, reading.recordingBytes, reason);
  if (event.recording == nullptr) Refuse(*file, "`file` \"" + event.file + "\": " + reason);
  if (const Value* duration = find("duration")) {
    event.duration = Seconds(*duration, "duration");
    if (event.duration == 0) Refuse(*duration, "`duration` must be above 0");
  } else if (event.loop) {
    event.endless = true;
  } else {
    event.duration = event.recording->span();
  }
}

ScenarioEvent ReadEvent(const Value& entry, const ModelDescription& model,
                        ScenarioReading& reading) {
  if (!entry.is_table()) Refuse(entry, "each `event` must be a table");
  const Table& table = entry.as_table();
  ScenarioEvent event;
  event.line = entry.location().line();
  auto find = [&](const char* key) -> const Value* {
    const auto it = table.find(key);
    return it == table.end() ? nullptr : &it->second;
  };
  auto require = [&](const char* key, const char* what) -> const Value& {
    const Value* v = find(key);
    if (v == nullptr) Refuse(entry, std::string("the event has no `") + key + "` (" + what + ")");
    return *v;
  };

  event.action = ActionOf(require("action", "set, hold, ramp or replay"));
  CheckKeys(table, event.action);
  event.at = Seconds(require("at", "seconds of device clock"), "at");
  if (const Value* devices = find("devices")) ReadDevices(*devices, event);
  if (event.action == ScenarioAction::kReplay) {
    ReadReplay(entry, event, model, reading);
    if (const Value* note = find("note")) event.note = NoteOf(*note);
    return event;
  }
  const Value& index = require("index", "the value it acts on");
  event.index = IndexOf(index, model);
  if (event.action == ScenarioAction::kRamp) {
    RequireQuantity(index, event.index, model);
    event.rate = FloatValue(require("rate", "change per second"), "rate");
  } else {
    event.value =
        ValueOf(require("value", "a number or \"invalid\""), model.channels[event.index].kind);
  }
  if (event.action != ScenarioAction::kSet) {
    const Value& duration = require("duration", "seconds");
    event.duration = Seconds(duration, "duration");
    if (event.duration == 0) Refuse(duration, "`duration` must be above 0");
  }
  if (const Value* note = find("note")) event.note = NoteOf(*note);
  return event;
}

ScenarioParse Refused(std::size_t line, std::string reason) {
  ScenarioParse parse;
  parse.line = line;
  parse.reason = std::move(reason);
  return parse;
}

}  // namespace

float StoredByKind(std::int32_t kind, float value) {
  if (IsInvalid(value)) return value;
  if (kind == kKindLevel) return static_cast<float>(RoundToInt(value));
  if (kind == kKindSwitch || kind == kKindAlarm) return value == 0.0f ? 0.0f : 1.0f;
  return value;
}

bool SameDriverName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool ScenarioEvent::AppliesTo(DeviceId id) const {
  if (allDevices) return true;
  for (DeviceId d : devices) {
    if (d == id) return true;
  }
  return false;
}

ScenarioParse ParseScenario(const std::string& text, const ModelDescription& model) {
  return ParseScenario(text, model, ScenarioContext{});
}

ScenarioParse ParseScenario(const std::string& text, const ModelDescription& model,
                            const ScenarioContext& context) {
  try {
    if (text.size() > kMaxScenarioBytes) {
      return Refused(0, "the file is larger than " + std::to_string(kMaxScenarioBytes) + " bytes");
    }
    if (const std::size_t line = NotText(text)) {
      return Refused(line, "not UTF-8 text (or a control character)");
    }
    if (const std::size_t line = TooDeeplyNested(text)) {
      return Refused(line, "brackets nested deeper than " + std::to_string(kMaxNesting));
    }
    Value root;
    try {
      std::istringstream stream(text);
      root = toml::parse<toml::discard_comments, std::map, std::vector>(stream, "scenario");
    } catch (const toml::exception& e) {
      return Refused(e.location().line(), SyntaxReason(e.what()));
    }
    ScenarioParse parse;
    const std::string* fileDriver = nullptr;
    for (const auto& [key, value] : root.as_table()) {
      if (key == "driver") {
        fileDriver = &DriverNameOf(value);
      } else if (key != "event") {
        Refuse(value, "`" + key + "` is not a known key (only `driver` and [[event]])");
      }
    }
    const auto it = root.as_table().find("event");
    if (it == root.as_table().end()) return Refused(0, "the file holds no [[event]]");
    if (!it->second.is_array()) Refuse(it->second, "`event` must be written as [[event]] tables");
    const auto& events = it->second.as_array();
    if (events.size() > kMaxScenarioEvents) {
      Refuse(events[kMaxScenarioEvents],
             "more than " + std::to_string(kMaxScenarioEvents) + " events");
    }
    parse.scenario.eventsInFile = events.size();
    ScenarioReading reading{context, context.recordingBytes};
    for (const Value& entry : events) {
      // An event for another driver is skipped before any check of this
      // model's: its indices and kinds are another model's.
      if (const std::string* driver = EventDriver(entry, fileDriver)) {
        parse.scenario.namesDrivers = true;
        if (!NamesThisDriver(*driver, model, context)) continue;
      }
      parse.scenario.events.push_back(ReadEvent(entry, model, reading));
    }
    parse.ok = true;
    return parse;
  } catch (const Refusal& refusal) {
    return Refused(refusal.line, refusal.reason);
  } catch (const std::bad_alloc&) {
    return Refused(0, "out of memory");
  } catch (const std::exception& e) {
    return Refused(0, SyntaxReason(e.what()));
  }
}

EventDecode DecodeEvent(const ScenarioValue& entry, const ModelDescription& model,
                        const ScenarioContext& context) {
  EventDecode decode;
  try {
    // A file skips the events of other drivers; one event handed over alone
    // is refused.
    if (const std::string* driver = EventDriver(entry, nullptr)) {
      if (!NamesThisDriver(*driver, model, context)) {
        Refuse(entry, "the event is for `driver` \"" + *driver + "\", not this plug-in");
      }
    }
    ScenarioReading reading{context, context.recordingBytes};
    decode.event = ReadEvent(entry, model, reading);
    decode.ok = true;
  } catch (const Refusal& refusal) {
    decode.reason = refusal.reason;
  } catch (const std::bad_alloc&) {
    decode.reason = "out of memory";
  } catch (const std::exception& e) {
    decode.reason = SyntaxReason(e.what());
  }
  return decode;
}

bool ReadScenarioFile(const std::string& path, std::string& text, std::string& reason) {
  // A pipe would hold Init until something writes to it, a device forever.
  std::uint64_t size = 0;
  if (platform::LookAtFile(path.c_str(), size) == platform::FileKind::kOther) {
    reason = "not a regular file (a folder, a device or a pipe)";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    reason = "the file cannot be opened";
    return false;
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, &std::fclose);
  text.clear();
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (text.size() + got > kMaxScenarioBytes) {
      reason = "the file is larger than " + std::to_string(kMaxScenarioBytes) + " bytes";
      return false;
    }
    text.append(buffer, got);
  }
  if (std::ferror(file)) {
    reason = "the file cannot be read";
    return false;
  }
  return true;
}

std::string DriverFileStem(const std::string& fileName) {
  std::string stem = fileName.substr(fileName.find_last_of("/\\") + 1);
  const std::size_t dot = stem.rfind('.');
  if (dot != std::string::npos && dot > 0) stem.erase(dot);
  return stem;
}

std::string FolderOf(const std::string& path, char separator) {
  const std::size_t last = path.find_last_of(separator == '\\' ? "/\\" : "/");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string ScenarioLogLine(const ScenarioParse& parse, const std::string& path) {
  std::string head = std::string("Scenario ") + kScenarioVariable + "=\"" + path + "\"";
  if (parse.ok) {
    const std::size_t n = parse.scenario.events.size();
    if (!parse.scenario.namesDrivers) {
      return head + ": " + std::to_string(n) + (n == 1 ? " event" : " events") + " loaded.\n";
    }
    const std::size_t all = parse.scenario.eventsInFile;
    return head + ": " + std::to_string(n) + " of " + std::to_string(all) +
           (n == 1 ? " events is" : " events are") + " for this driver" +
           (n == 0 ? "; nothing is loaded.\n" : ".\n");
  }
  const std::string where = parse.line > 0 ? " line " + std::to_string(parse.line) + ":" : "";
  return head + " ignored:" + where + " " + parse.reason + "; no scenario is used.\n";
}

}  // namespace orv
