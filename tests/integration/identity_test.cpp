// The export, Init and Shutdown, the driver identity and the descriptor lists.
#include <cstring>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

using SlotBits = std::uintptr_t;
constexpr int kSlots = 26;
static_assert(sizeof(DriverFunctionTable) == kSlots * sizeof(SlotBits), "one word per slot");

std::vector<SlotBits> FilledSlots(GetOrvDeviceDriverAPIFn entry, unsigned char prefill) {
  DriverFunctionTable table;
  std::memset(static_cast<void*>(&table), prefill, sizeof table);
  entry(&table);
  std::vector<SlotBits> slots(kSlots);
  std::memcpy(slots.data(), &table, sizeof table);
  return slots;
}

TEST_P(LoadedPlugin, ExportOverwritesEverySlotAndGivesTheSameTableTwice) {
  SlotBits prefill;
  std::memset(&prefill, 0xAB, sizeof prefill);
  const std::vector<SlotBits> first = FilledSlots(plugin_->entry(), 0xAB);
  for (int slot = 0; slot < kSlots; ++slot) {
    EXPECT_NE(first[slot], 0u) << "slot " << slot;
    EXPECT_NE(first[slot], prefill) << "slot " << slot;
  }
  EXPECT_EQ(FilledSlots(plugin_->entry(), 0xCD), first);
}

TEST_P(LoadedPlugin, DriverInfoBeforeInitReplacesEveryFieldAndHasNoFileName) {
  DriverInfo info{"previous long name", "previous short", "previous.file", 7, 9};
  api().GetDriverInfo(info);
  EXPECT_EQ(info.longName, GetParam().longName);
  EXPECT_EQ(info.shortName, GetParam().shortName);
  EXPECT_EQ(info.fileName, "");
  EXPECT_EQ(info.versionMajor, GetParam().versionMajor);
  EXPECT_EQ(info.versionMinor, GetParam().versionMinor);
}

TEST_P(LoadedPlugin, InitRecordsFileNameAndWorksAgainAfterShutdown) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(plugin_->Init(), 1);
    DriverInfo info;
    api().GetDriverInfo(info);
    EXPECT_EQ(info.fileName, GetParam().fileName());
    EXPECT_EQ(info.longName, GetParam().longName);
    // The add dialog is bound again after each Init.
    const std::int32_t callsBefore = dialogs_->pickCalls();
    EXPECT_EQ(plugin_->Add(), round + 1);
    EXPECT_EQ(dialogs_->pickCalls(), callsBefore + 1);
    EXPECT_EQ(api().Shutdown(), 1);
    api().GetDriverInfo(info);
    EXPECT_EQ(info.fileName, GetParam().fileName()) << "Shutdown leaves the identity alone";
  }
}

TEST_P(ReadyPlugin, ChannelDescriptorsListTheModelsChannelsInIndexOrder) {
  const DeviceId id = plugin_->Add();
  for (int call = 0; call < 2; ++call) {
    std::vector<ChannelDescriptor> list = api().GetChannelDescriptors(id);
    ASSERT_EQ(list.size(), static_cast<std::size_t>(GetParam().n));
    for (int i = 0; i < GetParam().n; ++i) {
      SCOPED_TRACE(i);
      const ChannelRow& row = GetParam().channels[i];
      EXPECT_EQ(list[i].kind, row.kind);
      EXPECT_EQ(list[i].name, row.name);
      EXPECT_EQ(list[i].settable, row.settable);
      EXPECT_EQ(list[i].axisIndex, row.axisIndex);
      EXPECT_EQ(Bits(list[i].minimum), Bits(row.minimum));
      EXPECT_EQ(Bits(list[i].maximum), Bits(row.maximum));
    }
    list[0].name = "changed by the host";  // a copy: the next call is unaffected
  }
}

TEST_P(ReadyPlugin, AxisDescriptorsListLevelAxisThenValueAxis) {
  const std::vector<AxisDescriptor> list = api().GetAxisDescriptors();
  ASSERT_EQ(list.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const AxisRow& row = GetParam().axes[i];
    EXPECT_EQ(list[i].label, row.label);
    EXPECT_EQ(list[i].unit, row.unit);  // twotemp: '[', 0xB0, 'C', ']'
    EXPECT_EQ(DoubleBits(list[i].minimum), DoubleBits(row.minimum));
    EXPECT_EQ(DoubleBits(list[i].maximum), DoubleBits(row.maximum));
    EXPECT_EQ(DoubleBits(list[i].step), DoubleBits(row.step));
    EXPECT_EQ(Bits(list[i].red), Bits(row.red));
    EXPECT_EQ(Bits(list[i].green), Bits(row.green));
    EXPECT_EQ(Bits(list[i].blue), Bits(row.blue));
  }
}

INSTANTIATE_TEST_SUITE_P(Integration, LoadedPlugin, ::testing::ValuesIn(kModels), ModelTestName);
INSTANTIATE_TEST_SUITE_P(Integration, ReadyPlugin, ::testing::ValuesIn(kModels), ModelTestName);

}  // namespace
}  // namespace orv::it
