#include "engine/U_UserChapters.h"

#include <algorithm>

namespace vidoria {

TUserChapter& TUserChapterList::Add(int64_t ticks) {
  for (auto& c : chapters_)
    if (c.start <= ticks && ticks < c.start + kMinimumGap) return c;
  auto at = std::lower_bound(chapters_.begin(), chapters_.end(), ticks,
                             [](const TUserChapter& c, int64_t t) { return c.start < t; });
  size_t keep = current_;
  auto it = chapters_.insert(at, TUserChapter{ticks, std::nullopt, 0});
  if (static_cast<size_t>(it - chapters_.begin()) <= keep && chapters_.size() > 1) ++keep;
  current_ = std::min(keep, chapters_.size() - 1);
  return *it;
}

void TUserChapterList::Renumber() {
  for (size_t i = 0; i < chapters_.size(); ++i) {
    chapters_[i].number = static_cast<int32_t>(i) + 1;
    chapters_[i].actual_time.reset();
  }
  current_ = 0;
  if (!chapters_.empty()) chapters_[0].actual_time = 0;
}

bool TUserChapterList::Advance(int64_t ticks) {
  if (current_ + 1 >= chapters_.size()) return false;
  if (chapters_[current_ + 1].start - kEarlyStart >= ticks) return false;
  ++current_;
  return true;
}

int AddAutomaticChapters(TChapter_collection& chapters, const TAuteurSettings& settings, int64_t durationUs) {
  const int64_t interval = settings.Chap_Duration_Ms();
  if (!settings.Chap_AutoInsertChapter() || interval <= 0) return 0;
  if (settings.Chap_dont_insert_in_small_segments() && durationUs / 1000 < settings.Chap_Minimum_Segment_Duration_Ms())
    return 0;
  int64_t n = std::min<int64_t>(durationUs / (interval * 1000), 255);
  if (n <= 0) return 0;
  chapters.AddRun(static_cast<int>(n), interval);
  return static_cast<int>(n);
}

}  // namespace vidoria
