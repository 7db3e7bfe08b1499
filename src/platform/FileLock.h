#pragma once
// Advisory whole-file locks (flock) on a separate lock file. A separate file is
// needed because the data files are replaced by rename, and a lock belongs to an inode.

#include <filesystem>
#include <string>

namespace vidoria {

class TFileLock {
 public:
  enum class Mode { Shared, Exclusive };

  // Blocks until the lock is held. Creates the lock file (and its folder) if needed.
  // Check Locked(): a folder that cannot be written leaves it unlocked with Error() set.
  TFileLock(const std::filesystem::path& lockFile, Mode mode);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  bool Locked() const { return fd_ >= 0; }
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

// Writes `data` to a temporary file beside `target`, flushes it to disk and renames it
// over `target`, so readers see the old or the new file, never half of one.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view data, std::string* error);

// Reads a whole file. False (with the reason) when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& data, std::string* error);

}  // namespace vidoria
