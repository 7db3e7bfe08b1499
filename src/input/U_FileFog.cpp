#include "input/U_FileFog.h"

#include "platform/MessageFormat.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vidoria {
namespace fs = std::filesystem;

namespace {

int64_t SizeOnDisk(const fs::path& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return st.st_size;
}

bool IsFile(const fs::path& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// ---- TFileAtom ------------------------------------------------------------------

void TFileAtom::Assign(const TFileAtom& other) {
  FileName = other.FileName;
  Cluster_offset = other.Cluster_offset;
  MaxSize = other.MaxSize;
  fileSize_ = other.fileSize_;
}

TFileAtom& TFileAtom::operator=(TFileAtom&& other) noexcept {
  if (this != &other) {
    Close();
    Assign(other);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool TFileAtom::SetFileSize(int64_t size) {
  fileSize_ = size;
  if (size > MaxSize) MaxSize = size;
  return fd_ < 0 || ::ftruncate(fd_, size) == 0;
}

bool TFileAtom::OpenRead() {
  Close();
  int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || st.st_size != fileSize_) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  MaxSize = fileSize_;
  return true;
}

bool TFileAtom::OpenWrite() {
  Close();
  std::error_code ec;
  if (FileName.has_parent_path()) fs::create_directories(FileName.parent_path(), ec);
  int fd = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // Writers exclude each other; readers are not affected.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, fileSize_) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void TFileAtom::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---- TFileCluster ---------------------------------------------------------------

std::string TFileCluster::Path() const {
  if (!path_.empty() || atoms_.empty()) return path_;
  std::string folder = atoms_.front().FileName.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

void TFileCluster::SetPath(const std::string& path) {
  path_ = path;
  if (!path_.empty() && path_.back() != '/') path_ += '/';
}

TFileAtom& TFileCluster::AddFile(const fs::path& fileName, int64_t maxSize) {
  TFileAtom atom;
  atom.FileName = fileName;
  atom.Cluster_offset = atoms_.empty() ? 0 : atoms_.back().Cluster_offset + atoms_.back().MaxSize;
  atom.SetFileSize(SizeOnDisk(fileName));
  atom.MaxSize = std::max(maxSize, atom.FileSize());
  atoms_.push_back(std::move(atom));
  return atoms_.back();
}

std::string TFileCluster::VobName(int titleSet, int part) { return SafeFormat("VTS_%.2d_%d.VOB", titleSet, part); }

void TFileCluster::LoadSpannedSet(const fs::path& fileName) {
  Clear();
  std::string name = fileName.filename().string();
  std::string ext = fileName.extension().string();
  if (LowerAscii(ext) == ".vob") {
    // VTS_nn_K.VOB: K is the eighth character. Part 0 and VIDEO_TS.VOB stand alone.
    if (name.size() >= 8 && name[7] >= '1' && name[7] <= '9') {
      for (char k = name[7]; k <= '9'; ++k) {
        std::string part = name;
        part[7] = k;
        fs::path p = fileName.parent_path() / part;
        if (!IsFile(p)) break;
        AddFile(p, -1);
      }
    } else {
      AddFile(fileName, -1);
    }
    return;
  }
  AddFile(fileName, -1);
  // movie.avi.001, movie.avi.002, ...
  for (int i = 1; i <= 998; ++i) {
    fs::path p = fileName;
    p += SafeFormat(".%.3d", i);
    if (!IsFile(p)) break;
    AddFile(p, -1);
  }
  if (Count() > 1) return;
  // film.01.avi, film.02.avi, ...: at most nine digits, so the number always fits.
  std::string stem = fileName.stem().string();
  size_t digits = 0;
  while (digits < stem.size() && digits <= 9 && std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1 - digits])))
    ++digits;
  if (digits == 0 || digits > 9 || digits >= stem.size() || stem[stem.size() - 1 - digits] != '.') return;
  int64_t k = std::stoll(stem.substr(stem.size() - digits));
  std::string base = stem.substr(0, stem.size() - digits - 1);
  std::string format = "%s.%." + std::to_string(digits) + "d%s";
  for (int64_t next = k + 1;; ++next) {
    fs::path p = fileName.parent_path() / SafeFormat(format, base, next, ext);
    if (!IsFile(p)) break;
    AddFile(p, -1);
  }
}

void TFileCluster::PrepareVobOutput(int titleSet, bool menu) {
  Clear();
  std::string folder = Path();
  if (menu) {
    AddFile(folder + "VIDEO_TS.VOB", vobPartSize_);
    return;
  }
  for (int part = 1; part <= kMaxVobParts; ++part) AddFile(folder + VobName(titleSet, part), vobPartSize_);
}

bool TFileCluster::DeleteFiles() {
  bool ok = true;
  for (auto& atom : atoms_) {
    atom.Close();
    if (::unlink(atom.FileName.c_str()) != 0 && errno != ENOENT) ok = false;
    atom.SetFileSize(0);
  }
  return ok;
}

int64_t TFileCluster::TotalSize() const {
  int64_t total = 0;
  for (const auto& atom : atoms_) total += atom.FileSize();
  return total;
}

bool TFileCluster::CheckUnchanged(fs::path& changed) const {
  changed.clear();
  for (const auto& atom : atoms_) {
    if (SizeOnDisk(atom.FileName) != atom.FileSize()) {
      changed = atom.FileName;
      return false;
    }
  }
  return true;
}

std::unique_ptr<TFileClusterReadOnlyStream> TFileCluster::OpenRead() {
  return std::make_unique<TFileClusterReadOnlyStream>(*this);
}

std::unique_ptr<TFileClusterRWStream> TFileCluster::OpenWrite() { return std::make_unique<TFileClusterRWStream>(*this); }

// ---- streams --------------------------------------------------------------------

TFileClusterReadOnlyStream::TFileClusterReadOnlyStream(TFileCluster& cluster, NoOpen) : cluster_(cluster) {}

TFileClusterReadOnlyStream::TFileClusterReadOnlyStream(TFileCluster& cluster) : cluster_(cluster) {
  for (size_t i = 0; i < cluster_.Count(); ++i) {
    TFileAtom& atom = cluster_.Item(i);
    if (!atom.OpenRead()) {
      for (size_t j = 0; j < cluster_.Count(); ++j) cluster_.Item(j).Close();
      throw EStreamError(SafeFormat("File \"%s\" missing or modified", atom.FileName.string()));
    }
    size_ += atom.FileSize();
  }
}

TFileClusterReadOnlyStream::~TFileClusterReadOnlyStream() {
  for (size_t i = 0; i < cluster_.Count(); ++i) cluster_.Item(i).Close();
}

bool TFileClusterReadOnlyStream::Locate() {
  for (size_t i = 0; i < cluster_.Count(); ++i) {
    current_ = i;
    const TFileAtom& a = cluster_.Item(i);
    if (a.Cluster_offset <= position_ && position_ < a.Cluster_offset + a.MaxSize) return true;
  }
  return false;
}

int64_t TFileClusterReadOnlyStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t delivered = 0;
  while (count > 0 && position_ >= 0 && Locate()) {
    TFileAtom& atom = cluster_.Item(current_);
    if (!atom.IsOpen()) break;
    int64_t avail = atom.Cluster_offset + atom.MaxSize - position_;
    int64_t n = std::min(avail, count);
    ssize_t got = ::pread(atom.Handle(), out, static_cast<size_t>(n), position_ - atom.Cluster_offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      return delivered > 0 ? delivered : -1;
    }
    // Only what the file delivered moves the position; a file that shrank ends the read.
    position_ += got;
    delivered += got;
    out += got;
    count -= got;
    if (got < n) break;
  }
  return delivered;
}

int64_t TFileClusterReadOnlyStream::Write(const void*, int64_t) { return 0; }

int64_t TFileClusterReadOnlyStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::Begin: position_ = offset; break;
    case TSeekOrigin::Current:
      if (offset == 0) return position_;
      position_ += offset;
      break;
    case TSeekOrigin::End: position_ = size_ + offset; break;
  }
  Locate();
  return position_;
}

TFileClusterRWStream::TFileClusterRWStream(TFileCluster& cluster) : TFileClusterReadOnlyStream(cluster, NoOpen{}) {
  for (size_t i = 0; i < cluster_.Count(); ++i) size_ += cluster_.Item(i).FileSize();
  if (cluster_.Count() > 0 && !cluster_.Item(0).OpenWrite())
    throw EStreamError(SafeFormat("Cannot open \"%s\" for writing: %s", cluster_.Item(0).FileName.string(),
                                  std::string(std::strerror(errno))));
  position_ = size_;
  Locate();
}

int64_t TFileClusterRWStream::Capacity() const {
  if (cluster_.Count() == 0) return 0;
  const TFileAtom& last = cluster_.Item(cluster_.Count() - 1);
  return last.Cluster_offset + last.MaxSize;
}

int64_t TFileClusterRWStream::Write(const void* buffer, int64_t count) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t written = 0;
  while (count > 0 && position_ >= 0 && Locate()) {
    TFileAtom& atom = cluster_.Item(current_);
    if (!atom.IsOpen() && !atom.OpenWrite()) {
      error_ = SafeFormat("Cannot open \"%s\" for writing: %s", atom.FileName.string(), std::string(std::strerror(errno)));
      break;
    }
    int64_t n = std::min(atom.Cluster_offset + atom.MaxSize - position_, count);
    ssize_t put = ::pwrite(atom.Handle(), in, static_cast<size_t>(n), position_ - atom.Cluster_offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // A full disk or a file-size limit: the caller must see the short count.
      error_ = SafeFormat("Cannot write \"%s\": %s", atom.FileName.string(),
                          std::string(put < 0 ? std::strerror(errno) : "no space written"));
      break;
    }
    position_ += put;
    written += put;
    in += put;
    count -= put;
    atom.NoteWritten(position_ - atom.Cluster_offset);
    size_ = std::max(size_, atom.Cluster_offset + atom.FileSize());
  }
  if (count > 0 && error_.empty()) error_ = "the output is full: no member file is left to write into";
  return written;
}

void TFileClusterRWStream::SetSize(int64_t newSize) {
  int64_t end = 0;
  for (size_t i = 0; i < cluster_.Count(); ++i) {
    TFileAtom& atom = cluster_.Item(i);
    int64_t n = std::min(newSize - atom.Cluster_offset, atom.MaxSize);
    if (n > 0) {
      if (!atom.IsOpen() && !atom.OpenWrite()) continue;
      atom.SetFileSize(n);
      end = atom.Cluster_offset + n;
    } else if (atom.IsOpen()) {
      atom.SetFileSize(0);
    }
  }
  size_ = position_ = end;
}

}  // namespace vidoria
