#pragma once
// Estimated time remaining of a long activity (conversion, burning, copying): samples
// the owner's progress position now and then and projects the total linearly from the
// start. It counts on a steady clock, so a change of the wall clock (daylight saving
// time, a clock sync) never moves the estimate.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace vidoria {

class TEtr {
 public:
  using Clock = std::chrono::steady_clock;
  using Ms = std::chrono::milliseconds;

  explicit TEtr(std::function<Clock::time_point()> now = [] { return Clock::now(); }) : now_(std::move(now)) {}

  // Ignored while started.
  int Min = 0;
  int Max = 100;
  Ms DisplayPeriod{1000};
  Ms PollPeriod{15000};
  Ms NoEtrDelay{20000};          // no estimate (and no poll) this soon after the start
  Ms MaximumTimeEstimation{0};   // upper bound of an estimate; 0: none

  std::function<int()> OnPoll;       // the owner's current position
  std::function<void()> OnDisplay;   // the owner refreshes its display

  // Nothing without OnPoll, or when already started.
  void Start();
  void Stop();
  // The owner calls this often (its event loop, its progress callback): polls and
  // refreshes when their periods are due.
  void Tick();

  bool Started() const { return started_; }
  double Percentage() const;
  Ms ElapsedTime() const;
  // Unknown right after the start and while there is no progress.
  std::optional<Ms> EstimatedTimeRemaining() const;
  std::optional<Ms> CompletionTime() const;
  // "12 minutes", "45 seconds", ...; empty while unknown.
  std::string TimeRemainingText() const;
  // The same for any span.
  static std::string SpanText(Ms remaining);

 private:
  std::function<Clock::time_point()> now_;
  bool started_ = false;
  int min_ = 0, max_ = 100, position_ = 0;
  Clock::time_point start_{}, stop_{}, lastPoll_{}, nextPoll_{}, nextDisplay_{};
};

}  // namespace vidoria
