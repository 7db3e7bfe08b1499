#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace vidoria {
namespace fs = std::filesystem;

namespace {
std::string ErrnoText(const std::string& what, const fs::path& p, int err) {
  return what + " \"" + p.string() + "\": " + std::strerror(err);
}
}  // namespace

TFileLock::TFileLock(const fs::path& lockFile, Mode mode) {
  std::error_code ec;
  if (lockFile.has_parent_path()) fs::create_directories(lockFile.parent_path(), ec);
  fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = ErrnoText("cannot open lock file", lockFile, errno);
    return;
  }
  int op = mode == Mode::Shared ? LOCK_SH : LOCK_EX;
  while (::flock(fd_, op) != 0) {
    if (errno == EINTR) continue;
    error_ = ErrnoText("cannot lock", lockFile, errno);
    ::close(fd_);
    fd_ = -1;
    return;
  }
}

TFileLock::~TFileLock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

bool WriteFileAtomically(const fs::path& target, std::string_view data, std::string* error) {
  auto fail = [&](const std::string& msg) {
    if (error) *error = msg;
    return false;
  };
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  std::random_device rd;
  fs::path tmp = target;
  tmp += ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(rd() % 1000000);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(ErrnoText("cannot create", tmp, errno));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(tmp.c_str());
      return fail(ErrnoText("cannot write", tmp, err));
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return fail(ErrnoText("cannot flush", tmp, err));
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return fail(ErrnoText("cannot replace", target, err));
  }
  return true;
}

bool ReadWholeFile(const fs::path& file, std::string& data, std::string* error) {
  data.clear();
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot open", file, errno);
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = ErrnoText("cannot read", file, errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace vidoria
