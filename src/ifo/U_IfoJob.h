#pragma once
// What the build job hands the IFO stage once every title (and the menu) is written,
// and the stage's interface. The job depends on it; the IFO builder implements it.

#include "app/U_LogConsts.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace vidoria {

class TVobuCollection;

struct TIfoJob {
  std::filesystem::path video_ts;
  bool with_menu = false;
  bool auto_start = true, loop_playback = true, sequential_playback = true;
  std::vector<std::shared_ptr<TVobuCollection>> titles;
  std::shared_ptr<TVobuCollection> menu;
  std::vector<int> entries_per_page;  // menu pages
};

class IIfoStage {
 public:
  virtual ~IIfoStage() = default;
  virtual bool WriteIfos(const TIfoJob& job, const TLoggingObject& log) = 0;
};

}  // namespace vidoria
