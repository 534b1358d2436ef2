// Adding, restoring and removing devices through the host's dialogs, and the
// settings dialog's arguments and answers.
#include <climits>
#include <cstdio>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

// Which device answers to id: its first comm setting, as the settings dialog
// receives it; 0 when no dialog was opened, that is no device has that id.
std::int32_t Settings1Of(const PluginModel& model, Dialogs& dialogs, const DriverFunctionTable& api,
                         DeviceId id) {
  const std::int32_t calls = dialogs.SettingsCalls(model);
  api.ShowSettings(id);
  if (dialogs.SettingsCalls(model) == calls) return 0;
  return dialogs.LastSettingsCall(model).commSetting1;
}

TEST_P(ReadyPlugin, AddDevicePassesTheModelAndKeepsTheChosenSettings) {
  EXPECT_EQ(plugin_->Add(7, -9), 1);
  const PortpickCall call = dialogs_->pickLastCall();
  EXPECT_EQ(call.model, GetParam().addDialogModel);
  EXPECT_EQ(call.outPointersOk, 1);
  api().ShowSettings(1);
  EXPECT_EQ(dialogs_->LastSettingsCall(GetParam()).commSetting1, 7);
  EXPECT_EQ(dialogs_->LastSettingsCall(GetParam()).commSetting2, -9);
}

TEST_P(ReadyPlugin, CancelledAddCreatesNothingAndUsesNoIdentifier) {
  dialogs_->pickAnswer(0, 5, 6);
  EXPECT_EQ(api().AddDevice(), 0);
  EXPECT_EQ(dialogs_->pickCalls(), 1);
  EXPECT_EQ(plugin_->Add(), 1);
  dialogs_->pickAnswer(0, 5, 6);
  EXPECT_EQ(api().AddDevice(), 0);
  EXPECT_EQ(plugin_->Add(), 2);
}

TEST_P(ReadyPlugin, IdentifiersAreNeverReused) {
  ASSERT_EQ(plugin_->Add(101), 1);
  ASSERT_EQ(plugin_->Add(102), 2);
  api().RemoveDevice(1);
  EXPECT_EQ(plugin_->Add(103), 3);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 1), 0);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 2), 102);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 3), 103);
}

TEST_P(ReadyPlugin, AddAndRestoreShareTheCounter) {
  ASSERT_EQ(plugin_->Add(11), 1);
  ByteArray image;
  api().SaveDevice(1, image);
  EXPECT_EQ(plugin_->Restore(image), 2);
  EXPECT_EQ(plugin_->Add(13), 3);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 2), 11);
}

TEST_P(ReadyPlugin, RemovingTheMiddleDeviceKeepsTheOthers) {
  for (std::int32_t setting : {11, 12, 13}) plugin_->Add(setting);
  api().RemoveDevice(2);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 1), 11);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 2), 0);
  EXPECT_EQ(Settings1Of(GetParam(), *dialogs_, api(), 3), 13);
  EXPECT_EQ(plugin_->Add(), 4);
}

TEST_P(ReadyPlugin, CheckDeviceIsOneForAnyIdentifier) {
  for (DeviceId id : {0, 1, -1, 999, INT_MIN, INT_MAX}) EXPECT_EQ(api().CheckDevice(id), 1) << id;
}

TEST_P(ReadyPlugin, ScanShowsAnInformationBoxAndFindsNothing) {
  EXPECT_TRUE(api().ScanDevices().empty());
  EXPECT_TRUE(OneFailedBox("No scanning for emulated devices supported.", kInformationBox));
  EXPECT_EQ(plugin_->Add(), 1);
}

TEST_P(ReadyPlugin, SettingsDialogReceivesEveryArgument) {
  const DeviceId id = plugin_->Add(7, 9);
  dialogs_->AnswerSettings(GetParam(), 1, false, 0);
  api().ShowSettings(id);
  ASSERT_EQ(dialogs_->SettingsCalls(GetParam()), 1);
  const SettingsCall call = dialogs_->LastSettingsCall(GetParam());
  EXPECT_STREQ(call.longName, GetParam().longName);
  EXPECT_STREQ(call.shortName, GetParam().shortName);
  EXPECT_EQ(call.fileName, GetParam().fileName());
  EXPECT_EQ(call.versionMajor, GetParam().versionMajor);
  EXPECT_EQ(call.versionMinor, GetParam().versionMinor);
  EXPECT_EQ(call.hasValues, 0);
  EXPECT_EQ(call.commSetting1, 7);
  EXPECT_EQ(call.commSetting2, 9);
  EXPECT_EQ(call.minusOne, -1);
  EXPECT_EQ(call.listWasEmpty, 1);
  EXPECT_EQ(call.intervalOnEntry, 10);
  if (GetParam().channelNames()) {
    EXPECT_STREQ(call.channelName1, "Channel 1");
    EXPECT_STREQ(call.channelName2, "Channel 2");
    EXPECT_EQ(dialogs_->confCalls(), 0);
  } else {
    EXPECT_EQ(dialogs_->dtCalls(), 0);
  }
  // Any known value counts; a written nominal makes one known without a tick.
  api().SetValue(id, 1, 6.0f);
  api().ShowSettings(id);
  EXPECT_EQ(dialogs_->LastSettingsCall(GetParam()).hasValues, 1);
}

TEST_P(ReadyPlugin, IntervalLeftByTheDialogReachesTheDeviceWhateverItAnswers) {
  const DeviceId id = plugin_->Add();
  const struct {
    std::int32_t result;
    std::int32_t interval;
  } answers[] = {{1, 3}, {0, 0}, {1, -2}, {0, 2147483647}};
  for (const auto& answer : answers) {
    dialogs_->AnswerSettings(GetParam(), answer.result, true, answer.interval);
    api().ShowSettings(id);
    EXPECT_EQ(plugin_->Save(id).interval, answer.interval) << "result " << answer.result;
  }
  dialogs_->AnswerSettings(GetParam(), 1, false, 0);
  api().ShowSettings(id);
  EXPECT_EQ(dialogs_->LastSettingsCall(GetParam()).intervalOnEntry, 2147483647);
}

class IntegrationTwoTemp : public PluginTest {
 protected:
  const PluginModel& model() const override { return kModels[kTwoTemp]; }

  std::vector<std::string> DescriptorNames(DeviceId id) {
    std::vector<std::string> names;
    for (const ChannelDescriptor& d : api().GetChannelDescriptors(id)) names.push_back(d.name);
    return names;
  }
};

std::vector<std::string> ComposedNames(const std::string& name1, const std::string& name2) {
  return {name1 + " Temp", name1 + " Nominal", name1 + " Heating",
          name2 + " Temp", name2 + " Nominal", name2 + " Heating"};
}

TEST_F(IntegrationTwoTemp, EditedChannelNamesAreTakenOnlyWhenTheDialogAccepts) {
  const DeviceId id = plugin_->Add();
  dialogs_->AnswerSettings(model(), 0, false, 0, "Left", "Right");
  api().ShowSettings(id);
  EXPECT_EQ(DescriptorNames(id), ComposedNames("Channel 1", "Channel 2"));

  dialogs_->AnswerSettings(model(), 1, false, 0, "Left", "Right");
  api().ShowSettings(id);
  EXPECT_EQ(DescriptorNames(id), ComposedNames("Left", "Right"));
  const std::string path = TempPath("renamed.txt");
  api().ExportHistory(id, path, '\t', '.');
  const std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Second\tLeft_Temp\tLeft_Nominal\tLeft_Heating\tRight_Temp\tRight_Nominal\tRight_"
            "Heating");
  const DeviceImageData saved = plugin_->Save(id);
  EXPECT_EQ(saved.channelName1, "Left");
  EXPECT_EQ(saved.channelName2, "Right");
}

TEST_F(IntegrationTwoTemp, LongRestoredNameReachesTheDialogCutButStaysWhole) {
  const std::string longName = "Twenty characters!!!";
  DeviceImageData image = plugin_->Save(plugin_->Add());
  image.channelName1 = longName;
  image.channelName2 = "";
  const DeviceId id = plugin_->Restore(EncodeImage(image));
  ASSERT_NE(id, 0);
  EXPECT_EQ(DescriptorNames(id), ComposedNames(longName, ""));

  dialogs_->AnswerSettings(model(), 0, false, 0);
  api().ShowSettings(id);
  const SettingsCall call = dialogs_->LastSettingsCall(model());
  EXPECT_EQ(std::string(call.channelName1), longName.substr(0, 15));
  EXPECT_STREQ(call.channelName2, "");
  EXPECT_EQ(DescriptorNames(id), ComposedNames(longName, ""));
  EXPECT_EQ(plugin_->Save(id).channelName1, longName);

  // Accepting takes over what the buffers hold: the cut name.
  dialogs_->AnswerSettings(model(), 1, false, 0);
  api().ShowSettings(id);
  EXPECT_EQ(DescriptorNames(id), ComposedNames(longName.substr(0, 15), ""));
}

}  // namespace
}  // namespace orv::it
