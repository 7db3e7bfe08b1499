#pragma once
// Helpers shared by the tests: scratch folders and media made with the ffmpeg command.

#include <filesystem>
#include <string>

namespace vidoria::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `data` to `file`, creating folders.
void WriteFile(const std::filesystem::path& file, const std::string& data);
std::string ReadFile(const std::filesystem::path& file);

// Runs a shell command; returns its exit status, and its output in `output` when given.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Makes a media file with the ffmpeg command, e.g.
// MakeMedia(dir/"a.mkv", "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v mpeg4").
// Fails the calling test (and returns false) when ffmpeg fails.
bool MakeMedia(const std::filesystem::path& out, const std::string& ffmpegArgs);

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_, old_;
  bool had_ = false;
};

}  // namespace vidoria::test
