// A request's event in JSON, decoded by the scenario reader's own decoder:
// the JSON is turned into the table a scenario file's [[event]] gives
// (objects as tables, arrays, integers, floats, strings and booleans as they
// are), so the same keys are accepted and the same faults refused with the
// same messages. "at" may also be "now": the event then counts from the tick
// that takes it in.
#ifndef ORV_FRAMEWORK_CONTROL_EVENT_REQUESTS_H
#define ORV_FRAMEWORK_CONTROL_EVENT_REQUESTS_H

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "framework/core/model.h"
#include "framework/scenario/event_decoder.h"
#include "framework/scenario/scenario.h"

namespace orv {

// Objects and arrays nested deeper than this are refused before anything is
// converted, as a scenario file's brackets are.
inline constexpr int kMaxRequestNesting = 8;

struct EventRequest {
  bool ok = false;
  ScenarioEvent event;
  bool relative = false;  // "at": "now"
  std::string reason;     // when refused
};

// context: which plug-in the event is for, where a replay's relative file
// lies, and what its recording may take. Never throws.
EventRequest DecodeEventRequest(const nlohmann::json& body, const ModelDescription& model,
                                const ScenarioContext& context = {});

// The JSON value as the scenario reader's value: false with reason when it
// nests too deeply, or holds a null or a number beyond 64-bit integers.
bool ToScenarioValue(const nlohmann::json& json, ScenarioValue& out, std::string& reason);

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_EVENT_REQUESTS_H
