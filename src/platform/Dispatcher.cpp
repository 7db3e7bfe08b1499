#include "platform/Dispatcher.h"

#include <cassert>

namespace vidoria {

TMainThreadDispatcher::TMainThreadDispatcher() : owner_(std::this_thread::get_id()) {}

void TMainThreadDispatcher::Post(Closure closure) {
  bool wasEmpty;
  std::function<void()> wakeup;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(closure));
    wakeup = wakeup_;
  }
  posted_.notify_one();
  if (wasEmpty && wakeup) wakeup();
}

size_t TMainThreadDispatcher::Drain() {
  assert(IsOwnerThread());
  size_t ran = 0;
  for (;;) {
    Closure next;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return ran;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    if (next) next();
    ++ran;
  }
}

size_t TMainThreadDispatcher::WaitAndDrain(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
  }
  return Drain();
}

void TMainThreadDispatcher::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(wakeup);
}

size_t TMainThreadDispatcher::PendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace vidoria
