#pragma once
// A file cluster: an ordered set of files read or written as one continuous stream with
// 64-bit positions. On input it joins a movie cut into pieces (VTS_01_1.VOB, ...,
// movie.avi.001, ...); on output it cuts a title set's video objects into VOB files of
// at most 1073709056 bytes (VTS_nn_1.VOB to VTS_nn_9.VOB).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vidoria {

// Raised when a read stream cannot be built over its members.
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One member file of a cluster.
class TFileAtom {
 public:
  TFileAtom() = default;
  // Copies name, offset and sizes, never the open file.
  TFileAtom(const TFileAtom& other) { Assign(other); }
  TFileAtom& operator=(const TFileAtom& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  // Moving keeps the open file with the member.
  TFileAtom(TFileAtom&& other) noexcept { *this = std::move(other); }
  TFileAtom& operator=(TFileAtom&& other) noexcept;
  ~TFileAtom() { Close(); }
  void Assign(const TFileAtom& other);

  std::filesystem::path FileName;
  int64_t Cluster_offset = 0;  // stream position of this member's first byte
  int64_t MaxSize = 0;         // stream bytes this member holds

  int64_t FileSize() const { return fileSize_; }
  // Raises MaxSize when larger; an open file is resized too. False when that fails.
  bool SetFileSize(int64_t size);

  // Records data written up to `end` (relative to the member) without touching the file.
  void NoteWritten(int64_t end) {
    if (end > fileSize_) fileSize_ = end;
    if (fileSize_ > MaxSize) MaxSize = fileSize_;
  }

  // Opens read-only; succeeds only when the size on disk equals FileSize().
  bool OpenRead();
  // Opens for writing, creating the file and its folders when missing. The file is cut
  // to FileSize(), so a stale file that could not be deleted is never partly reused.
  // Another writer holding the file makes this fail.
  bool OpenWrite();
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Handle() const { return fd_; }

 private:
  int64_t fileSize_ = 0;
  int fd_ = -1;
};

class TFileClusterReadOnlyStream;
class TFileClusterRWStream;

class TFileCluster {
 public:
  static constexpr int64_t kVobPartSize = 1073709056;  // 524272 sectors: 1 GiB less 16 sectors
  static constexpr int kMaxVobParts = 9;

  // `vobPartSize` is the member size PrepareVobOutput uses; tests pass small ones.
  explicit TFileCluster(int64_t vobPartSize = kVobPartSize) : vobPartSize_(vobPartSize) {}
  TFileCluster(const TFileCluster&) = default;
  TFileCluster& operator=(const TFileCluster&) = default;
  void Assign(const TFileCluster& other) { *this = other; }

  // The cluster's folder, always with a trailing '/'. When none was set, the folder of
  // the first member.
  std::string Path() const;
  void SetPath(const std::string& path);

  size_t Count() const { return atoms_.size(); }
  TFileAtom& Item(size_t i) { return atoms_[i]; }
  const TFileAtom& Item(size_t i) const { return atoms_[i]; }
  void Clear() { atoms_.clear(); }
  int64_t VobPartSize() const { return vobPartSize_; }

  // Appends a member after the last one. Readers pass -1 (the member holds the file's
  // current size), writers the part size.
  TFileAtom& AddFile(const std::filesystem::path& fileName, int64_t maxSize);
  // Fills the cluster from one file the user chose, following VOB part numbers
  // (VTS_nn_K.VOB) or numbered continuations (name.ext.001, name.01.ext).
  void LoadSpannedSet(const std::filesystem::path& fileName);
  // Clears the cluster and adds VIDEO_TS.VOB (menu) or VTS_nn_1.VOB .. VTS_nn_9.VOB.
  void PrepareVobOutput(int titleSet, bool menu);
  // Deletes every member's file (a missing file counts as deleted) and zeroes the
  // recorded sizes. False when any deletion failed.
  bool DeleteFiles();
  int64_t TotalSize() const;
  // Compares the recorded sizes with the files on disk; at the first difference returns
  // false with that member's name.
  bool CheckUnchanged(std::filesystem::path& changed) const;

  // Streams over this cluster; the cluster must outlive them. OpenRead raises
  // EStreamError "File \"%s\" missing or modified" when a member changed.
  std::unique_ptr<TFileClusterReadOnlyStream> OpenRead();
  std::unique_ptr<TFileClusterRWStream> OpenWrite();

  // "VTS_%.2d_%d.VOB"
  static std::string VobName(int titleSet, int part);

 private:
  std::string path_;
  std::vector<TFileAtom> atoms_;
  int64_t vobPartSize_;
};

enum class TSeekOrigin { Begin, Current, End };

class TFileClusterReadOnlyStream {
 public:
  // Opens every member for reading; raises EStreamError when one is missing or has
  // another size than recorded.
  explicit TFileClusterReadOnlyStream(TFileCluster& cluster);
  virtual ~TFileClusterReadOnlyStream();
  TFileClusterReadOnlyStream(const TFileClusterReadOnlyStream&) = delete;
  TFileClusterReadOnlyStream& operator=(const TFileClusterReadOnlyStream&) = delete;

  // Returns the bytes delivered, -1 on an I/O error (see Error()). The position
  // advances by what was delivered.
  int64_t Read(void* buffer, int64_t count);
  // The read stream writes nothing and returns 0.
  virtual int64_t Write(const void* buffer, int64_t count);
  int64_t Seek(int64_t offset, TSeekOrigin origin);
  virtual void SetSize(int64_t) {}

  int64_t Size() const { return size_; }
  int64_t Position() const { return position_; }
  size_t CurrentIndex() const { return current_; }
  const std::string& Error() const { return error_; }
  TFileCluster& Cluster() { return cluster_; }

 protected:
  struct NoOpen {};
  TFileClusterReadOnlyStream(TFileCluster& cluster, NoOpen);
  // Makes the member that holds the position current; false when none does.
  bool Locate();

  TFileCluster& cluster_;
  size_t current_ = 0;
  int64_t size_ = 0;
  int64_t position_ = 0;
  std::string error_;
};

class TFileClusterRWStream : public TFileClusterReadOnlyStream {
 public:
  // Opens member 0 for writing and positions at the end of the recorded data. Raises
  // EStreamError when member 0 cannot be opened.
  explicit TFileClusterRWStream(TFileCluster& cluster);

  // Returns the bytes written. Less than `count` means the disk refused some (see
  // Error()) or the last member is full; callers treat both as a failed write.
  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t newSize) override;
  int64_t Capacity() const;
};

}  // namespace vidoria
