// A save that the table cannot make whole, through oversized_sim
// (tests/plugins/), whose histories reach past the largest image without the
// memory: whatever the host's array held, it comes back empty, the log gets
// one line saying why, and the device goes on as it was.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

PluginModel OversizedModel() {
  PluginModel model = kModels[kGasctl];
  model.name = "oversized_sim";
  return model;
}

// The line the plug-in logs for device 1: an image of a 32-bit process stops
// at the largest array (2^31 - 1 bytes), one of a 64-bit process at the
// largest its 32-bit length field says.
std::string ExpectedLine(const PluginModel& model) {
  const bool narrow = sizeof(void*) == 4;
  const std::uint64_t largest = narrow ? 0x7FFFFFFFu : 0xFFFFFFFFu;
  const std::uint64_t entry = SampleRecordSize(static_cast<std::size_t>(model.n));
  // Length, file name, versions, settings, interval, display settings, count.
  const std::uint64_t head = 4 + 4 + model.fileName().size() + 5 * 4 + 16 * model.n + 4;
  const std::uint64_t bytes = head + (largest / entry + 1) * entry;
  return "Device 1: not saved: the image would be " + std::to_string(bytes) +
         (narrow ? " bytes, more than this process can hold in one array (2147483647).\n"
                 : " bytes, more than its length field holds (4294967295).\n");
}

std::vector<std::string> SaveLines() {
  std::vector<std::string> lines;
  for (const std::string& line : LogLines()) {
    if (line.find("saved") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

class OversizedSave : public PluginTest {
 protected:
  const PluginModel& model() const override {
    static const PluginModel oversized = OversizedModel();
    return oversized;
  }
};

TEST_F(OversizedSave, TheHostsArrayComesBackEmptyAndTheLogSaysWhy) {
  const DeviceId id = plugin_->Add(3, 4);
  ASSERT_EQ(id, 1);
  api().SetValue(id, 1, 6.5f);

  const struct {
    const char* what;
    ByteArray before;
  } cases[] = {
      {"an empty array", {}},
      {"another device's image", ByteArray(4911, 0x11)},
      {"a few bytes", ByteArray{1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearLog();
    ByteArray image = c.before;
    api().SaveDevice(id, image);
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.capacity(), 0u) << "the old bytes are let go of";
    EXPECT_EQ(SaveLines(), std::vector<std::string>{ExpectedLine(model())});
  }
  // Nothing else changed: the device answers as before.
  EXPECT_EQ(Bits(api().GetValue(id, 1)), Bits(6.5f));
  EXPECT_TRUE(api().HasHistory(id));
  ByteArray record;
  api().GetSampleAt(id, 0.0, record);
  EXPECT_EQ(record.size(), SampleRecordSize(4));
}

}  // namespace
}  // namespace orv::it
