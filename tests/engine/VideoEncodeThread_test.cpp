#include "engine/U_VideoEncodeThread.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

AvCodecContextPtr OpenMpeg2(int bFrames) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
  AvCodecContextPtr c(avcodec_alloc_context3(codec));
  c->width = 176;
  c->height = 144;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, 25};
  c->framerate = {25, 1};
  c->gop_size = 12;
  c->max_b_frames = bFrames;
  EXPECT_EQ(avcodec_open2(c.get(), codec, nullptr), 0);
  return c;
}

AvFramePtr Picture(int64_t pts) {
  AvFramePtr f = MakeFrame();
  f->width = 176;
  f->height = 144;
  f->format = AV_PIX_FMT_YUV420P;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  for (int plane = 0; plane < 3; ++plane)
    for (int y = 0; y < (plane ? 72 : 144); ++y)
      for (int x = 0; x < (plane ? 88 : 176); ++x)
        f->data[plane][y * f->linesize[plane] + x] = static_cast<uint8_t>(x + y + pts * 3);
  f->pts = pts;
  return f;
}

TEST(VideoEncodeThread, EveryPictureComesBackInDecodeOrderOnceDrained) {
  AvCodecContextPtr enc = OpenMpeg2(2);
  std::vector<AvPacketPtr> packets;
  {
    TVideoEncodeThread thread(enc.get(), 2);
    for (int64_t i = 0; i < 30; ++i) {
      thread.Send(Picture(i));
      thread.Take(packets, false);
    }
    thread.Send(nullptr);
    thread.Take(packets, true);
    EXPECT_EQ(thread.Refused(), 0);
  }
  ASSERT_EQ(packets.size(), 30u);
  for (size_t i = 1; i < packets.size(); ++i) EXPECT_GT(packets[i]->dts, packets[i - 1]->dts);
}

TEST(VideoEncodeThread, StopsWithPicturesStillQueued) {
  AvCodecContextPtr enc = OpenMpeg2(0);
  {
    TVideoEncodeThread thread(enc.get(), 8);
    for (int64_t i = 0; i < 8; ++i) thread.Send(Picture(i));
  }  // a cancelled title: the queue is dropped and the thread joined
  // The encoder is the caller's again and still sound.
  EXPECT_EQ(avcodec_send_frame(enc.get(), Picture(100).get()), 0);
}

}  // namespace
}  // namespace vidoria
