#include "encode/U_Encoder_50.h"

#include "mux/U_VobuCollection.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vidoria {
namespace {

using test::TempDir;

struct Captured {
  int stream;
  int64_t pts, dts, duration;
  std::vector<uint8_t> data;
  TMuxPacketDescriptor d;
};

class Encoder : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TDVDPalette> palette = std::make_shared<TDVDPalette>();
  TFFMpeg_encoder enc{palette};
  std::vector<Captured> packets;
  std::vector<std::pair<TSeverity, std::string>> log;

  void SetUp() override {
    enc.LogCallback = [this](const void*, TSeverity s, const std::string& t) { log.emplace_back(s, t); };
    enc.OnPacket = [this](int stream, int64_t pts, int64_t dts, int64_t duration, const std::vector<uint8_t>& data,
                          const TMuxPacketDescriptor& d) { packets.push_back({stream, pts, dts, duration, data, d}); };
    enc.OnFrame = [](int64_t k, bool&, uint8_t&, uint16_t&, TBitmap32& canvas, int64_t) {
      canvas.Clear(0xFF000000 | uint32_t(k * 7 % 256) << 8);
      canvas.FillRect(RectOf(int(k * 5 % 600), 100, 80, 80), 0xFFFFFFFF);
    };
  }
  std::string Probe(const std::filesystem::path& f, const std::string& entries) {
    std::string out;
    EXPECT_EQ(test::RunCommand("ffprobe -v error -count_frames -show_entries " + entries + " -of compact=p=0 '" +
                                   f.string() + "'",
                               &out),
              0)
        << out;
    return out;
  }
  void TearDown() override {
    if (HasFailure())
      for (const auto& e : log) std::cerr << "log " << int(e.first) << ": " << e.second << "\n";
  }
  bool LogHas(TSeverity s, const std::string& text) const {
    for (const auto& e : log)
      if (e.first == s && e.second.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(Encoder, BitrateStandardAndCanvas) {
  // The audio stream count enters the ceiling even with audio disabled.
  enc.SetAudioDisabled(true);
  enc.SetVideoBitrate(9000000);
  EXPECT_EQ(enc.Settings().VideoBitrate, 8716000);
  EXPECT_EQ(enc.Settings().MaxRate, 8716000);
  EXPECT_EQ(enc.Settings().BitrateTolerance, 8716000);
  enc.SetVideoBitrate(4000000);
  EXPECT_EQ(enc.Settings().VideoBitrate, 4000000);
  EXPECT_EQ(enc.Settings().MaxRate, 8716000);

  enc.SetVideoStandard("NTSC");
  EXPECT_EQ(enc.Settings().Height, 480);
  EXPECT_EQ(enc.Settings().FrameRate.num, 30000);
  EXPECT_EQ(enc.Settings().FrameRate.den, 1001);
  EXPECT_EQ(enc.Settings().GopSize, 15);
  EXPECT_EQ(enc.FrameDuration(), 3003);
  try {
    enc.SetVideoStandard("secam");
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Incorrect video standard set");
  }
  enc.SetVideoStandard("Pal");
  EXPECT_EQ(enc.Settings().Height, 576);

  EXPECT_EQ(enc.CanvasWidth(), 720);
  EXPECT_EQ(enc.CanvasHeight(), 540);
  enc.SetAspectRatio(16.0 / 9.0);
  EXPECT_EQ(enc.CanvasHeight(), 408);
  EXPECT_TRUE(enc.Collection()->Widescreen);

  enc.SetSubpictureStreamCount(2);
  enc.SetSubpictureLanguage(0, "FRA");
  enc.SetSubpictureLanguage(1, "x");
  EXPECT_EQ(enc.Settings().SubpictureLanguages[0], (std::array<char, 2>{'f', 'r'}));
  EXPECT_EQ(enc.Settings().SubpictureLanguages[1], (std::array<char, 2>{0, 0}));
  enc.SetAudioStreamCount(0);
  EXPECT_EQ(enc.Settings().AudioStreams, 1);
}

TEST_F(Encoder, RefusesARunWithoutOutputOrFrames) {
  enc.SetFrameCount(5);
  EXPECT_FALSE(enc.Encode(1));
  EXPECT_TRUE(LogHas(EVT_ERROR, "Output file is not set"));
  enc.Cluster().AddFile(dir / "x.vob", TFFMpeg_encoder::kMaxMenuVobSize);
  enc.SetFrameCount(0);
  EXPECT_FALSE(enc.Encode(1));
  EXPECT_TRUE(LogHas(EVT_ERROR, "No frames to encode"));
  // An audio codec FFmpeg can only decode.
  enc.SetFrameCount(5);
  enc.SetAudioCodec(AV_CODEC_ID_QDM2, 128000, 48000, 2);
  EXPECT_FALSE(enc.Encode(1));
  EXPECT_TRUE(LogHas(EVT_ERROR, "No encoder for qdm2"));
  EXPECT_FALSE(std::filesystem::exists(dir / "x.vob"));
}

// Video and one sub-picture stream, no audio: times, descriptors and the VOB.
TEST_F(Encoder, VideoAndSubpictureTimesAndDescriptors) {
  const auto file = dir / "a.vob";
  enc.SetAudioDisabled(true);
  enc.SetSubpictureStreamCount(1);
  enc.SetClosedGop(true);
  enc.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
  enc.SetFrameCount(30);
  auto highlight = std::make_shared<TNavHighlight>();
  highlight->Buttons.push_back(TNavButton{1, false, 100, 120, 100, 120, 1, 1, 1, 1, {}});
  enc.OnSubpicture = [&](int64_t k, int stream, TEncodedSubpicture& unit) {
    EXPECT_EQ(stream, 0);
    if (k != 3) return false;
    // A minimal unit: an empty picture shown at once.
    unit.Data = {0x00, 0x12, 0x00, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x0C, 0x01, 0xFF};
    unit.Highlight = highlight;
    return true;
  };
  int notified = 0;
  enc.OnStreamInfo = [&](int w, int h, int fps, int ax, int ay) {
    ++notified;
    EXPECT_EQ(w, 720);
    EXPECT_EQ(h, 576);
    EXPECT_EQ(fps, 25);
    EXPECT_EQ(ax, 4);
    EXPECT_EQ(ay, 3);
  };
  ASSERT_TRUE(enc.Encode(7));
  EXPECT_EQ(notified, 1);

  std::vector<Captured> video, spu;
  for (const auto& p : packets) (p.d.Kind == MPK_VIDEO ? video : spu).push_back(p);
  ASSERT_EQ(spu.size(), 1u);
  EXPECT_EQ(spu[0].d.StreamId, 0x20);
  EXPECT_EQ(spu[0].pts, 4 * 3600);  // frame 3 + one frame
  EXPECT_EQ(spu[0].dts, spu[0].pts);
  EXPECT_EQ(spu[0].duration, (30 - 3) * 3600);
  EXPECT_EQ(spu[0].d.Highlight, highlight);
  EXPECT_EQ(spu[0].d.VobId, 7);

  // 30 pictures and the sequence end code.
  ASSERT_EQ(video.size(), 31u);
  EXPECT_EQ(video.back().data, (std::vector<uint8_t>{0, 0, 1, 0xB7}));
  int64_t lastI = -1;
  int is = 0;
  for (size_t i = 0; i + 1 < video.size(); ++i) {
    const Captured& v = video[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(v.dts, int64_t(i) * 3600);
    EXPECT_EQ(v.d.StreamId, 0xE0);
    EXPECT_EQ(v.d.VobId, 7);
    EXPECT_EQ(v.d.CellId, 1);
    ASSERT_NE(v.d.PictureType, PICT_NONE);
    if (v.d.PictureType == PICT_I) {
      ++is;
      EXPECT_GE(v.pts, v.dts + 3600);
      EXPECT_EQ(v.d.TemporalReference, 0);  // closed GOPs start with their I picture
      EXPECT_EQ(v.d.GopTime, lastI < 0 ? 0 : v.dts - lastI);
      lastI = v.dts;
    }
  }
  EXPECT_EQ(video[0].d.PictureType, PICT_I);
  EXPECT_EQ(is, 3);  // GOPs of 12

  EXPECT_EQ(enc.Collection()->Cells.size(), 1u);
  const std::string out = Probe(file, "stream=codec_name,id,nb_read_frames");
  EXPECT_NE(out.find("codec_name=mpeg2video|id=0x1e0|nb_read_frames=30"), std::string::npos) << out;
  EXPECT_NE(out.find("codec_name=dvd_subtitle|id=0x20"), std::string::npos) << out;
  EXPECT_EQ(out.find("audio"), std::string::npos) << out;
}

TEST_F(Encoder, SilentAudioAlongsideVideo) {
  struct Case {
    AVCodecID codec;
    int64_t bitrate;
    int channels, frameSize;
    const char* probe;
  } cases[] = {
      {AV_CODEC_ID_MP2, 384000, 2, 1152, "codec_name=mp2|sample_rate=48000|channels=2"},
      {AV_CODEC_ID_AC3, 448000, 6, 1536, "codec_name=ac3|sample_rate=48000|channels=6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.probe);
    packets.clear();
    const auto file = dir / (std::string(avcodec_get_name(c.codec)) + ".vob");
    enc.ResetDefaults();
    enc.SetAudioCodec(c.codec, c.bitrate, 48000, c.channels);
    enc.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
    enc.SetFrameCount(50);
    int asked = 0;
    enc.OnAudio = [&](int stream, bool&, int16_t*, int& bytes) {
      EXPECT_EQ(stream, 1);
      EXPECT_EQ(bytes, c.frameSize * c.channels * 2);
      ++asked;
    };
    ASSERT_TRUE(enc.Encode(1));
    const int64_t ticks = int64_t(c.frameSize) * 90000 / 48000;
    std::vector<Captured> audio;
    for (const auto& p : packets)
      if (p.d.Kind == MPK_AUDIO) audio.push_back(p);
    // Fed while the audio time is behind the 49th frame's (1.96 s).
    EXPECT_EQ(asked, (49 * 3600 + ticks - 1) / ticks);
    ASSERT_GE(audio.size(), size_t(asked - 2));
    for (size_t i = 0; i < audio.size(); ++i) {
      EXPECT_EQ(audio[i].d.StreamId, 0x80);
      EXPECT_EQ(audio[i].duration, ticks);
      EXPECT_EQ(audio[i].pts, int64_t(i) * ticks + 3600);
      EXPECT_EQ(audio[i].dts, audio[i].pts);
    }
    const std::string out = Probe(file, "stream=codec_name,sample_rate,channels");
    EXPECT_NE(out.find(c.probe), std::string::npos) << out;
  }
}

TEST_F(Encoder, StopFlagEndsTheRunAndTheFileIsComplete) {
  const auto file = dir / "c.vob";
  enc.SetAudioDisabled(true);
  enc.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
  enc.SetFrameCount(100);
  enc.OnFrame = [](int64_t k, bool& stop, uint8_t&, uint16_t&, TBitmap32& canvas, int64_t) {
    canvas.Clear(0xFF204060);
    if (k == 19) stop = true;
  };
  EXPECT_TRUE(enc.Encode(1));
  const std::string out = Probe(file, "stream=nb_read_frames");
  EXPECT_NE(out.find("nb_read_frames=20"), std::string::npos) << out;
  EXPECT_EQ(std::filesystem::file_size(file) % 2048, 0u);
}

// A write that the output refuses (here the member's size limit, as on a full disk)
// fails the run with an error instead of reporting success.
TEST_F(Encoder, AFailedWriteFailsTheRun) {
  enc.SetAudioDisabled(true);
  enc.Cluster().AddFile(dir / "d.vob", 16 * 2048);
  enc.SetFrameCount(100);
  EXPECT_FALSE(enc.Encode(1));
  int errors = 0;
  for (const auto& e : log) errors += e.first == EVT_ERROR;
  EXPECT_GE(errors, 1);
}

TEST_F(Encoder, StillAppendsOneFrameAsTheNextVob) {
  const auto file = dir / "e.vob";
  enc.SetAudioDisabled(true);
  enc.SetClosedGop(true);
  enc.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
  enc.SetFrameCount(25);
  ASSERT_TRUE(enc.Encode(1));
  const auto before = std::filesystem::file_size(file);
  auto vobus = enc.DetachVobuCollection();
  ASSERT_EQ(vobus->Cells.size(), 1u);

  TStill_Encoder still;
  still.Picture.SetSize(100, 100, 0xFFFF0000);
  ASSERT_TRUE(still.Encode(file, vobus, true, false));
  EXPECT_GT(std::filesystem::file_size(file), before);
  ASSERT_EQ(vobus->Cells.size(), 2u);
  EXPECT_EQ(vobus->Cells[1].VobId, 2);
  EXPECT_EQ(vobus->Cells[1].FirstSector, before / 2048);
  const std::string out = Probe(file, "stream=nb_read_frames");
  EXPECT_NE(out.find("nb_read_frames=26"), std::string::npos) << out;
}

}  // namespace
}  // namespace vidoria
