// The host side of the integration tests: loads the built plug-ins and the
// reference dialog modules through the platform layer, as a host does, and
// catches what the plug-ins log and the message boxes they show.
#ifndef ORV_TESTS_INTEGRATION_PLUGIN_FIXTURE_H
#define ORV_TESTS_INTEGRATION_PLUGIN_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/dialogs/dialog_control.h"
#include "orv/driver_api.h"
#include "platform/platform.h"
#include "tests/integration/device_image.h"
#include "tests/integration/plugin_models.h"

namespace orv::it {

// The LogFn handed to Init: keeps every line, from any thread.
int CaptureLog(const char* format, ...);
std::vector<std::string> LogLines();
void ClearLog();
std::string FormatTid(const char* format, unsigned tid);

// Recorded by the MessageBoxA this program exports (message_box_hook.cpp).
struct MessageBoxCall {
  std::string text, caption;
  unsigned flags;
  const void* owner;
};
// The boxes shown since the last call, oldest first.
std::vector<MessageBoxCall> TakeMessageBoxes();
// Takes the boxes shown and checks that they were exactly one with this text
// and these flags, titled "Failed", without an owner window.
::testing::AssertionResult OneFailedBox(const std::string& text, unsigned flags);
constexpr unsigned kErrorBox = 0x2010;        // task-modal, error icon
constexpr unsigned kInformationBox = 0x2040;  // task-modal, information icon
// The 16 bytes of a ChannelConfig, padding included.
ByteArray ConfigBytes(const ChannelConfig& config);

// The reference dialog modules, loaded once per process under the plain names
// the plug-ins use, so that a plug-in's Init binds these very instances.
struct Dialogs {
  static Dialogs& Get();

  bool ok = false;
  void (*pickAnswer)(std::int32_t result, std::int32_t setting1, std::int32_t setting2);
  std::int32_t (*pickCalls)();
  PortpickCall (*pickLastCall)();
  void (*pickReset)();
  void (*confAnswer)(std::int32_t, std::int32_t, std::int32_t);
  std::int32_t (*confCalls)();
  SettingsCall (*confLastCall)();
  void (*confReset)();
  void (*dtAnswer)(std::int32_t, std::int32_t, std::int32_t, std::int32_t, const char*,
                   const char*);
  std::int32_t (*dtCalls)();
  SettingsCall (*dtLastCall)();
  void (*dtReset)();

  void ResetAll();
  // Answers for the settings dialog of the model's plug-in. Names, when given,
  // are typed into the two-name dialog's buffers whatever its result.
  void AnswerSettings(const PluginModel& model, std::int32_t result, bool setInterval,
                      std::int32_t newInterval, const char* name1 = nullptr,
                      const char* name2 = nullptr);
  std::int32_t SettingsCalls(const PluginModel& model);
  SettingsCall LastSettingsCall(const PluginModel& model);
};

// One loaded plug-in with its filled table. Its destruction removes the
// devices it created, shuts the driver down if it was initialised, unloads it.
class Plugin {
 public:
  // An empty directory loads by plain file name through the loader's search.
  explicit Plugin(const PluginModel& model, const std::string& directory = "");
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool loaded() const { return entry_ != nullptr; }
  GetOrvDeviceDriverAPIFn entry() const { return entry_; }
  const DriverFunctionTable& api() const { return table_; }
  const PluginModel& model() const { return model_; }

  std::int32_t Init();  // with CaptureLog
  // AddDevice, with the add dialog answering the two settings.
  DeviceId Add(std::int32_t setting1 = 0, std::int32_t setting2 = 0);
  DeviceId Restore(const ByteArray& bytes, std::int32_t offset = 0);
  // SaveDevice, decoded; a malformed image fails the test.
  DeviceImageData Save(DeviceId id);
  std::vector<std::uint32_t> ValueBits(DeviceId id);

 private:
  const PluginModel& model_;
  platform::ModuleHandle module_ = nullptr;
  GetOrvDeviceDriverAPIFn entry_ = nullptr;
  DriverFunctionTable table_{};
  bool initialised_ = false;
  std::vector<DeviceId> devices_;
};

// A freshly loaded plug-in per test, so its registry starts empty; dialogs
// reset, log and message boxes cleared.
class PluginTest : public ::testing::Test {
 protected:
  virtual const PluginModel& model() const = 0;
  virtual bool initInSetUp() const { return true; }
  void SetUp() override;
  void TearDown() override;
  const DriverFunctionTable& api() const { return plugin_->api(); }

  std::unique_ptr<Plugin> plugin_;
  Dialogs* dialogs_ = nullptr;
};

// Parameterised over the three plug-ins, initialised.
class ReadyPlugin : public PluginTest, public ::testing::WithParamInterface<PluginModel> {
 protected:
  const PluginModel& model() const override { return GetParam(); }
};

// Parameterised over the three plug-ins, loaded but not initialised.
class LoadedPlugin : public ReadyPlugin {
 protected:
  bool initInSetUp() const override { return false; }
};

// A path in the temporary folder, unique to this process.
std::string TempPath(const std::string& name);
std::vector<std::string> ReadLines(const std::string& path);
bool FileExists(const std::string& path);
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace orv::it

#endif  // ORV_TESTS_INTEGRATION_PLUGIN_FIXTURE_H
