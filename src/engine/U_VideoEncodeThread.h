#pragma once
// A video encoder running on a thread of its own, so that a title's reading, decoding
// and scaling go on while earlier pictures are being encoded.

#include "input/U_AvUtils.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vidoria {

class TVideoEncodeThread {
 public:
  // `encoder` is an opened encoder context that only this thread uses from now on; it
  // must outlive this object. At most `depth` pictures wait for it.
  explicit TVideoEncodeThread(AVCodecContext* encoder, size_t depth = 4);
  ~TVideoEncodeThread();  // stops after the picture being encoded and joins
  TVideoEncodeThread(const TVideoEncodeThread&) = delete;
  TVideoEncodeThread& operator=(const TVideoEncodeThread&) = delete;

  // Queues a picture (nullptr: the end of the stream, after which the encoder is
  // drained). Waits while `depth` pictures are queued.
  void Send(AvFramePtr picture);
  // Moves the packets encoded so far, in the encoder's order, into `out`. With
  // `wait`, first waits until everything sent has gone through the encoder.
  void Take(std::vector<AvPacketPtr>& out, bool wait);
  // Pictures the encoder refused (each emits nothing, as with a synchronous encoder).
  int64_t Refused() const;

 private:
  void Run();

  AVCodecContext* encoder_;
  const size_t depth_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<AvFramePtr> pictures_;  // a null entry ends the stream
  std::deque<AvPacketPtr> packets_;
  bool busy_ = false;   // a picture is in the encoder
  bool stop_ = false;
  int64_t refused_ = 0;
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace vidoria
