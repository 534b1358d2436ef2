// The state every reference dialog module keeps: the sticky answer its host
// set, the number of calls and the record of the last one, all under one
// mutex, since the driver calls on the host's thread while a test may read
// the record from another.
#ifndef ORV_HOST_DIALOGS_DIALOG_STATE_H
#define ORV_HOST_DIALOGS_DIALOG_STATE_H

#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace orv::dialogs {

template <typename Answer, typename Record>
class DialogState {
 public:
  // Counts a call, stores its record and lets act respond with the answer,
  // all under the mutex; returns what act returns.
  template <typename Act>
  std::int32_t Respond(const Record& call, Act act) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    ++calls_;
    last_ = call;
    return act(answer_);
  }

  template <typename Edit>
  void SetAnswer(Edit edit) {
    std::lock_guard<platform::Mutex> lock(mutex_);
    edit(answer_);
  }

  std::int32_t calls() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return calls_;
  }

  Record last() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    return last_;
  }

  // Back to the state of a freshly loaded module, default answer included.
  void Reset() {
    std::lock_guard<platform::Mutex> lock(mutex_);
    answer_ = Answer{};
    calls_ = 0;
    last_ = Record{};
  }

 private:
  platform::Mutex mutex_;
  Answer answer_{};
  std::int32_t calls_ = 0;
  Record last_{};
};

}  // namespace orv::dialogs

#endif  // ORV_HOST_DIALOGS_DIALOG_STATE_H
