// The reference dialog modules as a driver meets them: loaded from the test's
// own folder and called through their exported entry points.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "host/dialogs/dialog_control.h"
#include "platform/platform.h"

namespace {

namespace platform = orv::platform;

// The build puts the modules beside this test program.
std::string ModulePath(const char* baseName) {
  char self[4096];
  if (!platform::OwnModulePath(self, sizeof(self))) return baseName;
  const std::filesystem::path folder = std::filesystem::absolute(self).parent_path();
  return (folder / (std::string(baseName) + platform::ModuleSuffix())).string();
}

template <typename Fn>
Fn Resolve(platform::ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(platform::FindSymbol(module, name));
}

// A driver's channel-name buffer: exactly 16 heap bytes, so that a sanitizer
// build catches any access past them.
std::unique_ptr<char[]> NameBuffer(const char* text) {
  auto buffer = std::make_unique<char[]>(kChannelNameBufferSize);
  std::memset(buffer.get(), 0, kChannelNameBufferSize);
  std::strncpy(buffer.get(), text, kChannelNameBufferSize);  // may leave no NUL
  return buffer;
}

class Dialogs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    portpick_ = platform::LoadModule(ModulePath("portpick").c_str());
    portconf_ = platform::LoadModule(ModulePath("portconf").c_str());
    portconfDt_ = platform::LoadModule(ModulePath("portconf_dt").c_str());
  }
  static void TearDownTestSuite() {
    for (platform::ModuleHandle module : {portconfDt_, portconf_, portpick_}) {
      platform::UnloadModule(module);
    }
  }
  void SetUp() override {
    ASSERT_NE(portpick_, nullptr);
    ASSERT_NE(portconf_, nullptr);
    ASSERT_NE(portconfDt_, nullptr);
    pick = Resolve<AddDialogFn>(portpick_, "portpick_dialog");
    pickAnswer = Resolve<decltype(&portpick_control_answer)>(portpick_, "portpick_control_answer");
    pickCalls = Resolve<decltype(&portpick_control_calls)>(portpick_, "portpick_control_calls");
    pickLast =
        Resolve<decltype(&portpick_control_last_call)>(portpick_, "portpick_control_last_call");
    conf = Resolve<SettingsDialogFn>(portconf_, "portconf_dialog");
    confAnswer = Resolve<decltype(&portconf_control_answer)>(portconf_, "portconf_control_answer");
    confLast =
        Resolve<decltype(&portconf_control_last_call)>(portconf_, "portconf_control_last_call");
    confDt = Resolve<SettingsDialogDtFn>(portconfDt_, "portconf_dt_dialog");
    dtAnswer =
        Resolve<decltype(&portconf_dt_control_answer)>(portconfDt_, "portconf_dt_control_answer");
    dtLast = Resolve<decltype(&portconf_dt_control_last_call)>(portconfDt_,
                                                               "portconf_dt_control_last_call");
    const auto pickReset = Resolve<void (*)()>(portpick_, "portpick_control_reset");
    const auto confReset = Resolve<void (*)()>(portconf_, "portconf_control_reset");
    const auto dtReset = Resolve<void (*)()>(portconfDt_, "portconf_dt_control_reset");
    ASSERT_TRUE(pick && pickAnswer && pickCalls && pickLast && conf && confAnswer && confLast &&
                confDt && dtAnswer && dtLast && pickReset && confReset && dtReset);
    pickReset();
    confReset();
    dtReset();
  }

  static platform::ModuleHandle portpick_;
  static platform::ModuleHandle portconf_;
  static platform::ModuleHandle portconfDt_;
  AddDialogFn pick = nullptr;
  decltype(&portpick_control_answer) pickAnswer = nullptr;
  decltype(&portpick_control_calls) pickCalls = nullptr;
  decltype(&portpick_control_last_call) pickLast = nullptr;
  SettingsDialogFn conf = nullptr;
  decltype(&portconf_control_answer) confAnswer = nullptr;
  decltype(&portconf_control_last_call) confLast = nullptr;
  SettingsDialogDtFn confDt = nullptr;
  decltype(&portconf_dt_control_answer) dtAnswer = nullptr;
  decltype(&portconf_dt_control_last_call) dtLast = nullptr;
};

platform::ModuleHandle Dialogs::portpick_ = nullptr;
platform::ModuleHandle Dialogs::portconf_ = nullptr;
platform::ModuleHandle Dialogs::portconfDt_ = nullptr;

// A plug-in loads the dialogs by plain file name; it must get the modules the
// host already loaded, not other copies with other answers.
TEST_F(Dialogs, PlainNameLoadFindsTheLoadedModule) {
  for (const char* baseName : {"portpick", "portconf", "portconf_dt"}) {
    const std::string fileName = std::string(baseName) + platform::ModuleSuffix();
    platform::ModuleHandle again = platform::LoadModule(fileName.c_str());
    EXPECT_NE(again, nullptr) << fileName;
    platform::UnloadModule(again);
  }
  pickAnswer(1, 11, 22);
  auto plain = platform::LoadModule((std::string("portpick") + platform::ModuleSuffix()).c_str());
  const auto plainPick = Resolve<AddDialogFn>(plain, "portpick_dialog");
  std::int32_t a = 0, b = 0;
  ASSERT_NE(plainPick, nullptr);
  EXPECT_EQ(plainPick(&a, &b, 4), 1);
  EXPECT_EQ(b, 22);
  EXPECT_EQ(pickCalls(), 1);
  platform::UnloadModule(plain);
}

TEST_F(Dialogs, PortpickWritesSettingsOnlyWhenConfirmed) {
  const struct {
    bool setAnswer;
    std::int32_t result, setting1, setting2;
    std::int32_t expect1, expect2;
  } cases[] = {
      {false, 1, 0, 0, 0, 0},   // default answer: confirm with 0 and 0
      {true, 0, 5, 6, -7, -7},  // cancelled: variables untouched
      {true, 9, 5, 6, 5, 6},    // any nonzero result confirms
      {false, 9, 5, 6, 5, 6},   // and the answer sticks
      {true, 1, -1, 65536, -1, 65536},
  };
  std::int32_t calls = 0;
  for (const auto& c : cases) {
    if (c.setAnswer) pickAnswer(c.result, c.setting1, c.setting2);
    std::int32_t a = -7, b = -7;
    EXPECT_EQ(pick(&a, &b, 3), c.result);
    EXPECT_EQ(a, c.expect1);
    EXPECT_EQ(b, c.expect2);
    EXPECT_EQ(pickCalls(), ++calls);
    EXPECT_EQ(pickLast().model, 3);
    EXPECT_EQ(pickLast().outPointersOk, 1);
  }
}

TEST_F(Dialogs, PortpickToleratesNullOutputs) {
  std::int32_t b = -7;
  EXPECT_EQ(pick(nullptr, &b, 2), 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(pick(nullptr, nullptr, 4), 1);
  EXPECT_EQ(pickLast().model, 4);
  EXPECT_EQ(pickLast().outPointersOk, 0);
}

// Both settings dialogs record the shared arguments alike.
TEST_F(Dialogs, SettingsDialogsRecordTheirArguments) {
  const std::string longName(300, 'L');
  IntList empty;
  IntList full{1};
  auto name1 = NameBuffer("Channel 1");
  auto name2 = NameBuffer("Channel 2");
  for (int module = 0; module < 2; ++module) {
    SCOPED_TRACE(module == 0 ? "portconf" : "portconf_dt");
    const auto call = [&](bool hasValues, IntList* list, std::int32_t* interval) {
      return module == 0 ? conf(longName.c_str(), "short", "drv.dll", 1, 2, hasValues, 3, 4, -1,
                                list, interval)
                         : confDt(longName.c_str(), "short", "drv.dll", 1, 2, hasValues, 3, 4, -1,
                                  list, name1.get(), name2.get(), interval);
    };
    const auto last = [&] { return module == 0 ? confLast() : dtLast(); };
    std::int32_t interval = 10;
    EXPECT_EQ(call(true, &empty, &interval), 1);
    EXPECT_EQ(interval, 10);  // the default answer leaves it alone
    SettingsCall seen = last();
    EXPECT_EQ(std::string(seen.longName), std::string(255, 'L'));
    EXPECT_STREQ(seen.shortName, "short");
    EXPECT_STREQ(seen.fileName, "drv.dll");
    EXPECT_EQ(seen.versionMajor, 1);
    EXPECT_EQ(seen.versionMinor, 2);
    EXPECT_EQ(seen.hasValues, 1);
    EXPECT_EQ(seen.commSetting1, 3);
    EXPECT_EQ(seen.commSetting2, 4);
    EXPECT_EQ(seen.minusOne, -1);
    EXPECT_EQ(seen.listWasEmpty, 1);
    EXPECT_EQ(seen.intervalOnEntry, 10);

    if (module == 0)
      confAnswer(0, 1, 3);
    else
      dtAnswer(0, 1, 3, 0, nullptr, nullptr);
    EXPECT_EQ(call(false, &full, &interval), 0);
    EXPECT_EQ(interval, 3);  // written whatever the result
    EXPECT_EQ(last().hasValues, 0);
    EXPECT_EQ(last().listWasEmpty, 0);
    EXPECT_EQ(last().intervalOnEntry, 10);
  }
}

TEST_F(Dialogs, SettingsDialogsTolerateNullPointers) {
  confAnswer(1, 1, 5);
  EXPECT_EQ(conf(nullptr, nullptr, nullptr, 0, 0, false, 0, 0, 0, nullptr, nullptr), 1);
  EXPECT_STREQ(confLast().longName, "");
  EXPECT_EQ(confLast().listWasEmpty, 0);
  dtAnswer(1, 1, 5, 1, "x", "y");
  EXPECT_EQ(
      confDt(nullptr, nullptr, nullptr, 0, 0, false, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
      1);
  EXPECT_STREQ(dtLast().channelName1, "");
}

TEST_F(Dialogs, TwoNameDialogExchangesNamesWithinSixteenBytes) {
  const struct {
    const char* onEntry1;  // buffer contents the driver hands over
    std::int32_t result;
    bool setNames;
    const char* answer1;
    const char* recorded1;  // what the record shows of the entry buffer
    const char* after1;     // buffer contents afterwards
  } cases[] = {
      {"Channel 1", 1, false, "ignored", "Channel 1", "Channel 1"},
      {"0123456789abcdefXYZ", 1, false, "", "0123456789abcde", "0123456789abcdef"},
      {"Old", 1, true, "New", "Old", "New"},
      {"Old", 0, true, "Typed, cancelled", "Old", "Typed, cancelle"},
      {"Old", 1, true, nullptr, "Old", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.onEntry1);
    dtAnswer(c.result, 0, 0, c.setNames ? 1 : 0, c.answer1, "B");
    auto name1 = NameBuffer(c.onEntry1);
    auto name2 = NameBuffer("Channel 2");
    std::int32_t interval = 10;
    EXPECT_EQ(
        confDt("L", "S", "f", 1, 1, true, 0, 0, -1, nullptr, name1.get(), name2.get(), &interval),
        c.result);
    EXPECT_STREQ(dtLast().channelName1, c.recorded1);
    EXPECT_STREQ(dtLast().channelName2, "Channel 2");
    EXPECT_EQ(std::string(name1.get(), strnlen(name1.get(), kChannelNameBufferSize)), c.after1);
    EXPECT_STREQ(name2.get(), c.setNames ? "B" : "Channel 2");
  }
}

}  // namespace
