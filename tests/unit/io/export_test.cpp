// The history export: text helpers, line formats and the written file.
#include "framework/io/export.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/driver.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

constexpr std::uint64_t kT0 = 133000000000000000ull;
constexpr std::int64_t kSecond = 10000000;
constexpr float kInf = std::numeric_limits<float>::infinity();

#if defined(_WIN32)
const char* const kLineEnd = "\r\n";
#else
const char* const kLineEnd = "\n";
#endif

Sample MakeSample(std::uint64_t timestamp, std::vector<float> values) {
  Sample s;
  s.timestamp = timestamp;
  for (std::size_t i = 0; i < values.size(); ++i) s.values[i] = values[i];
  return s;
}

std::string StreamText(float value) {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream << static_cast<double>(value);
  return stream.str();
}

std::string ReadBinary(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Text lines joined with the platform's line end, as text mode writes them.
std::string FileText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + kLineEnd;
  return text;
}

TEST(ExportText, ReplaceAllNeverSearchesInsertedText) {
  const struct {
    const char *text, *needle, *replacement, *expected;
  } cases[] = {{"a.b.c", ".", ",", "a,b,c"},
               {"aaa", "a", "aa", "aaaaaa"},
               {"xx", "x", "xyx", "xyxxyx"},
               {"", ".", ",", ""},
               {"abc", "x", "y", "abc"},
               {"a  b", " ", "_", "a__b"},
               {"abab", "ab", "", ""},
               {"aaaa", "aa", "b", "bb"},
               {"aaa", "aa", "a", "aa"},
               {"1.5e-05", ".", ".", "1.5e-05"},
               {"tab\there", "\t", "_", "tab_here"}};
  for (const auto& c : cases) {
    std::string text = c.text;
    ReplaceAll(text, c.needle, c.replacement);
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

TEST(ExportText, AppendValueWritesTheWorkedExamples) {
  const struct {
    float value;
    const char* text;
  } cases[] = {{37.0f, "37"},
               {36.95f, "36.95"},
               {0.1f, "0.1"},
               {5.0f, "5"},
               {1e-5f, "1e-05"},
               {123456.0f, "123456"},
               {1234567.0f, "1.23457e+06"},
               {-0.0f, "-0"},
               {kInf, "inf"},
               {-kInf, "-inf"},
               {0.0001f, "0.0001"}};
  for (const auto& c : cases) {
    std::string line = "x;";
    AppendValue(line, c.value);
    EXPECT_EQ(line, std::string("x;") + c.text);
  }
}

TEST(ExportText, AppendValueMatchesAClassicLocaleStream) {
  std::vector<float> values = {
      37.0f,          36.95f,          36.95000076f,  37.04999924f,   0.1f,
      0.15f,          4.999999f,       4.0999966f,    18.950275f,     0.63f,
      0.78f,          1e-5f,           1.5e-5f,       9.9999997e-5f,  0.0001f,
      0.00012345678f, 123456.0f,       999999.0f,     999999.5f,      1e6f,
      1234567.0f,     2147483648.0f,   1.0f / 3.0f,   -1.5f,          -123456.7f,
      0.0f,           -0.0f,           kInf,          -kInf,          1e-45f,
      1e-40f,         1.17549435e-38f, 3.4028235e38f, -3.4028235e38f, 0.5f,
      100000.0f,      99999.95f,       9.9999995f};
  // And a spread over every exponent: a prime stride through the bit patterns.
  for (std::uint64_t bits = 0; bits < 0x100000000ull; bits += 1000003ull) {
    const float v = FloatFromBits(static_cast<std::uint32_t>(bits));
    if (!IsInvalid(v)) values.push_back(v);
  }
  for (float v : values) {
    std::string line;
    AppendValue(line, v);
    ASSERT_EQ(line, StreamText(v)) << std::hex << FloatBits(v);
  }
}

TEST(ExportText, HeaderTurnsSpacesAndTabsIntoUnderscores) {
  std::vector<ChannelDescriptor> descriptors(3);
  descriptors[0].name = "CO2 Nominal";
  descriptors[1].name = "a\tb c ";
  descriptors[2].name = "x.y";
  EXPECT_EQ(HeaderLine(descriptors, ';'), "Second;CO2_Nominal;a_b_c_;x.y\n");
  EXPECT_EQ(HeaderLine({}, ';'), "Second\n");
}

TEST(ExportText, HeadersOfTheThreeModels) {
  testing::VirtualRuntime runtime;
  const struct {
    const ModelDescription& model;
    char separator;
    const char* header;
  } cases[] = {{co2::kModel, '\t', "Second\tCO2\tCO2_Nominal\tCO2_Regulator\tPump_Level\n"},
               {climate::kModel, ';',
                "Second;CO2;CO2_Nominal;CO2_Regulator;Ventilation_Level;Heating_Level;Overheat\n"},
               {twotemp::kModel, ',',
                "Second,Channel_1_Temp,Channel_1_Nominal,Channel_1_Heating,Channel_2_Temp,"
                "Channel_2_Nominal,Channel_2_Heating\n"}};
  for (const auto& c : cases) {
    Driver driver(c.model, runtime);
    const DeviceId id = driver.Register(driver.NewDevice());
    EXPECT_EQ(HeaderLine(driver.GetChannelDescriptors(id), c.separator), c.header);
  }
}

TEST(ExportText, DataLines) {
  const float kNaN = MakeInvalid();
  const struct {
    std::int64_t sinceFirst;  // 100 ns units
    std::vector<float> values;
    char separator, decimalPoint;
    const char* line;
  } cases[] = {
      {0, {5.0f, 5.0f, 1.0f, 1.0f}, ';', '.', "0;5;5;1;1\n"},
      {11 * kSecond, {36.95f, 37.0f, 1.0f, 0.1f}, ';', ',', "11;36,95;37;1;0,1\n"},
      {22 * kSecond, {36.95f, 37.0f, 1.0f, 0.1f}, '\t', '.', "22\t36.95\t37\t1\t0.1\n"},
      {109 * kSecond / 10, {1e-5f, 1234567.0f, 1.0f, 1.0f}, ';', ',', "10;1e-05;1,23457e+06;1;1\n"},
      {0, {5.0f, 5.0f, kNaN, 1.0f}, ';', '.', "0;5;5;;1\n"},
      {0, {kNaN, kNaN, kNaN, kNaN}, ',', ',', "0,,,,\n"},
      {-5 * kSecond, {5.0f, 5.0f, 1.0f, 1.0f}, ';', '.', "-5;5;5;1;1\n"},
      {-55 * kSecond / 10, {5.0f, 5.0f, 1.0f, 1.0f}, ';', '.', "-5;5;5;1;1\n"},
      {-kSecond / 2, {5.0f, 5.0f, 1.0f, 1.0f}, ';', '.', "0;5;5;1;1\n"},
      {4294967295ll * kSecond, {1.0f, 1.0f, 1.0f, 1.0f}, ';', '.', "4294967295;1;1;1;1\n"},
      {4294967299ll * kSecond, {1.0f, 1.0f, 1.0f, 1.0f}, ';', '.', "3;1;1;1;1\n"}  // low 32 bits
  };
  for (const auto& c : cases) {
    const Sample s = MakeSample(kT0 + static_cast<std::uint64_t>(c.sinceFirst), c.values);
    std::string line = "stale";
    DataLine(line, s, kT0, 4, c.separator, c.decimalPoint);
    EXPECT_EQ(line, c.line);
  }
  std::string six;
  DataLine(six, MakeSample(kT0, {36.95f, 37.0f, 1.0f, 36.95f, 37.0f, 0.0f}), kT0, 6, ';', ',');
  EXPECT_EQ(six, "0;36,95;37;1;36,95;37;0\n");
}

class ExportFileTest : public ::testing::Test {
 protected:
  std::string PathFor(const char* name) {
    const std::string path = ::testing::TempDir() + "orv_export_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                             name;
    paths_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& path : paths_) std::remove(path.c_str());
  }
  testing::VirtualRuntime runtime_;

 private:
  std::vector<std::string> paths_;
};

TEST_F(ExportFileTest, WritesHeaderAndOneLinePerSample) {
  Driver driver(co2::kModel, runtime_);
  std::shared_ptr<EmuDevice> device = driver.NewDevice();
  const DeviceId id = driver.Register(device);
  device->history.samples = {MakeSample(kT0, {5.0f, 5.0f, 1.0f, 1.0f}),
                             MakeSample(kT0 + 11 * kSecond, {5.1f, 5.0f, MakeInvalid(), 2.0f}),
                             MakeSample(kT0 + 22 * kSecond, {36.95f, 1e-5f, 0.0f, -1.0f})};
  const std::string path = PathFor("semicolon.txt");
  ExportHistory(runtime_, *device, driver.GetChannelDescriptors(id), path, ';', ',');
  EXPECT_EQ(ReadBinary(path), FileText({"Second;CO2;CO2_Nominal;CO2_Regulator;Pump_Level",
                                        "0;5;5;1;1", "11;5,1;5;;2", "22;36,95;1e-05;0;-1"}));
  EXPECT_TRUE(runtime_.messages().empty());
  EXPECT_EQ(device->history.samples.size(), 3u);
}

TEST_F(ExportFileTest, LongHistoriesMatchAStreamWrittenLineByLine) {
  // Over 1 MiB of text; values that repeat, values that differ every time,
  // and values whose texts share a place in the export's memory of texts.
  const float pool[] = {5.0f,   37.0f, 36.95f, 0.1f,  1e-5f,  1e6f,          -0.0f,
                        -1.25f, kInf,  -kInf,  3e38f, 1e-40f, MakeInvalid(), 123456.5f};
  std::vector<Sample> samples;
  for (int j = 0; j < 30000; ++j) {
    // Sample 100 was taken after the clock was set back 30 s.
    const std::int64_t at = (j == 100 ? -30 : j) * kSecond + (j % 7) * 1000;
    Sample s = MakeSample(kT0 + static_cast<std::uint64_t>(at), {});
    for (int i = 0; i < 6; ++i) {
      s.values[i] = i < 3 ? pool[(j * (i + 3)) % 14] : FloatFromBits(0x3F800000u + 1024u * j + i);
    }
    samples.push_back(s);
  }
  const struct { char separator, decimalPoint; } cases[] = {{';', ','}, {'\t', '.'}, {'.', ','}};
  for (const auto& c : cases) {
    Driver driver(climate::kModel, runtime_);
    std::shared_ptr<EmuDevice> device = driver.NewDevice();
    const DeviceId id = driver.Register(device);
    device->history.samples = samples;
    const auto descriptors = driver.GetChannelDescriptors(id);
    std::vector<std::string> lines = {HeaderLine(descriptors, c.separator)};
    lines[0].pop_back();
    for (const Sample& s : samples) {
      std::ostringstream line;
      const std::int64_t seconds = static_cast<std::int64_t>(s.timestamp - kT0) / kSecond;
      line << seconds;
      for (int i = 0; i < 6; ++i) {
        line << c.separator;
        if (!IsInvalid(s.values[i])) line << StreamText(s.values[i]);
      }
      std::string text = line.str();
      ReplaceAll(text, ".", std::string(1, c.decimalPoint));
      lines.push_back(text);
    }
    const std::string path = PathFor("long.txt");
    ExportHistory(runtime_, *device, descriptors, path, c.separator, c.decimalPoint);
    EXPECT_TRUE(ReadBinary(path) == FileText(lines)) << c.separator << c.decimalPoint;
  }
}

TEST_F(ExportFileTest, EmptyHistoryGivesOnlyTheHeaderAndReplacesOldContent) {
  Driver driver(climate::kModel, runtime_);
  std::shared_ptr<EmuDevice> device = driver.NewDevice();
  const DeviceId id = driver.Register(device);
  const std::string path = PathFor("empty.txt");
  std::ofstream(path, std::ios::binary) << std::string(500, 'z');
  ExportHistory(runtime_, *device, driver.GetChannelDescriptors(id), path, '\t', '.');
  EXPECT_EQ(ReadBinary(path),
            FileText({"Second\tCO2\tCO2_Nominal\tCO2_Regulator\tVentilation_Level\tHeating_Level\t"
                      "Overheat"}));
}

TEST_F(ExportFileTest, ChannelNamesShapeTheHeaderWhichKeepsItsFullStops) {
  Driver driver(twotemp::kModel, runtime_);
  std::shared_ptr<EmuDevice> device = driver.NewDevice();
  const DeviceId id = driver.Register(device);
  SetChannelNames(*device, "Ch.1", "Right side");
  device->history.samples = {MakeSample(kT0, {36.95f, 37.0f, 1.0f, 36.95f, 37.0f, 1.0f})};
  const std::string path = PathFor("names.txt");
  ExportHistory(runtime_, *device, driver.GetChannelDescriptors(id), path, ';', ',');
  EXPECT_EQ(ReadBinary(path),
            FileText({"Second;Ch.1_Temp;Ch.1_Nominal;Ch.1_Heating;Right_side_Temp;"
                      "Right_side_Nominal;Right_side_Heating",
                      "0;36,95;37;1;36,95;37;1"}));
}

TEST_F(ExportFileTest, MissingFolderShowsMessageAndCreatesNothing) {
  Driver driver(co2::kModel, runtime_);
  std::shared_ptr<EmuDevice> device = driver.NewDevice();
  const DeviceId id = driver.Register(device);
  device->history.samples = {MakeSample(kT0, {5.0f, 5.0f, 1.0f, 1.0f})};
  const std::string folder = PathFor("no_such_folder");
  ExportHistory(runtime_, *device, driver.GetChannelDescriptors(id), folder + "/out.txt", ';', '.');
  const std::vector<testing::RecordedMessage> messages = runtime_.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Could not open file.");
  EXPECT_EQ(messages[0].caption, "Failed");
  EXPECT_EQ(messages[0].flags, 0x2010u);
  EXPECT_FALSE(std::ifstream(folder).good());
  EXPECT_FALSE(std::ifstream(folder + "/out.txt").good());
  EXPECT_EQ(device->history.samples.size(), 1u);
}

}  // namespace
}  // namespace orv
