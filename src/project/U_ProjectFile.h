#pragma once
// Project files (".vidproj"): the segment list and the menu as XML.
//
//   <Vidoria>
//     <AppName>Vidoria</AppName> <AppVersion>2.1.0.0</AppVersion> <AppMinVersion>2.0.0.95</AppMinVersion>
//     <menu> present, auto_play, ..., Items_Font{Name,Size,Bold,...}, ... </menu>
//     <segments> <Project_Name/> <Item> friendly_name, FileSet{Item...}, Streams{Item...},
//                Chapters{Item...}, External_Subts{Item...}, Default_Stt_file, ... </Item> ... </segments>
//   </Vidoria>

#include "app/U_LogConsts.h"
#include "project/U_VTHelper.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace vidoria {

constexpr const char* kProjectMinVersion = "2.0.0.95";
constexpr int kMaxProjectSegments = 64;

// Compares dotted version numbers number by number, missing numbers counting as 0:
// negative, zero or positive like strcmp.
int CompareVersions(std::string_view a, std::string_view b);

// The program's own version in four numbers.
std::string ProgramVersion();

// Writes the project to `fileName` with the extension ".vidproj", replacing an older
// file only once the new one is complete. Sets the project's name from the file name.
// Nothing is written for a project without segments. False (logged) on failure.
bool SaveProject(const std::filesystem::path& fileName, TVideo_segments_collection& project, const TMenuStorage& menu,
                 const TLoggingObject& log);

struct TProjectLoadResult {
  bool loaded = false;         // the project and menu were replaced
  bool files_dropped = false;  // a segment or subtitle file was missing or changed and was left out
  std::string error;           // why the file was refused (logged too)
};

// Reads a project into a fresh model and replaces `project` and `menu` only when the
// whole file is valid and at least one segment's files are still there.
TProjectLoadResult LoadProject(const std::filesystem::path& fileName, TVideo_segments_collection& project,
                               TMenuStorage& menu, const TLoggingObject& log);

// The parsing step alone, for tests and fuzzing: no file checks, no logging.
bool ParseProject(std::string_view xml, TVideo_segments_collection& project, TMenuStorage& menu, std::string& error);
std::string SerializeProject(const TVideo_segments_collection& project, const TMenuStorage& menu);

}  // namespace vidoria
