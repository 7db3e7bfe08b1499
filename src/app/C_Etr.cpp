#include "app/C_Etr.h"

#include "app/C_TextStorage.h"
#include "platform/MessageFormat.h"

namespace vidoria {

void TEtr::Start() {
  if (started_ || !OnPoll) return;
  min_ = Min;
  max_ = Max;
  position_ = min_;
  start_ = lastPoll_ = now_();
  nextPoll_ = start_ + PollPeriod;
  nextDisplay_ = start_ + DisplayPeriod;
  started_ = true;
  if (OnDisplay) OnDisplay();
}

void TEtr::Stop() {
  if (!started_) return;
  started_ = false;
  stop_ = now_();
  if (OnDisplay) OnDisplay();
}

void TEtr::Tick() {
  if (!started_) return;
  const auto now = now_();
  if (now >= nextPoll_) {
    if (now >= start_ + NoEtrDelay && OnPoll) {
      position_ = OnPoll();
      lastPoll_ = now;
    }
    while (nextPoll_ <= now) nextPoll_ += PollPeriod;
  }
  if (now >= nextDisplay_) {
    while (nextDisplay_ <= now) nextDisplay_ += DisplayPeriod;
    if (OnDisplay) OnDisplay();
  }
}

double TEtr::Percentage() const {
  if (max_ == min_) return 0;
  return (position_ - min_) * 100.0 / (max_ - min_);
}

TEtr::Ms TEtr::ElapsedTime() const {
  return std::chrono::duration_cast<Ms>((started_ ? now_() : stop_) - start_);
}

std::optional<TEtr::Ms> TEtr::CompletionTime() const {
  if (started_) return std::nullopt;
  return std::chrono::duration_cast<Ms>(stop_ - start_);
}

std::optional<TEtr::Ms> TEtr::EstimatedTimeRemaining() const {
  const auto now = started_ ? now_() : stop_;
  if (now < start_ + NoEtrDelay || position_ == min_ || max_ == min_) return std::nullopt;
  // The total is projected from the last sample; the elapsed part uses the current time,
  // so the estimate falls steadily between samples.
  const double sampled = std::chrono::duration<double, std::milli>(lastPoll_ - start_).count();
  const double total = sampled * (max_ - min_) / (position_ - min_);
  const double elapsed = std::chrono::duration<double, std::milli>(now - start_).count();
  Ms remaining(static_cast<int64_t>(total - elapsed));
  if (MaximumTimeEstimation.count() > 0 && remaining > MaximumTimeEstimation) remaining = MaximumTimeEstimation;
  if (remaining.count() < 0) remaining = Ms(0);
  return remaining;
}

std::string TEtr::SpanText(Ms remaining) {
  const int64_t s = remaining.count() / 1000;
  auto text = [](int64_t n, const char* word) {
    return SafeFormat("%d %s", n, TTextStorage::Lookup(word));
  };
  if (remaining.count() < 0) return {};
  if (remaining > std::chrono::hours(2)) return text(s / 3600, "hours");
  if (remaining > std::chrono::hours(1)) return text(1, "hour");
  if (remaining > std::chrono::seconds(66)) return text(s / 60 + 1, "minutes");
  if (remaining > std::chrono::seconds(5)) return text(s / 5 * 5, "seconds");
  return text(5, "seconds");
}

std::string TEtr::TimeRemainingText() const {
  auto r = EstimatedTimeRemaining();
  return r ? SpanText(*r) : std::string();
}

}  // namespace vidoria
