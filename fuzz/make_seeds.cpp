// Writes a seed corpus of valid images of all three layouts into a folder:
// empty and recorded histories, renamed channels, NaN values, and images
// placed at a nonzero offset.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "framework/core/values.h"
#include "framework/devices/driver.h"
#include "framework/io/image.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/quiet_runtime.h"

namespace {

bool WriteSeed(const std::string& path, std::uint8_t offset, const ByteArray& image) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fputc(offset, f);
  for (std::uint8_t i = 0; i < offset; ++i) std::fputc(0xA5, f);
  std::fwrite(image.data(), 1, image.size(), f);
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  orv::testing::QuietRuntime runtime;
  const orv::ModelDescription* models[] = {&orv::co2::kModel, &orv::twotemp::kModel,
                                           &orv::climate::kModel};
  int written = 0;
  for (const orv::ModelDescription* model : models) {
    orv::Driver driver(*model, runtime);
    for (int samples : {0, 1, 3}) {
      std::shared_ptr<orv::EmuDevice> device = driver.NewDevice();
      device->commSetting1 = 3;
      device->commSetting2 = 9600;
      device->interval.store(samples);
      if (samples == 3) orv::SetChannelNames(*device, "Left", "");
      for (int s = 0; s < samples; ++s) {
        orv::Sample sample;
        sample.timestamp = 133000000000000000ULL + 110000000ULL * s;
        for (int i = 0; i < model->valueCount; ++i) {
          sample.values[i] = s == 1 && i == 2 ? orv::MakeInvalid() : 1.5f * i + s;
        }
        orv::AppendSample(device->history, sample);
      }
      const DeviceId id = driver.Register(device);
      ByteArray image;
      orv::SaveDevice(driver, *driver.FindDevice(id), image);
      const std::string base = dir + "/" + model->settingsEntry + "_" + std::to_string(samples);
      written += WriteSeed(base + ".img", 0, image) ? 1 : 0;
      written += WriteSeed(base + "_at5.img", 5, image) ? 1 : 0;
      driver.RemoveDevice(id);
    }
  }
  std::printf("%d seeds written to %s\n", written, dir.c_str());
  return written == 18 ? 0 : 1;
}
