// Fuzzes the scenario reader of all three models. The first input byte picks
// the model; the rest is the file. Any input must end in an answer, and an
// accepted scenario must hold only what the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "framework/core/values.h"
#include "framework/scenario/scenario.h"
#include "framework/scenario/scenario_player.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const orv::ModelDescription* const models[] = {&orv::co2::kModel, &orv::twotemp::kModel,
                                                        &orv::climate::kModel};
  static const char* const files[] = {"gasctl_sim", "twotemp_sim", "climate_sim"};
  const orv::ModelDescription& model = *models[data[0] % 3];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  // As the plug-in of that model reads it: the examples name their driver.
  orv::ScenarioContext context;
  context.driverFile = files[data[0] % 3];
  const orv::ScenarioParse parse = orv::ParseScenario(text, model, context);
  if (!parse.ok) {
    if (parse.reason.empty()) std::abort();
    return 0;
  }
  if ((parse.scenario.events.empty() && !parse.scenario.namesDrivers) ||
      parse.scenario.events.size() > orv::kMaxScenarioEvents) {
    std::abort();
  }
  for (const orv::ScenarioEvent& event : parse.scenario.events) {
    if (event.index < 0 || event.index >= model.valueCount) std::abort();
    if (event.at < 0 || event.duration < 0) std::abort();
    if (event.action != orv::ScenarioAction::kSet && event.duration == 0) std::abort();
    if (event.note.size() > orv::kMaxScenarioNote) std::abort();
    if (!event.allDevices && (event.devices.empty() || event.devices.size() > 64)) std::abort();
    // The log line formats whatever was accepted.
    if (orv::ScenarioEventText(model, 1, event.at, event).empty()) std::abort();
  }
  return 0;
}
