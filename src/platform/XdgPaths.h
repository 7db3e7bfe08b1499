#pragma once
// Per-user folders as the XDG base-directory and user-dirs conventions define them.

#include <filesystem>
#include <string>

namespace vidoria::xdg {

std::filesystem::path HomeDir();
std::filesystem::path ConfigHome();   // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path StateHome();    // $XDG_STATE_HOME or ~/.local/state
std::filesystem::path RuntimeDir();   // $XDG_RUNTIME_DIR or a private folder under /tmp
// The user's documents folder: XDG_DOCUMENTS_DIR from user-dirs.dirs, else ~/Documents
// when it exists, else the home folder.
std::filesystem::path DocumentsDir();

// The two-letter language code of the user's locale (LC_ALL, LC_MESSAGES, LANG),
// "en" when none is set or the locale is "C"/"POSIX".
std::string UserLanguageCode();

}  // namespace vidoria::xdg
