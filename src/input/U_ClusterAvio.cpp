#include "input/U_ClusterAvio.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstdio>

namespace vidoria {

std::unique_ptr<TClusterAvio> TClusterAvio::Open(TFileCluster& cluster, std::string& error) {
  std::unique_ptr<TClusterAvio> io(new TClusterAvio());
  try {
    io->stream_ = cluster.OpenRead();
  } catch (const EStreamError& e) {
    error = e.what();
    return nullptr;
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (!buffer) {
    error = "out of memory";
    return nullptr;
  }
  io->avio_ = avio_alloc_context(buffer, kBufferSize, 0, io.get(), &TClusterAvio::ReadPacket, nullptr,
                                 &TClusterAvio::SeekTo);
  if (!io->avio_) {
    av_free(buffer);
    error = "out of memory";
    return nullptr;
  }
  return io;
}

TClusterAvio::~TClusterAvio() {
  if (avio_) {
    // The library may have replaced the buffer; free whichever it holds now.
    av_freep(&avio_->buffer);
    avio_context_free(&avio_);
  }
}

int TClusterAvio::ReadPacket(void* opaque, uint8_t* buf, int size) {
  auto* self = static_cast<TClusterAvio*>(opaque);
  int64_t got = self->stream_->Read(buf, size);
  if (got < 0) return AVERROR(EIO);
  // The library does not take 0 for the end of the file.
  if (got == 0) return AVERROR_EOF;
  return static_cast<int>(got);
}

int64_t TClusterAvio::SeekTo(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<TClusterAvio*>(opaque);
  TFileClusterReadOnlyStream& s = *self->stream_;
  if (whence & AVSEEK_SIZE) return s.Size();
  whence &= ~AVSEEK_FORCE;
  int64_t target;
  switch (whence) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = s.Position() + offset; break;
    case SEEK_END: target = s.Size() + offset; break;
    default: return AVERROR(EINVAL);
  }
  if (target < 0) return AVERROR(EINVAL);
  return s.Seek(target, TSeekOrigin::Begin);
}

}  // namespace vidoria
