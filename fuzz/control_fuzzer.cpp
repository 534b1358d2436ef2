// Fuzzes the control endpoint's request-to-event decoder of all three models:
// the first input byte picks the model, the rest is a request body. Any body
// must end in an event or a refusal with a reason, and an accepted event must
// hold only what the scenario reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "framework/control/event_requests.h"
#include "framework/scenario/scenario.h"
#include "framework/scenario/scenario_player.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const orv::ModelDescription* const models[] = {&orv::co2::kModel, &orv::twotemp::kModel,
                                                        &orv::climate::kModel};
  const orv::ModelDescription& model = *models[data[0] % 3];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
  if (body.is_discarded()) return 0;  // the endpoint answers 400 before the decoder
  const orv::EventRequest request = orv::DecodeEventRequest(body, model);
  if (!request.ok) {
    if (request.reason.empty()) std::abort();
    return 0;
  }
  const orv::ScenarioEvent& event = request.event;
  if (event.index < 0 || event.index >= model.valueCount) std::abort();
  if (event.at < 0 || event.duration < 0) std::abort();
  if (request.relative && event.at != 0) std::abort();
  if (event.action != orv::ScenarioAction::kSet && event.duration == 0) std::abort();
  if (event.note.size() > orv::kMaxScenarioNote) std::abort();
  if (!event.allDevices && (event.devices.empty() || event.devices.size() > 64)) std::abort();
  if (orv::ScenarioEventText(model, 1, event.at, event).empty()) std::abort();
  return 0;
}
