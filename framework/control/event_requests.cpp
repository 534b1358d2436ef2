#include "framework/control/event_requests.h"

#include <cstdint>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>

namespace orv {
namespace {

using nlohmann::json;

// A fault of the JSON itself, beyond what a scenario file could hold.
struct NotConvertible {
  std::string reason;
};

int Depth(const json& value, int depth) {
  if (depth > kMaxRequestNesting) return depth;
  int deepest = depth;
  if (value.is_object() || value.is_array()) {
    for (const json& item : value) deepest = std::max(deepest, Depth(item, depth + 1));
  }
  return deepest;
}

ScenarioValue Convert(const json& value, const std::string& key) {
  switch (value.type()) {
    case json::value_t::object: {
      ScenarioTable table;
      for (const auto& [name, item] : value.items()) table.emplace(name, Convert(item, name));
      return ScenarioValue(std::move(table));
    }
    case json::value_t::array: {
      ScenarioValue::array_type list;
      for (const json& item : value) list.push_back(Convert(item, key));
      return ScenarioValue(std::move(list));
    }
    // Read as stored, never converted: on 32-bit x86 nlohmann-json's
    // conversions to double would take the x87 unit, which the plug-ins keep
    // out of their code (tools/test_i386.sh).
    case json::value_t::number_integer:
      return ScenarioValue(*value.get_ptr<const json::number_integer_t*>());
    case json::value_t::number_unsigned: {
      const std::uint64_t number = *value.get_ptr<const json::number_unsigned_t*>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw NotConvertible{"`" + key + "` is beyond the range of a number"};
      }
      return ScenarioValue(static_cast<std::int64_t>(number));
    }
    case json::value_t::number_float:
      return ScenarioValue(*value.get_ptr<const json::number_float_t*>());
    case json::value_t::string:
      return ScenarioValue(*value.get_ptr<const json::string_t*>());
    case json::value_t::boolean:
      return ScenarioValue(*value.get_ptr<const json::boolean_t*>());
    case json::value_t::null:
      throw NotConvertible{"`" + key + "` must not be null"};
    case json::value_t::binary:
    case json::value_t::discarded:
      break;
  }
  throw NotConvertible{"`" + key + "` holds no JSON value"};
}

}  // namespace

bool ToScenarioValue(const json& value, ScenarioValue& out, std::string& reason) {
  try {
    if (Depth(value, 1) > kMaxRequestNesting) {
      reason = "the body nests deeper than " + std::to_string(kMaxRequestNesting) + " levels";
      return false;
    }
    out = Convert(value, "event");
    return true;
  } catch (const NotConvertible& fault) {
    reason = fault.reason;
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
  } catch (const std::exception& e) {
    reason = e.what();
  }
  return false;
}

EventRequest DecodeEventRequest(const json& body, const ModelDescription& model,
                                const ScenarioContext& context) {
  EventRequest request;
  try {
    if (!body.is_object()) {
      request.reason = "the event must be a JSON object";
      return request;
    }
    // "now" is the one value of `at` a file has no use for: the event then
    // counts from the tick that takes it in, so the decoder sees second 0.
    const auto at = body.find("at");
    const bool now =
        at != body.end() && at->is_string() && *at->get_ptr<const json::string_t*>() == "now";
    ScenarioValue table;
    if (now) {
      json copy = body;
      copy["at"] = 0;
      if (!ToScenarioValue(copy, table, request.reason)) return request;
    } else if (!ToScenarioValue(body, table, request.reason)) {
      return request;
    }
    EventDecode decode = DecodeEvent(table, model, context);
    if (!decode.ok) {
      request.reason = std::move(decode.reason);
      return request;
    }
    request.ok = true;
    request.event = std::move(decode.event);
    request.event.line = 0;
    request.relative = now;
  } catch (const std::bad_alloc&) {
    request.reason = "out of memory";
  } catch (const std::exception& e) {
    request.reason = e.what();
  }
  return request;
}

}  // namespace orv
