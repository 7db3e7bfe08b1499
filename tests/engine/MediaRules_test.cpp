#include "engine/U_HeaderSyncedFifo.h"
#include "engine/U_MediaRules.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(MediaRules, LetterboxBands) {
  struct Case {
    double source, target;
    int height;
    int top, left;
  };
  const Case cases[] = {
      {640.0 / 272, 16.0 / 9, 576, 64, 0},  // rint(70) rounded down to 64
      {4.0 / 3, 4.0 / 3, 576, 0, 0},
      {1.34, 4.0 / 3, 576, 0, 0},           // within 0.02
      {16.0 / 9, 4.0 / 3, 576, 72, 0},      // widescreen in 4:3: letterbox
      {4.0 / 3, 16.0 / 9, 576, 0, 88},      // 4:3 in 16:9: pillarbox
      {1.80, 16.0 / 9, 480, 0, 0},          // a band of 2 px is dropped, not rounded
      {1.86, 16.0 / 9, 576, 0, 0},          // e = 13: no bands rather than 8
  };
  for (const auto& c : cases) {
    TPadding p = LetterboxBands(c.source, c.target, 720, c.height);
    EXPECT_EQ(p.top, c.top) << c.source;
    EXPECT_EQ(p.bottom, c.top);
    EXPECT_EQ(p.left, c.left) << c.source;
    EXPECT_EQ(p.right, c.left);
  }
}

TEST(MediaRules, FrameRepeatCount) {
  EXPECT_EQ(FrameRepeatCount(0.2, 0, 0), 1);
  EXPECT_EQ(FrameRepeatCount(3.0, 0, 0), 4) << "three frames ahead: three periods made up, then the picture";
  EXPECT_EQ(FrameRepeatCount(-2.0, 0, 0), 0) << "two frames behind: dropped";
  EXPECT_EQ(FrameRepeatCount(0.99, 0, 0), 1);
  EXPECT_EQ(FrameRepeatCount(1.0, 0, 0), 2) << "a whole frame ahead: made up at once";
  EXPECT_EQ(FrameRepeatCount(-1.0, 0, 0), 1);
  EXPECT_EQ(FrameRepeatCount(3.0, 5, 5), 1) << "balanced corrections widen the window to +-4";
  EXPECT_EQ(FrameRepeatCount(-3.9, 5, 5), 1);
  EXPECT_EQ(FrameRepeatCount(4.0, 5, 5), 5);
  EXPECT_EQ(FrameRepeatCount(2.0, 5, 0), 3) << "one kind only keeps -1 / 1";
  EXPECT_EQ(FrameRepeatCount(1.5, 0, 0), 3) << "a frame and a half ahead: back to half a frame behind";
  EXPECT_EQ(FrameRepeatCount(500.0, 0, 0, 25), 25) << "a stray stamp 20 s ahead repeats a picture a second at most";
}

TEST(MediaRules, RatesGopsAndPulldown) {
  struct Case {
    AVRational in, out;
    int gop;
  };
  const Case cases[] = {{{25, 1}, {25, 1}, 13},
                        {{30000, 1001}, {30000, 1001}, 15},
                        {{24000, 1001}, {24000, 1001}, 12},
                        {{24, 1}, {24, 1}, 12},
                        {{50, 1}, {30000, 1001}, 15},
                        {{15, 1}, {24000, 1001}, 12}};
  for (const auto& c : cases) {
    AVRational r = NearestMpeg2Rate(c.in);
    EXPECT_EQ(av_cmp_q(r, c.out), 0) << c.in.num << "/" << c.in.den;
    EXPECT_EQ(GopSize(r), c.gop);
  }
  EXPECT_TRUE(NeedsPulldown({24000, 1001}, false, false));
  EXPECT_TRUE(NeedsPulldown({24, 1}, true, false));
  EXPECT_FALSE(NeedsPulldown({25, 1}, true, false));
  EXPECT_FALSE(NeedsPulldown({30000, 1001}, false, false));
  EXPECT_FALSE(NeedsPulldown({24000, 1001}, false, true)) << "too slow: duplicated instead";
}

TEST(MediaRules, AudioPlans) {
  struct Case {
    AVCodecID codec;
    int64_t inRate;
    int channels, sampleRate;
    bool copy;
    int64_t rate;
    int outChannels;
  };
  const Case cases[] = {
      {AV_CODEC_ID_AC3, 384000, 6, 48000, true, 384000, 6},
      {AV_CODEC_ID_AC3, 640000, 6, 48000, false, 448000, 6},  // beyond what players take
      {AV_CODEC_ID_AC3, 192000, 2, 44100, false, 192000, 2},  // not 48 kHz
      {AV_CODEC_ID_DTS, 1536000, 6, 48000, true, 1536000, 6},
      {AV_CODEC_ID_DTS, 1536000, 6, 44100, false, 448000, 6},
      {AV_CODEC_ID_MP3, 128000, 2, 44100, false, 192000, 2},
      {AV_CODEC_ID_AAC, 96000, 1, 48000, false, 192000, 2},
      {AV_CODEC_ID_AAC, 384000, 6, 48000, false, 448000, 6},
      {AV_CODEC_ID_AAC, 512000, 8, 48000, false, 448000, 6},  // 7.1 is mixed down to 5.1
      {AV_CODEC_ID_MP2, 224000, 2, 44100, false, 192000, 2},
      {AV_CODEC_ID_PCM_S16LE, 1536000, 1, 48000, false, 192000, 1},
  };
  for (const auto& c : cases) {
    TAudioPlan p = PlanAudio(c.codec, c.inRate, c.channels, c.sampleRate);
    EXPECT_EQ(p.copy, c.copy) << avcodec_get_name(c.codec);
    EXPECT_EQ(p.bitrate, c.rate);
    EXPECT_EQ(p.channels, c.outChannels);
  }
  EXPECT_EQ(GapThreshold(AV_CODEC_ID_MP3), 24000);
  EXPECT_EQ(GapThreshold(AV_CODEC_ID_ADPCM_MS), 500000);
  EXPECT_EQ(GapThreshold(AV_CODEC_ID_VORBIS), 150000);
  EXPECT_EQ(GapThreshold(AV_CODEC_ID_PCM_S16LE), 0) << "PCM holes are never padded";
}

TEST(HeaderSyncedFifo, CutsWholeFramesAndDropsGarbage) {
  const uint8_t sync[] = {0x7F, 0xFE, 0x80, 0x01};
  THeaderSyncedFifo fifo;
  fifo.SetHeader(sync, 4, 16);
  std::vector<uint8_t> stream = {1, 2, 3};  // garbage before the first frame
  for (int f = 0; f < 3; ++f) {
    stream.insert(stream.end(), sync, sync + 4);
    for (int i = 0; i < 12; ++i) stream.push_back(static_cast<uint8_t>(f * 16 + i));
  }
  std::vector<uint8_t> frame;
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < stream.size(); i += 7) {  // packets that split frames anywhere
    fifo.Push(stream.data() + i, std::min<size_t>(7, stream.size() - i));
    if (fifo.Pop(frame)) frames.push_back(frame);
  }
  while (fifo.Pop(frame)) frames.push_back(frame);
  ASSERT_EQ(frames.size(), 3u);
  for (int f = 0; f < 3; ++f) {
    EXPECT_TRUE(std::equal(sync, sync + 4, frames[f].begin()));
    EXPECT_EQ(frames[f][4], f * 16);
    EXPECT_EQ(frames[f].size(), 16u);
  }
}

}  // namespace
}  // namespace vidoria
