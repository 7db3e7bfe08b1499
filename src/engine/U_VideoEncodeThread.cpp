#include "engine/U_VideoEncodeThread.h"

namespace vidoria {

TVideoEncodeThread::TVideoEncodeThread(AVCodecContext* encoder, size_t depth)
    : encoder_(encoder), depth_(depth < 1 ? 1 : depth), thread_([this] { Run(); }) {}

TVideoEncodeThread::~TVideoEncodeThread() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TVideoEncodeThread::Send(AvFramePtr picture) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return pictures_.size() < depth_ || stop_; });
  pictures_.push_back(std::move(picture));
  changed_.notify_all();
}

void TVideoEncodeThread::Take(std::vector<AvPacketPtr>& out, bool wait) {
  std::unique_lock lock(mutex_);
  if (wait) changed_.wait(lock, [this] { return (pictures_.empty() && !busy_) || stop_; });
  while (!packets_.empty()) {
    out.push_back(std::move(packets_.front()));
    packets_.pop_front();
  }
}

int64_t TVideoEncodeThread::Refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

void TVideoEncodeThread::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !pictures_.empty() || stop_; });
    if (stop_) return;
    AvFramePtr picture = std::move(pictures_.front());
    pictures_.pop_front();
    busy_ = true;
    changed_.notify_all();  // room in the queue
    lock.unlock();

    std::vector<AvPacketPtr> encoded;
    const int sent = avcodec_send_frame(encoder_, picture.get());
    if (sent >= 0 || sent == AVERROR_EOF) {
      for (;;) {
        AvPacketPtr p = MakePacket();
        if (!p || avcodec_receive_packet(encoder_, p.get()) < 0) break;
        encoded.push_back(std::move(p));
      }
    }

    lock.lock();
    if (sent < 0 && sent != AVERROR_EOF) ++refused_;
    for (auto& p : encoded) packets_.push_back(std::move(p));
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace vidoria
