#include "tests/integration/plugin_fixture.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

namespace orv::it {
namespace {

std::mutex logMutex;
std::vector<std::string> logLines;  // guarded by logMutex

template <typename Fn>
bool Bind(platform::ModuleHandle module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(platform::FindSymbol(module, name));
  return fn != nullptr;
}

platform::ModuleHandle LoadDialog(const char* baseName) {
  return platform::LoadModule((std::string(baseName) + platform::ModuleSuffix()).c_str());
}

}  // namespace

int CaptureLog(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.emplace_back(line);
  return 0;
}

std::vector<std::string> LogLines() {
  std::lock_guard<std::mutex> lock(logMutex);
  return logLines;
}

void ClearLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.clear();
}

std::string FormatTid(const char* format, unsigned tid) {
  char line[128];
  std::snprintf(line, sizeof line, format, tid);
  return line;
}

::testing::AssertionResult OneFailedBox(const std::string& text, unsigned flags) {
  const std::vector<MessageBoxCall> boxes = TakeMessageBoxes();
  if (boxes.size() != 1) return ::testing::AssertionFailure() << boxes.size() << " boxes";
  const MessageBoxCall& box = boxes[0];
  if (box.text != text || box.caption != "Failed" || box.flags != flags || box.owner != nullptr) {
    return ::testing::AssertionFailure()
           << "box \"" << box.text << "\" titled \"" << box.caption << "\" flags 0x" << std::hex
           << box.flags << " owner " << box.owner;
  }
  return ::testing::AssertionSuccess();
}

ByteArray ConfigBytes(const ChannelConfig& config) {
  ByteArray bytes(sizeof config);
  std::memcpy(bytes.data(), &config, sizeof config);
  return bytes;
}

Dialogs& Dialogs::Get() {
  static Dialogs dialogs = [] {
    Dialogs d{};
    // Kept loaded for the life of the process: the plug-ins' loads add to it.
    platform::ModuleHandle pick = LoadDialog("portpick");
    platform::ModuleHandle conf = LoadDialog("portconf");
    platform::ModuleHandle dt = LoadDialog("portconf_dt");
    d.ok = Bind(pick, "portpick_control_answer", d.pickAnswer) &&
           Bind(pick, "portpick_control_calls", d.pickCalls) &&
           Bind(pick, "portpick_control_last_call", d.pickLastCall) &&
           Bind(pick, "portpick_control_reset", d.pickReset) &&
           Bind(conf, "portconf_control_answer", d.confAnswer) &&
           Bind(conf, "portconf_control_calls", d.confCalls) &&
           Bind(conf, "portconf_control_last_call", d.confLastCall) &&
           Bind(conf, "portconf_control_reset", d.confReset) &&
           Bind(dt, "portconf_dt_control_answer", d.dtAnswer) &&
           Bind(dt, "portconf_dt_control_calls", d.dtCalls) &&
           Bind(dt, "portconf_dt_control_last_call", d.dtLastCall) &&
           Bind(dt, "portconf_dt_control_reset", d.dtReset);
    return d;
  }();
  return dialogs;
}

void Dialogs::ResetAll() {
  pickReset();
  confReset();
  dtReset();
}

void Dialogs::AnswerSettings(const PluginModel& model, std::int32_t result, bool setInterval,
                             std::int32_t newInterval, const char* name1, const char* name2) {
  if (model.channelNames()) {
    dtAnswer(result, setInterval ? 1 : 0, newInterval, name1 != nullptr ? 1 : 0, name1, name2);
  } else {
    confAnswer(result, setInterval ? 1 : 0, newInterval);
  }
}

std::int32_t Dialogs::SettingsCalls(const PluginModel& model) {
  return model.channelNames() ? dtCalls() : confCalls();
}

SettingsCall Dialogs::LastSettingsCall(const PluginModel& model) {
  return model.channelNames() ? dtLastCall() : confLastCall();
}

Plugin::Plugin(const PluginModel& model, const std::string& directory) : model_(model) {
  const std::string path = directory.empty()
                               ? model.fileName()
                               : directory + platform::PathSeparator() + model.fileName();
  module_ = platform::LoadModule(path.c_str());
  auto entry = reinterpret_cast<GetOrvDeviceDriverAPIFn>(
      platform::FindSymbol(module_, "GetOrvDeviceDriverAPI"));
  if (entry == nullptr) return;
  entry(&table_);
  entry_ = entry;
}

Plugin::~Plugin() {
  for (DeviceId id : devices_) table_.RemoveDevice(id);
  if (initialised_) table_.Shutdown();
  platform::UnloadModule(module_);
}

std::int32_t Plugin::Init() {
  const std::int32_t result = table_.Init(&CaptureLog);
  initialised_ = true;
  return result;
}

DeviceId Plugin::Add(std::int32_t setting1, std::int32_t setting2) {
  Dialogs::Get().pickAnswer(1, setting1, setting2);
  const DeviceId id = table_.AddDevice();
  if (id != 0) devices_.push_back(id);
  return id;
}

DeviceId Plugin::Restore(const ByteArray& bytes, std::int32_t offset) {
  const DeviceId id = table_.RestoreDevice(bytes, offset);
  if (id != 0) devices_.push_back(id);
  return id;
}

DeviceImageData Plugin::Save(DeviceId id) {
  ByteArray bytes;
  table_.SaveDevice(id, bytes);
  DeviceImageData image;
  if (!DecodeImage(bytes, model_.n, model_.channelNames(), &image)) {
    ADD_FAILURE() << "SaveDevice(" << id << ") gave a malformed image of " << bytes.size()
                  << " bytes";
  }
  return image;
}

std::vector<std::uint32_t> Plugin::ValueBits(DeviceId id) {
  std::vector<std::uint32_t> bits;
  for (int i = 0; i < model_.n; ++i) bits.push_back(Bits(table_.GetValue(id, i)));
  return bits;
}

void PluginTest::SetUp() {
  dialogs_ = &Dialogs::Get();
  ASSERT_TRUE(dialogs_->ok) << "the dialog modules or their controls cannot be loaded";
  dialogs_->ResetAll();
  ClearLog();
  TakeMessageBoxes();
  plugin_ = std::make_unique<Plugin>(model());
  ASSERT_TRUE(plugin_->loaded()) << model().fileName() << " or its entry point cannot be loaded";
  if (initInSetUp()) {
    ASSERT_EQ(plugin_->Init(), 1);
  }
}

void PluginTest::TearDown() {
  plugin_.reset();
  TakeMessageBoxes();
}

namespace {

// Each test process keeps its files in one folder of its own, removed when the
// process ends, so runs leave nothing behind in the temporary folder.
class ProcessTempFolder {
 public:
  ProcessTempFolder() {
    std::mt19937_64 rng(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    path_ =
        std::filesystem::temp_directory_path() / ("orv_it_" + std::to_string(rng() % 1000000000u));
    std::filesystem::create_directories(path_);
  }
  ~ProcessTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

std::string TempPath(const std::string& name) {
  static const ProcessTempFolder folder;
  return (folder.path() / name).string();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::SleepMs(10);
  }
  return true;
}

}  // namespace orv::it
