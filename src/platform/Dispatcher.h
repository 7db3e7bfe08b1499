#pragma once
// The main-thread dispatcher: other threads post closures, the owner thread runs them.
// The desktop program drains it from Qt's event loop (through the wake-up hook), the
// command line from its wait loop, and tests drain it themselves.

#include <condition_variable>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vidoria {

class TMainThreadDispatcher {
 public:
  using Closure = std::function<void()>;

  // The thread that constructs the dispatcher owns it.
  TMainThreadDispatcher();
  TMainThreadDispatcher(const TMainThreadDispatcher&) = delete;
  TMainThreadDispatcher& operator=(const TMainThreadDispatcher&) = delete;

  // Queues a closure for the owner thread. Safe from any thread.
  void Post(Closure closure);

  // Runs every closure queued so far (and those they post) on the calling thread,
  // which must be the owner. Returns how many ran.
  size_t Drain();

  // Waits until something is queued or the timeout passes, then drains.
  size_t WaitAndDrain(std::chrono::milliseconds timeout);

  bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }
  std::thread::id OwnerThread() const { return owner_; }

  // Called (from the posting thread) whenever the queue goes from empty to not
  // empty, so an event loop can schedule a drain. Set before other threads post.
  void SetWakeup(std::function<void()> wakeup);

  size_t PendingCount() const;

 private:
  std::thread::id owner_;
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Closure> queue_;
  std::function<void()> wakeup_;
};

}  // namespace vidoria
