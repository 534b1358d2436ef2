// Scoped ownership of a platform mutex.
#ifndef ORV_FRAMEWORK_CORE_LOCK_H
#define ORV_FRAMEWORK_CORE_LOCK_H

#include "platform/platform.h"

namespace orv {

class LockGuard {
 public:
  explicit LockGuard(platform::Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~LockGuard() { mutex_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  platform::Mutex& mutex_;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_LOCK_H
