#pragma once
// The demultiplexer's I/O context over a file cluster's read stream, so that spanned
// files (VTS_01_1.VOB + VTS_01_2.VOB, movie.avi + movie.avi.001) read as one file.

#include "input/U_AvUtils.h"
#include "input/U_FileFog.h"

#include <memory>
#include <string>

namespace vidoria {

class TClusterAvio {
 public:
  static constexpr int kBufferSize = 32768;

  // Opens the cluster's read stream. On failure returns none and sets `error`
  // (a member missing or changed, no memory).
  static std::unique_ptr<TClusterAvio> Open(TFileCluster& cluster, std::string& error);
  ~TClusterAvio();
  TClusterAvio(const TClusterAvio&) = delete;
  TClusterAvio& operator=(const TClusterAvio&) = delete;

  AVIOContext* Context() const { return avio_; }
  TFileClusterReadOnlyStream& Stream() { return *stream_; }
  int64_t Position() const { return stream_->Position(); }
  int64_t Size() const { return stream_->Size(); }

 private:
  TClusterAvio() = default;
  static int ReadPacket(void* opaque, uint8_t* buf, int size);
  static int64_t SeekTo(void* opaque, int64_t offset, int whence);

  std::unique_ptr<TFileClusterReadOnlyStream> stream_;
  AVIOContext* avio_ = nullptr;
};

}  // namespace vidoria
