#pragma once
// Setting up a DVD build from the settings and the project: the one routine that both
// the command line and the desktop window call before AvConverter::Start. Questions for
// the user come in as callbacks whose defaults suit unattended runs.

#include "engine/U_av_convert_50.h"
#include "platform/KeyValueStore.h"
#include "project/U_AuteurSettings.h"
#include "project/U_VTHelper.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vidoria {

struct TBuildQuestions {
  // The DVD folder exists and holds something: may its VIDEO_TS, AUDIO_TS and ORIGINAL
  // folders be erased? Unattended: yes, they are our own output.
  std::function<bool(const std::filesystem::path& dvdFolder)> ConfirmOverwrite = [](const auto&) { return true; };
  // Less free space than the target size: start all the same? Unattended: no.
  std::function<bool(int64_t freeBytes, int64_t neededBytes)> ConfirmLowSpace = [](int64_t, int64_t) {
    return false;
  };
};

// Opens a segment's files for conversion, or returns nullptr after logging why.
using TTitleOpener =
    std::function<std::unique_ptr<IConversionTitle>(TVideoSegmentstorage& segment, const TLoggingObject& log)>;

enum class TSetupResult { Ready, NotEnoughSpace, InvalidName, Declined, PreparationFailed, BeyondLimits };

struct TBuildSetup {
  TSetupResult result = TSetupResult::Ready;
  std::string message;                 // why it did not get ready
  std::filesystem::path dvd_folder;    // working folder / name
  std::filesystem::path video_ts;      // dvd_folder / VIDEO_TS
};

// The DVD folder's name: the first file's name without folder and extension, trimmed
// of blanks, without trailing dots. May be empty (a file named " .avi").
std::string DvdFolderName(const TVideoSegmentstorage& firstSegment);

// Free bytes on the file system that holds `folder` (or its nearest existing parent);
// -1 when unknown.
int64_t FreeBytes(const std::filesystem::path& folder);

// Fills `engine` for a build of `project`. Logs through the engine.
TBuildSetup PrepareDvdBuild(AvConverter& engine, const TAuteurSettings& settings, TVideo_segments_collection& project,
                            const TMenuStorage& menu, const TTitleOpener& opener,
                            const TBuildQuestions& questions = {}, TKeyValueStore* status = nullptr);

}  // namespace vidoria
