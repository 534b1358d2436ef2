// The one decoder of a scenario event: a table of keys as a scenario file's
// [[event]] holds it, in toml11's value type. Scenario files go through it
// event by event; the control endpoint turns a request's JSON into the same
// table, so that both doors accept and refuse the same events with the same
// messages.
#ifndef ORV_FRAMEWORK_SCENARIO_EVENT_DECODER_H
#define ORV_FRAMEWORK_SCENARIO_EVENT_DECODER_H

#include <map>
#include <string>
#include <vector>

#include "framework/core/model.h"
#include "framework/scenario/scenario.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wshadow"
#endif
#include <toml.hpp>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace orv {

// Keys in sorted order, so that the first fault reported in a table is the
// same on every platform.
using ScenarioValue = toml::basic_value<toml::discard_comments, std::map, std::vector>;
using ScenarioTable = ScenarioValue::table_type;

struct EventDecode {
  bool ok = false;
  ScenarioEvent event;
  std::string reason;  // when refused: the same text a scenario file's refusal gives
};

// Checks one event table against the model it will drive, exactly as
// ParseScenario checks each [[event]] of a file in context (a replay's file
// resolves against its folder and takes from its recordings' budget). An
// event whose `driver` names another plug-in is refused. Never throws.
EventDecode DecodeEvent(const ScenarioValue& entry, const ModelDescription& model,
                        const ScenarioContext& context = {});

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_EVENT_DECODER_H
