#include "engine/U_TitleConversion.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vidoria {
namespace {
namespace fs = std::filesystem;

struct Recorded {
  struct Packet {
    int stream;
    int64_t pts, dts, duration;
    std::vector<uint8_t> data;
    TMuxPacketDescriptor desc;
  };
  TMuxOpenParams params;
  std::vector<Packet> packets;
  bool finished = false;

  std::vector<const Packet*> Of(TMuxPacketKind kind) const {
    std::vector<const Packet*> out;
    for (const auto& p : packets)
      if (params.streams[p.stream].kind == kind) out.push_back(&p);
    return out;
  }
};

struct RecordingSink : IMuxSink {
  Recorded& r;
  explicit RecordingSink(Recorded& rec) : r(rec) {}
  bool Open(const TMuxOpenParams& p) override {
    r.params = p;
    return true;
  }
  bool Write(const TMuxPacketIn& p) override {
    r.packets.push_back({p.StreamIndex, p.Pts, p.Dts, p.Duration, {p.Data.begin(), p.Data.end()}, *p.Descriptor});
    return true;
  }
  bool Finish() override { return r.finished = true; }
  std::shared_ptr<TVobuCollection> Collection() override { return nullptr; }
  int64_t AudioPacks() const override { return 0; }
};

struct Harness {
  test::TempDir dir;
  Recorded rec;
  TJobControl control;
  TLoggingObject log;
  std::vector<std::string> lines;

  Harness() {
    log.LogCallback = [this](const void*, TSeverity, const std::string& t) { lines.push_back(t); };
  }

  std::unique_ptr<TTitleConversion> Open(const fs::path& file, TUserChapterList chapters = {}) {
    auto set = std::make_unique<Tav_titleset>();
    set->LogCallback = log.LogCallback;
    TFileCluster c;
    c.LoadSpannedSet(file);
    TAv_input_file* f = set->AddFile(c);
    EXPECT_NE(f, nullptr);
    if (f) f->AnalyseSync();
    for (size_t i = 0; i < set->StreamCount(); ++i) set->Stream(i).Discard = false;
    TTitleFacts facts;
    facts.name = file.stem().string();
    return std::make_unique<TTitleConversion>(std::move(set), std::move(chapters), facts,
                                              [this] { return std::make_unique<RecordingSink>(rec); });
  }

  TTitleReport Convert(TTitleConversion& t, bool pal, int rateNum, int rateDen) {
    TTitleDecisions d;
    d.pal = pal;
    d.height = pal ? 576 : 480;
    d.widescreen = false;
    d.display_aspect = 4.0f / 3.0f;
    d.frame_rate = DecideFrameRate(pal, rateNum, rateDen);
    d.rates = *TitleVideoRates(6000000, 192000, TVideoRates{});
    return Run(t, d);
  }

  // Converts a title as the first of a folder in the temporary directory.
  TTitleReport Run(IConversionTitle& t, const TTitleDecisions& d) {
    TFileCluster out(64 << 20);
    out.SetPath((dir / "VIDEO_TS").string());
    out.PrepareVobOutput(1, false);
    TTitleContext ctx{control, log, [](int64_t) {}, [](const std::string&) {}};
    return t.Convert(d, out, ctx);
  }
};

// A PAL title at 25 pictures a second, 4:3 or 16:9.
TTitleDecisions PalDecisions(bool widescreen) {
  TTitleDecisions d;
  d.frame_rate = DecideFrameRate(true, 25, 1);
  d.widescreen = widescreen;
  if (widescreen) d.display_aspect = 16.0f / 9;
  return d;
}

// Decodes the recorded AC-3 packets and returns the time (µs from the first packet's
// presentation) of the first sample louder than a tenth of full scale.
int64_t FirstSoundUs(const Recorded& rec) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AC3);
  AvCodecContextPtr dec(avcodec_alloc_context3(codec));
  EXPECT_EQ(avcodec_open2(dec.get(), codec, nullptr), 0);
  AvPacketPtr pkt = MakePacket();
  AvFramePtr frame = MakeFrame();
  int64_t samples = 0;
  for (const auto* p : rec.Of(MPK_AUDIO)) {
    av_new_packet(pkt.get(), static_cast<int>(p->data.size()));
    std::copy(p->data.begin(), p->data.end(), pkt->data);
    avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
      const float* ch0 = reinterpret_cast<const float*>(frame->extended_data[0]);
      for (int i = 0; i < frame->nb_samples; ++i)
        if (std::fabs(ch0[i]) > 0.1f) return (samples + i) * 1000000 / frame->sample_rate;
      samples += frame->nb_samples;
    }
  }
  return -1;
}

bool HasRepeatFirstField(const std::vector<uint8_t>& d) {
  for (size_t i = 0; i + 8 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0xB5 && (d[i + 4] >> 4) == 8) return d[i + 7] & 0x02;
  return false;
}

TEST(TitleConversion, PalTitleKeepsAudioInStepWithThePicture) {
  Harness h;
  const fs::path in = h.dir / "clip.mkv";
  // The tone starts half a second after the picture, and at 44.1 kHz.
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -itsoffset 0.5 -f lavfi -i "
                                  "sine=frequency=440:sample_rate=44100:duration=2 -c:v mpeg4 -c:a mp2"));
  auto title = h.Open(in);
  TTitleReport r = h.Convert(*title, true, 25, 1);
  ASSERT_TRUE(r.ok) << ::testing::PrintToString(h.lines);
  ASSERT_EQ(h.rec.params.streams.size(), 2u);
  EXPECT_EQ(h.rec.params.streams[0].codec, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(h.rec.params.streams[1].codec, AV_CODEC_ID_AC3);
  EXPECT_EQ(h.rec.params.streams[1].dvd_id, 0x80);
  EXPECT_TRUE(h.rec.finished);

  auto video = h.rec.Of(MPK_VIDEO);
  ASSERT_GE(video.size(), 74u);
  EXPECT_LE(video.size(), 77u);
  EXPECT_EQ(video.back()->data, (std::vector<uint8_t>{0, 0, 1, 0xB7})) << "the sequence ends with its end code";
  size_t lastI = 0;
  for (size_t i = 0; i + 1 < video.size(); ++i) {
    EXPECT_EQ(video[i]->dts, static_cast<int64_t>(i) * 3600);
    EXPECT_GE(video[i]->pts, video[i]->dts);
    if (video[i]->desc.PictureType != PICT_I) continue;
    EXPECT_LE(i - lastI, 13u) << "a PAL GOP holds at most 13 pictures here (15 on any DVD)";
    lastI = i;
  }
  EXPECT_EQ(video[0]->desc.PictureType, PICT_I);
  EXPECT_GE(video.size() - 1 - lastI, 1u);

  auto audio = h.rec.Of(MPK_AUDIO);
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(audio[0]->pts, 3600 - 480)
      << "the first sample plays with the first picture, one frame in, after the encoder's 256 samples of padding";
  for (size_t i = 1; i < audio.size(); ++i) EXPECT_EQ(audio[i]->pts - audio[i - 1]->pts, 2880);
  const int64_t sound = FirstSoundUs(h.rec);
  EXPECT_NEAR(sound, 500000, 40000) << "the tone must start half a second in, as in the source";
  EXPECT_NEAR(static_cast<double>(audio.back()->pts), 2.5 * 90000, 6000);
}

TEST(TitleConversion, FilmToNtscUsesSoftPulldown) {
  Harness h;
  const fs::path in = h.dir / "film.mp4";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=320x240:rate=24000/1001:duration=2 -c:v mpeg4"));
  auto title = h.Open(in);
  TTitleReport r = h.Convert(*title, false, 24000, 1001);
  ASSERT_TRUE(r.ok) << ::testing::PrintToString(h.lines);
  EXPECT_TRUE(h.rec.params.pulldown);
  auto video = h.rec.Of(MPK_VIDEO);
  ASSERT_GE(video.size(), 47u);
  int repeated = 0;
  for (const auto* p : video) repeated += HasRepeatFirstField(p->data);
  EXPECT_NEAR(repeated, static_cast<int>(video.size()) / 2, 2) << "every other picture repeats a field";
  // 48 film pictures play for two seconds at 29.97: 60 frames of 3003 ticks.
  const auto* last = video[video.size() - 2];
  EXPECT_NEAR(static_cast<double>(last->dts + last->duration), 2.0 * 90000, 3003 * 2);
  EXPECT_EQ(video[0]->data[7] & 0x0F, 4) << "the sequence header announces 29.97";
}

TEST(TitleConversion, ChaptersBecomeCellsAtIPictures) {
  Harness h;
  const fs::path in = h.dir / "c.avi";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=320x240:rate=25:duration=14 -c:v mpeg4 -q:v 10"));
  TUserChapterList chapters;
  chapters.AddMs(6000);
  chapters.AddMs(12000);
  auto title = h.Open(in, chapters);
  ASSERT_TRUE(h.Convert(*title, true, 25, 1).ok);
  std::vector<std::pair<uint8_t, int64_t>> changes;  // cell, dts
  uint8_t cell = 0;
  for (const auto& p : h.rec.packets) {
    if (p.desc.CellId == cell) continue;
    EXPECT_EQ(p.desc.PictureType, PICT_I) << "a cell starts on an I picture";
    cell = p.desc.CellId;
    changes.emplace_back(cell, p.dts);
  }
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_NEAR(static_cast<double>(changes[1].second), 6.0 * 90000, 0.4 * 90000 + 13 * 3600);
  EXPECT_EQ(changes[2].first, 3);
}

TEST(TitleConversion, CancelStopsTheTitle) {
  Harness h;
  const fs::path in = h.dir / "c.avi";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4"));
  auto title = h.Open(in);
  h.control.RequestCancel();
  EXPECT_FALSE(h.Convert(*title, true, 25, 1).ok);
  EXPECT_TRUE(h.rec.finished) << "the multiplexer is closed even when cancelled";
}

}  // namespace
}  // namespace vidoria

#include "engine/U_TitleSetup.h"

namespace vidoria {
namespace {

TEST(TitleSetup, SegmentFromAFileAndBackToATitle) {
  Harness h;
  const fs::path in = h.dir / "trip.mkv";
  ASSERT_TRUE(test::MakeMedia(
      in, "-f lavfi -i testsrc=size=320x180:rate=25:duration=4 -f lavfi -i sine=f=300:d=4 -f lavfi -i sine=f=600:d=4 "
          "-map 0 -map 1 -map 2 -c:v mpeg4 -c:a mp2 -metadata:s:a:0 language=fre -metadata:s:a:1 language=ger"));
  TAuteurSettings settings;
  settings.Set_Chap_Duration_Ms(60000);
  settings.Set_Chap_dont_insert_in_small_segments(false);
  settings.Set_Menu_Default_title("Trips");
  TVideo_segments_collection project;
  TMenuStorage menu;
  TVideoSegmentstorage* seg = MakeSegment(in, settings, project, menu, h.log);
  ASSERT_NE(seg, nullptr) << ::testing::PrintToString(h.lines);
  EXPECT_EQ(seg->friendly_name, "trip");
  EXPECT_EQ(seg->AudioStreamCount(), 2);
  EXPECT_EQ(seg->AudioStream(0)->language, "fr");
  EXPECT_EQ(seg->AudioStream(1)->language, "de");
  EXPECT_NEAR(static_cast<double>(seg->FileSet[0].duration_from_user), 4e6, 1e5);
  EXPECT_NEAR(seg->FileSet[0].display_aspect, 16.0 / 9, 0.01);
  EXPECT_EQ(seg->Chapters.Count(), 0u) << "shorter than one chapter interval";
  EXPECT_EQ(menu.title, "Trips") << "the first segment brings the menu defaults";

  seg->AudioStream(0)->discard = true;  // the user keeps only the German track
  auto title = OpenTitle(*seg, h.log, [&h] { return std::make_unique<RecordingSink>(h.rec); });
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->Facts().frame_rate_num, 25);
  EXPECT_NEAR(title->Facts().display_aspect, 16.0 / 9, 0.01);
  EXPECT_EQ(title->Facts().audio_bitrate, 192000) << "the discarded track costs no room";
  ASSERT_TRUE(h.Run(*title, PalDecisions(true)).ok);
  ASSERT_EQ(h.rec.params.streams.size(), 2u);
  EXPECT_EQ(h.rec.params.streams[1].language, "de");
  EXPECT_EQ(h.rec.params.streams[1].dvd_id, 0x80);
  EXPECT_EQ(MakeSegment(h.dir / "missing.mkv", settings, project, menu, h.log), nullptr);
  EXPECT_EQ(project.Count(), 1u);
}

}  // namespace
}  // namespace vidoria

#include "engine/U_DvdMuxSink.h"
#include "mux/U_VobuCollection.h"

namespace vidoria {
namespace {

TEST(TitleConversion, WritesVobFilesThatFFprobeReads) {
  Harness h;
  const fs::path in = h.dir / "clip.avi";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=352x288:rate=25:duration=3 -f lavfi -i sine=d=3 "
                                  "-c:v mpeg4 -c:a mp2"));
  auto set = std::make_unique<Tav_titleset>();
  set->LogCallback = h.log.LogCallback;
  TFileCluster c;
  c.LoadSpannedSet(in);
  TAv_input_file* f = set->AddFile(c);
  ASSERT_NE(f, nullptr);
  f->AnalyseSync();
  for (size_t i = 0; i < set->StreamCount(); ++i) set->Stream(i).Discard = false;
  TTitleConversion title(std::move(set), {}, {}, DvdMuxSinkFactory(h.log));
  TTitleReport r = h.Run(title, PalDecisions(false));
  ASSERT_TRUE(r.ok) << ::testing::PrintToString(h.lines);
  ASSERT_NE(r.vobus, nullptr);
  EXPECT_GT(r.vobus->Vobus.size(), 4u);
  EXPECT_EQ(r.bytes_written % 2048, 0);
  EXPECT_GT(r.audio_packs, 0);
  std::string probe;
  ASSERT_EQ(test::RunCommand("ffprobe -v error -show_entries stream=codec_name:format=duration -of csv=p=0 '" +
                                 (h.dir / "VIDEO_TS" / "VTS_01_1.VOB").string() + "'",
                             &probe),
            0)
      << probe;
  EXPECT_NE(probe.find("mpeg2video"), std::string::npos) << probe;
  EXPECT_NE(probe.find("ac3"), std::string::npos) << probe;
}

}  // namespace
}  // namespace vidoria

extern "C" {
#include <libavutil/md5.h>
}

namespace vidoria {
namespace {

// All packets of one input stream, concatenated.
std::vector<uint8_t> InputPackets(const fs::path& file, int streamIndex) {
  AVFormatContext* raw = nullptr;
  std::vector<uint8_t> out;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return out;
  AvFormatInputPtr fmt(raw);
  avformat_find_stream_info(raw, nullptr);
  AvPacketPtr p = MakePacket();
  while (av_read_frame(raw, p.get()) >= 0) {
    if (p->stream_index == streamIndex) out.insert(out.end(), p->data, p->data + p->size);
    av_packet_unref(p.get());
  }
  return out;
}

TEST(TitleConversion, AudioIsCopiedOnlyWhenPlayersTakeIt) {
  Harness h;
  const fs::path in = h.dir / "tracks.mkv";
  ASSERT_TRUE(test::MakeMedia(
      in, "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -f lavfi -i sine=f=300:d=3:sample_rate=48000 "
          "-f lavfi -i sine=f=500:d=3:sample_rate=44100 -f lavfi -i sine=f=700:d=3:sample_rate=48000 "
          "-map 0 -map 1 -map 2 -map 3 -c:v mpeg4 -c:a:0 ac3 -b:a:0 192k -c:a:1 ac3 -b:a:1 192k "
          "-c:a:2 dca -strict -2 -b:a:2 768k -ac:a:2 2"));
  auto title = h.Open(in);
  ASSERT_TRUE(h.Convert(*title, true, 25, 1).ok) << ::testing::PrintToString(h.lines);
  ASSERT_EQ(h.rec.params.streams.size(), 4u);
  EXPECT_EQ(h.rec.params.streams[1].codec, AV_CODEC_ID_AC3);
  EXPECT_EQ(h.rec.params.streams[3].codec, AV_CODEC_ID_DTS) << "48 kHz DTS keeps its core";

  std::vector<uint8_t> copied, dts;
  std::vector<size_t> dtsSizes;
  for (const auto& p : h.rec.packets) {
    if (p.stream == 1) copied.insert(copied.end(), p.data.begin(), p.data.end());
    if (p.stream == 3) {
      ASSERT_GE(p.data.size(), 8u);
      EXPECT_TRUE(p.data[0] == 0x7F && p.data[1] == 0xFE && p.data[2] == 0x80 && p.data[3] == 0x01);
      dtsSizes.push_back(p.data.size());
    }
  }
  EXPECT_TRUE(copied == InputPackets(in, 1)) << "a 48 kHz AC-3 track goes on the disc byte for byte: "
                                             << copied.size() << " vs " << InputPackets(in, 1).size();
  ASSERT_FALSE(dtsSizes.empty());
  for (size_t s : dtsSizes) EXPECT_EQ(s, dtsSizes[0]) << "whole frames of the size their headers give";
  // The 44.1 kHz track was encoded anew: its packets differ from the input's.
  std::vector<uint8_t> reencoded;
  for (const auto& p : h.rec.packets)
    if (p.stream == 2) reencoded.insert(reencoded.end(), p.data.begin(), p.data.end());
  EXPECT_FALSE(reencoded.empty());
  EXPECT_NE(reencoded, InputPackets(in, 2));
}

TEST(TitleConversion, WideSourceGetsLetterboxBands) {
  Harness h;
  const fs::path in = h.dir / "scope.mp4";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i color=c=white:size=640x272:rate=25:duration=2 -c:v mpeg4 -q:v 2"));
  auto set = std::make_unique<Tav_titleset>();
  TFileCluster c;
  c.LoadSpannedSet(in);
  ASSERT_NE(set->AddFile(c), nullptr);
  for (size_t i = 0; i < set->StreamCount(); ++i) set->Stream(i).Discard = false;
  TTitleConversion title(std::move(set), {}, {}, DvdMuxSinkFactory(h.log));
  ASSERT_TRUE(h.Run(title, PalDecisions(true)).ok) << ::testing::PrintToString(h.lines);
  std::string result;
  test::RunCommand("ffmpeg -nostdin -hide_banner -i '" + (h.dir / "VIDEO_TS" / "VTS_01_1.VOB").string() +
                       "' -vf cropdetect=limit=0.2:round=2:reset=0 -f null - 2>&1 | grep -o 'crop=[0-9:]*' | tail -1",
                   &result);
  EXPECT_EQ(result, "crop=720:448:0:64\n") << "64-pixel bands above and below";
}

}  // namespace
}  // namespace vidoria
