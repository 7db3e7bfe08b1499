#pragma once
// Chapters of a title during a build: sorted 90 kHz start times. The video path moves
// to the next chapter only at an I picture, and the chapter number travels with every
// packet as its cell id, so each chapter becomes one cell.

#include "project/U_AuteurSettings.h"
#include "project/U_VTHelper.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidoria {

struct TUserChapter {
  int64_t start = 0;                  // 90 kHz
  std::optional<int64_t> actual_time; // where it really started
  int32_t number = 0;                 // 1-based after Renumber
};

class TUserChapterList {
 public:
  static constexpr int64_t kMinimumGap = 450000;  // 5 s: closer chapters merge
  static constexpr int64_t kEarlyStart = 36000;   // 0.4 s: how early a chapter may start

  TUserChapterList() { Add(0); }

  // Milliseconds, as the project stores them.
  TUserChapter& AddMs(int64_t ms) { return Add(ms * 90); }
  // Returns the chapter that already covers t (starts at most 5 s before it), or a new
  // one at its sorted place.
  TUserChapter& Add(int64_t ticks);
  // Numbers 1..n, clears the actual times and makes the first chapter current at 0.
  void Renumber();
  // Moves to the next chapter when it starts less than 0.4 s after t. One step a call.
  bool Advance(int64_t ticks);

  size_t Count() const { return chapters_.size(); }
  const TUserChapter& Item(size_t i) const { return chapters_[i]; }
  const TUserChapter& Current() const { return chapters_[current_]; }
  TUserChapter& Current() { return chapters_[current_]; }

 private:
  std::vector<TUserChapter> chapters_;
  size_t current_ = 0;
};

// Appends the automatic chapters for a new segment of `durationUs`, as the settings ask:
// one every Chap_Duration_Ms, at most 255, none in short segments when so set.
// Returns how many were added.
int AddAutomaticChapters(TChapter_collection& chapters, const TAuteurSettings& settings, int64_t durationUs);

}  // namespace vidoria
