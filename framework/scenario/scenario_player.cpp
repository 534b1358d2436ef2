#include "framework/scenario/scenario_player.h"

#include <algorithm>
#include <charconv>
#include <new>

#include "framework/core/values.h"
#include "framework/scenario/replay_recording.h"

namespace orv {
namespace {

std::string FormatValue(float value) {
  if (IsInvalid(value)) return "invalid";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return result.ec == std::errc{} ? std::string(buffer, result.ptr) : std::string("?");
}

// Whole seconds, with the fraction only where there is one.
std::string FormatSeconds(std::int64_t ticks) {
  std::string text = std::to_string(ticks / kTicksPerSecond);
  std::int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) rest = -rest;
  if (rest != 0) {
    std::string digits = std::to_string(rest + kTicksPerSecond).substr(1);
    digits.erase(digits.find_last_not_of('0') + 1);
    text += "." + digits;
  }
  return text;
}

// "replay night.csv on 0 (CO2), 1 (CO2 Nominal) for 3600 s", looped or not.
std::string ReplayText(const ModelDescription& model, const ScenarioEvent& event) {
  std::string text = "replay " + event.file + " on ";
  const std::vector<std::int32_t>& indices = event.recording->indices();
  for (std::size_t k = 0; k < indices.size(); ++k) {
    if (k > 0) text += ", ";
    text += std::to_string(indices[k]) + " (" + model.channels[indices[k]].name + ")";
  }
  if (event.endless) return text + ", looped until the device stops";
  return text + (event.loop ? ", looped" : "") + " for " + FormatSeconds(event.duration) + " s";
}

}  // namespace

std::string ScenarioReplayEndText(const ModelDescription& model, DeviceId id, std::int64_t elapsed,
                                  const ScenarioEvent& event) {
  return std::string("Scenario (") + model.shortName + "): device " + std::to_string(id) +
         " at second " + FormatSeconds(elapsed) + ": replay " + event.file + " ended";
}

std::string ScenarioEventText(const ModelDescription& model, DeviceId id, std::int64_t elapsed,
                              const ScenarioEvent& event) {
  std::string text = std::string("Scenario (") + model.shortName + "): device " +
                     std::to_string(id) + " at second " + FormatSeconds(elapsed) + ": ";
  const std::string value =
      std::to_string(event.index) + " (" + model.channels[event.index].name + ")";
  switch (event.action) {
    case ScenarioAction::kSet:
      text += "set " + value + " to " + FormatValue(event.value);
      break;
    case ScenarioAction::kHold:
      text += "hold " + value + " at " + FormatValue(event.value) + " for " +
              FormatSeconds(event.duration) + " s";
      break;
    case ScenarioAction::kRamp:
      text += "ramp " + value + " by " + FormatValue(event.rate) + " per second for " +
              FormatSeconds(event.duration) + " s";
      break;
    case ScenarioAction::kReplay:
      text += ReplayText(model, event);
      break;
  }
  if (!event.note.empty()) text += "; " + event.note;
  return text;
}

ScenarioPlayer::ScenarioPlayer(const Scenario* scenario, DeviceId id, const ModelDescription& model,
                               const std::atomic<LogFn>& log, LiveEventInbox* inbox)
    : id_(id), model_(model), log_(log), inbox_(inbox) {
  if (scenario == nullptr) return;
  try {
    for (const ScenarioEvent& event : scenario->events) {
      if (event.AppliesTo(id)) events_.push_back(Playing{&event, event.at, nullptr});
    }
  } catch (const std::bad_alloc&) {
    events_.clear();  // the device runs as if there were no scenario
  }
}

ScenarioPlayer::~ScenarioPlayer() {
  for (Playing& playing : events_) {
    if (playing.live == nullptr || playing.done) continue;
    LiveState state = playing.live->state.load();
    while ((state == LiveState::kPending || state == LiveState::kRunning) &&
           !playing.live->state.compare_exchange_weak(state, LiveState::kDropped)) {
    }
  }
}

void ScenarioPlayer::TakeIn(std::int64_t elapsed) {
  inbox_->TakeAll([&](std::shared_ptr<LiveEvent> live) {
    if (live->over()) return;
    const std::int64_t at = live->relative ? elapsed + live->event.at : live->event.at;
    live->startsAt.store(at);
    try {
      events_.push_back(Playing{&live->event, at, live});
    } catch (const std::bad_alloc&) {
      LiveState state = LiveState::kPending;
      live->state.compare_exchange_strong(state, LiveState::kDropped);
    }
  });
}

void ScenarioPlayer::Apply(float* values, std::uint64_t deviceClock) {
  if (events_.empty() && inbox_ == nullptr) return;
  if (!ticked_) {
    origin_ = deviceClock;
    previous_ = 0;
  }
  const auto elapsed = static_cast<std::int64_t>(deviceClock - origin_);
  if (inbox_ != nullptr) TakeIn(elapsed);
  for (Playing& playing : events_) {
    if (!playing.done && !Play(playing, values, elapsed)) {
      playing.done = true;
      liveOver_ = liveOver_ || playing.live != nullptr;
    }
  }
  // Live events come and go for as long as the device runs: the finished
  // ones leave the list. A file's events stay, as they always did.
  if (liveOver_) {
    events_.erase(std::remove_if(events_.begin(), events_.end(),
                                 [](const Playing& p) { return p.done && p.live != nullptr; }),
                  events_.end());
    liveOver_ = false;
  }
  ticked_ = true;
  previous_ = elapsed;
  if (inbox_ != nullptr) inbox_->lastTick.store(elapsed);
}

bool ScenarioPlayer::Play(Playing& playing, float* values, std::int64_t elapsed) {
  const ScenarioEvent& event = *playing.event;
  LiveEvent* live = playing.live.get();
  // An event ended by a request does nothing from then on.
  if (live != nullptr && live->state.load() >= LiveState::kDone) return false;
  if (elapsed < playing.at) return true;
  const bool first = !playing.started;
  if (first) {
    if (live != nullptr) {
      LiveState pending = LiveState::kPending;
      if (!live->state.compare_exchange_strong(pending, LiveState::kRunning)) return false;
    }
    playing.started = true;
    Log(event, elapsed);
  }
  const std::int64_t end = playing.at + event.duration;
  bool over = false;
  switch (event.action) {
    case ScenarioAction::kSet:
      values[event.index] = event.value;
      over = true;
      break;
    case ScenarioAction::kHold:
      // The first tick due is held even when it comes after the end.
      if (first || elapsed < end) values[event.index] = event.value;
      over = elapsed >= end;
      break;
    case ScenarioAction::kRamp: {
      // The part of the ramp's span between the previous tick and this one.
      const std::int64_t from = ticked_ ? std::max(previous_, playing.at) : playing.at;
      const std::int64_t to = std::min(elapsed, end);
      if (to > from) {
        const double seconds = static_cast<double>(to - from) / kTicksPerSecond;
        values[event.index] += static_cast<float>(static_cast<double>(event.rate) * seconds);
      }
      over = elapsed >= end;
      break;
    }
    case ScenarioAction::kReplay: {
      // The sample at the same offset from the recording's first; a first
      // tick due after the end plays the end.
      const ReplayRecording& recording = *event.recording;
      std::int64_t offset = elapsed - playing.at;
      if (!event.endless) offset = std::min(offset, event.duration);
      if (event.loop) offset %= recording.period();
      recording.Apply(recording.Find(offset), values);
      over = !event.endless && elapsed >= end;
      if (over) LogEnd(event, elapsed);
      break;
    }
  }
  if (over && live != nullptr) {
    LiveState running = LiveState::kRunning;
    live->state.compare_exchange_strong(running, LiveState::kDone);
  }
  return !over;
}

void ScenarioPlayer::LogEnd(const ScenarioEvent& event, std::int64_t elapsed) {
  LogFn log = log_.load();
  if (log == nullptr) return;
  try {
    const std::string line = ScenarioReplayEndText(model_, id_, elapsed, event) + "\n";
    log("%s", line.c_str());
  } catch (const std::bad_alloc&) {
    // The line is lost; the replay has ended all the same.
  }
}

void ScenarioPlayer::Log(const ScenarioEvent& event, std::int64_t elapsed) {
  LogFn log = log_.load();
  if (log == nullptr) return;
  try {
    const std::string line = ScenarioEventText(model_, id_, elapsed, event) + "\n";
    log("%s", line.c_str());
  } catch (const std::bad_alloc&) {
    // The line is lost; the event is applied all the same.
  }
}

}  // namespace orv
