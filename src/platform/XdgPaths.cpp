#include "platform/XdgPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace vidoria::xdg {
namespace fs = std::filesystem;

namespace {
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// XDG variables must hold absolute paths; anything else is ignored.
fs::path EnvPath(const char* name) {
  fs::path p = Env(name);
  return p.is_absolute() ? p : fs::path();
}
}  // namespace

fs::path HomeDir() {
  fs::path home = EnvPath("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

fs::path ConfigHome() {
  fs::path p = EnvPath("XDG_CONFIG_HOME");
  return p.empty() ? HomeDir() / ".config" : p;
}

fs::path StateHome() {
  fs::path p = EnvPath("XDG_STATE_HOME");
  return p.empty() ? HomeDir() / ".local" / "state" : p;
}

fs::path RuntimeDir() {
  fs::path p = EnvPath("XDG_RUNTIME_DIR");
  if (!p.empty()) return p;
  return fs::temp_directory_path() / ("vidoria-runtime-" + std::to_string(getuid()));
}

fs::path DocumentsDir() {
  fs::path home = HomeDir();
  std::ifstream in(ConfigHome() / "user-dirs.dirs");
  std::string line;
  while (std::getline(in, line)) {
    const std::string key = "XDG_DOCUMENTS_DIR=";
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) return home.string() + value.substr(5);
    if (!value.empty() && value.front() == '/') return value;
  }
  std::error_code ec;
  if (fs::is_directory(home / "Documents", ec)) return home / "Documents";
  return home;
}

std::string UserLanguageCode() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string v = Env(name);
    if (v.empty()) continue;
    if (v == "C" || v == "POSIX" || v.rfind("C.", 0) == 0) return "en";
    size_t end = v.find_first_of("_.@");
    std::string code = v.substr(0, end);
    if (code.size() == 2) {
      for (char& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return code;
    }
  }
  return "en";
}

}  // namespace vidoria::xdg
