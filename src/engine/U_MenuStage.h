#pragma once
// The build job's menu stage: renders the menu pages and encodes them into
// VIDEO_TS.VOB.

#include "engine/U_av_convert_50.h"

#include <filesystem>

namespace vidoria {

class TMenuStage : public IMenuStage {
 public:
  // A background given without a folder is looked for in `backgroundFolder` (where
  // the shipped pictures live).
  explicit TMenuStage(std::filesystem::path backgroundFolder = {}) : backgroundFolder_(std::move(backgroundFolder)) {}

  TMenuResult EncodeMenu(const TMenuJob& job, TJobControl& control, const TLoggingObject& log) override;

  // The picture file a background setting names.
  std::filesystem::path ResolveBackground(const std::string& background) const;

 private:
  std::filesystem::path backgroundFolder_;
};

}  // namespace vidoria
