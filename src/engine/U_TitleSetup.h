#pragma once
// The bridge between the project and the engine: making a segment from a file the
// user adds, and opening a segment's files as a title for the build.

#include "engine/U_BuildSetup.h"
#include "engine/U_TitleConversion.h"
#include "project/U_AuteurSettings.h"
#include "project/U_VTHelper.h"

#include <filesystem>

namespace vidoria {

// Opens `file` (following spanned parts), and appends a segment for it: its cluster,
// durations, frame rate, aspect, start times, one stream entry per input stream (audio
// in the default language), automatic chapters, and the subtitle files beside it with
// the same name (.srt, .sub/.idx, any letter case) in the settings' subtitle defaults. The first segment of a project also
// takes the settings' menu defaults. nullptr, logged, when the file cannot be opened.
TVideoSegmentstorage* MakeSegment(const std::filesystem::path& file, const TAuteurSettings& settings,
                                  TVideo_segments_collection& project, TMenuStorage& menu, const TLoggingObject& log);

// Opens a segment's files as a title: streams kept or discarded as the project says,
// with their delays, offsets and languages, the project's chapters, and one sub-picture
// stream per stream of its subtitle files. nullptr (logged) when a file cannot be opened
// or the subtitle files cannot be prepared.
std::unique_ptr<IConversionTitle> OpenTitle(TVideoSegmentstorage& segment, const TLoggingObject& log,
                                            TMuxSinkFactory sink);

// A TTitleOpener for PrepareDvdBuild.
TTitleOpener MakeTitleOpener(TMuxSinkFactory sink);

}  // namespace vidoria
