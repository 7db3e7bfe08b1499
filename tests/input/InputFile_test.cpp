// TAv_input_file over files made by the ffmpeg command, checked against ffprobe.

#include "input/U_av_inputs.h"

#include "input/InputTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::LogCollector;
using test::MakeMedia;
using test::Probe;
using test::ProbeResult;
using test::TempDir;

const std::string kVideo = "-f lavfi -i testsrc=size=320x240:rate=25 ";
const std::string kSine = "-f lavfi -i sine=frequency=440:sample_rate=48000 ";

// Opens `file` (with its spanned parts) into `in`, logging into `log`.
bool OpenInput(TAv_input_file& in, const fs::path& file, LogCollector& log) {
  in.LogCallback = log.Callback();
  in.Cluster.LoadSpannedSet(file);
  return in.Open();
}

// Packets per stream when reading the whole input.
std::map<int, int> CountPackets(TAv_input_file& in) {
  std::map<int, int> counts;
  AvPacketPtr pkt = MakePacket();
  while (in.ReadPacket(pkt.get()) >= 0) {
    ++counts[pkt->stream_index];
    av_packet_unref(pkt.get());
  }
  return counts;
}

void SplitFile(const fs::path& whole, const std::vector<fs::path>& parts) {
  std::string data = test::ReadFile(whole);
  size_t per = data.size() / parts.size() + 1;
  for (size_t i = 0; i < parts.size(); ++i)
    test::WriteFile(parts[i], data.substr(std::min(data.size(), i * per), per));
}

// ---- every container through the same path -------------------------------------------

struct ContainerCase {
  const char* name;
  const char* file;
  std::string args;  // "{dir}" stands for the scratch folder
  const char* format;
  AVCodecID video;
  AVCodecID audio;
  int channels;
  AVRational rate;
};

class ContainerTest : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(ContainerTest, OpensAndClassifiesLikeFfprobe) {
  const ContainerCase& c = GetParam();
  TempDir dir;
  test::WriteFile(dir / "cover.bin", "attached data");
  std::string args = c.args;
  for (size_t p; (p = args.find("{dir}")) != std::string::npos;) args.replace(p, 5, dir.path().string());
  fs::path file = dir / c.file;
  ASSERT_TRUE(MakeMedia(file, args));
  ProbeResult probe = Probe(file);

  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log)) << log.All();
  EXPECT_FALSE(log.Has(EVT_ERROR, "")) << log.All();
  EXPECT_NE(in.FormatName().find(c.format), std::string::npos) << in.FormatName();
  const TInputFacts& f = in.Facts();
  EXPECT_EQ(in.StreamCount(), probe.CountStreams("video") + probe.CountStreams("audio") +
                                  probe.CountStreams("subtitle") + probe.CountStreams("attachment") +
                                  probe.CountStreams("data"));

  const int v = probe.FirstStream("video");
  ASSERT_GE(v, 0);
  const std::string vs = "streams." + std::to_string(v) + ".";
  ASSERT_TRUE(f.HasVideo);
  EXPECT_EQ(f.MainVideoStream, v);
  EXPECT_EQ(in.Stream(v)->codecpar->codec_id, c.video);
  EXPECT_EQ(f.Width, probe.Number(vs + "width"));
  EXPECT_EQ(f.Height, probe.Number(vs + "height"));
  EXPECT_EQ(av_cmp_q(f.FrameRate, c.rate), 0) << f.FrameRate.num << "/" << f.FrameRate.den;
  EXPECT_NEAR(av_q2d(f.FrameRate), probe.Ratio(vs + "r_frame_rate"), 1e-6);
  EXPECT_EQ(f.FrameDuration, av_rescale(1000000, c.rate.den, c.rate.num));
  EXPECT_NEAR(f.DisplayAspect, probe.Ratio(vs + "display_aspect_ratio"), 1e-3);

  ASSERT_EQ(static_cast<int>(f.AudioStreams.size()), probe.CountStreams("audio"));
  const int a = probe.FirstStream("audio");
  ASSERT_GE(a, 0);
  EXPECT_EQ(f.AudioStreams.front(), a);
  EXPECT_EQ(in.Stream(a)->codecpar->codec_id, c.audio);
  EXPECT_EQ(in.Stream(a)->codecpar->ch_layout.nb_channels, c.channels);
  EXPECT_EQ(c.channels, probe.Number("streams." + std::to_string(a) + ".channels"));

  EXPECT_NEAR(static_cast<double>(in.ContainerDuration()), probe.Number("format.duration") * 1e6, 1000.0);
  EXPECT_NEAR(static_cast<double>(in.Duration()), 1e6, 150000.0);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ContainerTest,
    ::testing::Values(
        ContainerCase{"avi", "a.avi", kVideo + kSine + "-t 1 -c:v mpeg4 -c:a libmp3lame", "avi", AV_CODEC_ID_MPEG4,
                      AV_CODEC_ID_MP3, 1, {25, 1}},
        ContainerCase{"mkv", "a.mkv",
                      kVideo + kSine +
                          "-t 1 -c:v libx264 -preset ultrafast -c:a aac -ac 6 -attach {dir}/cover.bin "
                          "-metadata:s:t mimetype=application/octet-stream",
                      "matroska", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 6, {25, 1}},
        ContainerCase{"mp4_sar_32_27", "a.mp4",
                      kVideo + kSine + "-t 1 -vf setsar=32/27 -c:v libx264 -preset ultrafast -c:a aac", "mp4",
                      AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1, {25, 1}},
        ContainerCase{"mpeg_ps", "a.mpg", kVideo + kSine + "-t 1 -c:v mpeg2video -c:a ac3 -ac 2 -f vob", "mpeg",
                      AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_AC3, 2, {25, 1}},
        ContainerCase{"mpeg_ts", "a.ts", kVideo + kSine + "-t 1 -c:v mpeg2video -c:a mp2", "mpegts",
                      AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2, 1, {25, 1}},
        ContainerCase{"webm", "a.webm",
                      kVideo + kSine + "-t 1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus",
                      "matroska", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, 1, {25, 1}},
        ContainerCase{"asf", "a.wmv", kVideo + kSine + "-t 1 -c:v wmv2 -c:a wmav2", "asf", AV_CODEC_ID_WMV2,
                      AV_CODEC_ID_WMAV2, 1, {25, 1}},
        ContainerCase{"ogg", "a.ogv", kVideo + kSine + "-t 1 -c:v libtheora -c:a libvorbis", "ogg",
                      AV_CODEC_ID_THEORA, AV_CODEC_ID_VORBIS, 1, {25, 1}},
        ContainerCase{"rate_12_5", "b.avi",
                      "-f lavfi -i testsrc=size=320x240:rate=12.5 " + kSine + "-t 1 -c:v mpeg4 -c:a libmp3lame",
                      "avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, 1, {25, 2}}),
    [](const ::testing::TestParamInfo<ContainerCase>& info) { return std::string(info.param.name); });

// ---- aspect without aspect data --------------------------------------------------------

struct AspectCase {
  int width;
  double aspect;
};
class MissingAspectTest : public ::testing::TestWithParam<AspectCase> {};

// MPEG-2 marks its aspect in every sequence header; clearing the field leaves the
// stream without aspect data.
TEST_P(MissingAspectTest, Mpeg2WithoutAspectData) {
  TempDir dir;
  const auto [width, aspect] = GetParam();
  ASSERT_TRUE(MakeMedia(dir / "raw.m2v", "-f lavfi -i testsrc=size=" + std::to_string(width) +
                                             "x480:rate=25 -t 0.5 -c:v mpeg2video -f mpeg2video"));
  std::string data = test::ReadFile(dir / "raw.m2v");
  const std::string seq("\x00\x00\x01\xB3", 4);
  for (size_t p = data.find(seq); p != std::string::npos; p = data.find(seq, p + 4))
    data[p + 7] = static_cast<char>(data[p + 7] & 0x0F);
  test::WriteFile(dir / "noaspect.m2v", data);
  EXPECT_EQ(Probe(dir / "noaspect.m2v").Get("streams.0.sample_aspect_ratio"), "");

  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, dir / "noaspect.m2v", log)) << log.All();
  EXPECT_NEAR(in.Facts().DisplayAspect, aspect, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Mpeg2, MissingAspectTest,
                         ::testing::Values(AspectCase{480, 4.0 / 3.0}, AspectCase{720, 1.5}));

TEST(InputFile, AudioOnlyFileHasNoMainVideo) {
  TempDir dir;
  ASSERT_TRUE(MakeMedia(dir / "a.mp3", kSine + "-t 1 -c:a libmp3lame"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, dir / "a.mp3", log)) << log.All();
  EXPECT_FALSE(in.Facts().HasVideo);
  EXPECT_EQ(in.Facts().MainVideoStream, -1);
  EXPECT_EQ(in.Facts().AudioStreams, std::vector<int>{0});
  EXPECT_NEAR(static_cast<double>(in.Duration()), Probe(dir / "a.mp3").Number("format.duration") * 1e6, 1000.0);
}

// ---- sync analysis ---------------------------------------------------------------------

TEST(InputFile, AnalyseSyncFindsDelayedAudio) {
  TempDir dir;
  fs::path file = dir / "late.mkv";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-itsoffset 0.3 " + kSine + "-t 1 -c:v mpeg4 -c:a ac3"));
  ProbeResult probe = Probe(file);
  const double expected = (probe.Number("streams.1.start_time") - probe.Number("streams.0.start_time")) * 1e6;

  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log)) << log.All();
  EXPECT_TRUE(in.AnalyseSync());
  EXPECT_TRUE(in.SyncAnalysed());
  EXPECT_EQ(in.PtsOffset(0), 0);
  EXPECT_NEAR(static_cast<double>(in.PtsOffset(1)), expected, 1000.0);
  EXPECT_NEAR(static_cast<double>(in.PtsOffset(1)), 300000.0, 10000.0);  // the encoder's priming is a few ms
  EXPECT_EQ(in.PtsOffset(99), 0);
  // Reading starts over at the first packet.
  AvPacketPtr pkt = MakePacket();
  ASSERT_GE(in.ReadPacket(pkt.get()), 0);
  EXPECT_EQ(pkt->stream_index, 0);
  EXPECT_EQ(ToMicroseconds(pkt->pts, in.Stream(0)->time_base), 0);
}

// ---- seeking, scanning, decoding --------------------------------------------------------

TEST(InputFile, SeekLandsOnTheKeyFrameBefore) {
  TempDir dir;
  fs::path file = dir / "gop.mkv";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 3 -c:v mpeg4 -g 25"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log));
  ASSERT_TRUE(in.Seek(2200000));
  AvPacketPtr pkt = MakePacket();
  ASSERT_GE(in.ReadPacket(pkt.get()), 0);
  EXPECT_TRUE(pkt->flags & AV_PKT_FLAG_KEY);
  EXPECT_EQ(ToMicroseconds(pkt->pts, in.Stream(0)->time_base), 2000000);
}

TEST(InputFile, FailedSeeksAreLoggedWithThePosition) {
  TempDir dir;
  // A raw H.264 stream has neither index nor timestamps to seek by.
  fs::path file = dir / "raw.264";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 1 -c:v libx264 -preset ultrafast -f h264"));
  LogCollector log;
  TAv_input_file in;
  in.SetStartTime(100000000);
  ASSERT_TRUE(OpenInput(in, file, log));
  EXPECT_TRUE(log.Has(EVT_WARNING, ": could not seek to position 100.000 sec.")) << log.All();
  EXPECT_FALSE(in.Seek(200000000));
  EXPECT_TRUE(log.Has(EVT_WARNING, file.string() + ": could not seek to position 200.000")) << log.All();
}

TEST(InputFile, ScanDurationReadsToTheEndAndRewinds) {
  TempDir dir;
  fs::path file = dir / "scan.avi";
  ASSERT_TRUE(MakeMedia(file, kVideo + kSine + "-t 2 -c:v mpeg4 -c:a libmp3lame"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log));
  int calls = 0;
  int64_t lastBytes = 0;
  int64_t d = in.ScanDuration([&](int64_t, int64_t bytes, int64_t total) {
    ++calls;
    EXPECT_LE(bytes, total);
    lastBytes = bytes;
  });
  EXPECT_TRUE(in.ScanComplete());
  EXPECT_EQ(d, 2000000);
  EXPECT_EQ(calls, 50);
  EXPECT_GT(lastBytes, in.TotalBytes() / 2);
  AvPacketPtr pkt = MakePacket();
  ASSERT_GE(in.ReadPacket(pkt.get()), 0);
  EXPECT_EQ(pkt->pts, 0);
}

TEST(InputFile, InputThatCannotSeekIsOpenedAgainToRewind) {
  TempDir dir;
  fs::path file = dir / "raw.264";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 1 -c:v libx264 -preset ultrafast -f h264"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log));
  in.SetFrameRate({30000, 1001});
  AvPacketPtr pkt = MakePacket();
  ASSERT_GE(in.ReadPacket(pkt.get()), 0);
  const std::string first(reinterpret_cast<char*>(pkt->data), pkt->size);
  av_packet_unref(pkt.get());
  EXPECT_GT(in.ScanDuration(), 0);
  ASSERT_TRUE(in.IsOpen()) << log.All();
  EXPECT_EQ(std::count_if(log.Entries.begin(), log.Entries.end(),
                          [](const auto& e) { return e.Text.rfind("Opening file", 0) == 0; }),
            2);
  ASSERT_GE(in.ReadPacket(pkt.get()), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt->data), pkt->size), first);
  // What the caller set survives the new opening.
  EXPECT_EQ(av_cmp_q(in.Facts().FrameRate, AVRational{30000, 1001}), 0);
  EXPECT_TRUE(in.ScanComplete());
}

TEST(InputFile, StoppedScanExtrapolatesFromBytesRead) {
  TempDir dir;
  fs::path file = dir / "scan.avi";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 4 -c:v mpeg4 -q:v 3"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log));
  int64_t d = in.ScanDuration([&](int64_t soFar, int64_t, int64_t) {
    if (soFar >= 1000000) in.StopScan();
  });
  EXPECT_FALSE(in.ScanComplete());
  EXPECT_NEAR(static_cast<double>(d), 4e6, 1.2e6);
}

struct DecodeCase {
  const char* name;
  const char* file;
  const char* codecArgs;
};
class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, FirstPictureComesOutAsYuv420) {
  TempDir dir;
  fs::path file = dir / GetParam().file;
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 0.5 " + GetParam().codecArgs));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log));
  ASSERT_TRUE(in.OpenDecoders()) << log.All();
  AvPacketPtr pkt = MakePacket();
  const AVFrame* picture = nullptr;
  bool got = false;
  while (!got && in.ReadPacket(pkt.get()) >= 0) {
    EXPECT_TRUE(in.DecodePicture(pkt.get(), picture, got));
    av_packet_unref(pkt.get());
  }
  for (int drain = 0; !got && drain < 20; ++drain) in.DecodePicture(nullptr, picture, got);
  ASSERT_TRUE(got);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->format, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(picture->width, 320);
  EXPECT_EQ(picture->height, 240);
  // testsrc is a pattern, not a flat picture.
  const uint8_t* row = picture->data[0] + picture->linesize[0] * 120;
  auto [lo, hi] = std::minmax_element(row, row + 320);
  EXPECT_GT(*hi - *lo, 100);
  in.CloseDecoders();
  EXPECT_EQ(in.Decoder(0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Pictures, DecodeTest,
                         ::testing::Values(DecodeCase{"yuv420", "v.mkv", "-c:v mpeg4"},
                                           DecodeCase{"yuv444_converted", "v.mkv",
                                                      "-c:v libx264 -preset ultrafast -pix_fmt yuv444p"},
                                           // Windows Media goes through the library's own decoders.
                                           DecodeCase{"wmv2", "v.wmv", "-c:v wmv2"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- spanned inputs --------------------------------------------------------------------

struct SpanCase {
  const char* name;
  const char* whole;
  std::vector<const char*> parts;
  std::string args;
};
class SpannedTest : public ::testing::TestWithParam<SpanCase> {};

TEST_P(SpannedTest, PartsReadAsTheWholeFile) {
  const SpanCase& c = GetParam();
  TempDir dir;
  fs::path whole = dir / "whole" / c.whole;
  fs::create_directories(whole.parent_path());
  ASSERT_TRUE(MakeMedia(whole, c.args));
  std::vector<fs::path> parts;
  for (const char* p : c.parts) parts.push_back(dir / "split" / p);
  SplitFile(whole, parts);

  LogCollector wholeLog, splitLog;
  TAv_input_file a, b;
  ASSERT_TRUE(OpenInput(a, whole, wholeLog)) << wholeLog.All();
  ASSERT_TRUE(OpenInput(b, parts.front(), splitLog)) << splitLog.All();
  ASSERT_EQ(b.Cluster.Count(), parts.size());
  EXPECT_TRUE(splitLog.Has(EVT_INFO, "Cluster of files opened:"));
  EXPECT_EQ(b.TotalBytes(), a.TotalBytes());
  EXPECT_EQ(b.ContainerDuration(), a.ContainerDuration());
  auto expected = CountPackets(a);
  EXPECT_GT(expected[0], 20);
  EXPECT_EQ(CountPackets(b), expected);
  EXPECT_EQ(b.BytesRead(), b.TotalBytes());
}

INSTANTIATE_TEST_SUITE_P(
    Clusters, SpannedTest,
    ::testing::Values(SpanCase{"numbered", "movie.avi", {"movie.avi", "movie.avi.001", "movie.avi.002"},
                               kVideo + kSine + "-t 2 -c:v mpeg4 -c:a libmp3lame"},
                      SpanCase{"vob", "VTS_01_1.VOB", {"VTS_01_1.VOB", "VTS_01_2.VOB"},
                               kVideo + kSine + "-t 2 -c:v mpeg2video -c:a ac3 -f vob"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- bad inputs ------------------------------------------------------------------------

struct BadCase {
  const char* name;
  const char* file;
  // Fills the file from a good one (empty when the file should be missing).
  std::function<std::string(const std::string& good)> make;
  const char* error;
};
class BadInputTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadInputTest, FailsWithALoggedError) {
  const BadCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(MakeMedia(dir / "good.mkv", kVideo + kSine + "-t 1 -c:v mpeg4 -c:a ac3"));
  fs::path file = dir / c.file;
  if (c.make) test::WriteFile(file, c.make(test::ReadFile(dir / "good.mkv")));
  LogCollector log;
  TAv_input_file in;
  EXPECT_FALSE(OpenInput(in, file, log));
  EXPECT_FALSE(in.IsOpen());
  EXPECT_TRUE(log.Has(EVT_ERROR, c.error)) << log.All();
  EXPECT_TRUE(log.Has(EVT_ERROR, DisplayName(file))) << log.All();
  // Nothing to read from a closed file.
  AvPacketPtr pkt = MakePacket();
  EXPECT_LT(in.ReadPacket(pkt.get()), 0);
  EXPECT_FALSE(in.Seek(0));
  EXPECT_FALSE(in.AnalyseSync());
  EXPECT_EQ(in.StreamDescription(0), "Not a valid stream");
}

std::string RandomBytes(const std::string&) {
  std::string s(65536, '\0');
  uint32_t x = 12345;
  for (char& ch : s) {
    x = x * 1664525u + 1013904223u;
    ch = static_cast<char>(x >> 24);
  }
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadInputTest,
    ::testing::Values(BadCase{"empty", "empty.avi", [](const std::string&) { return std::string(); },
                              "Cannot determine format of input file"},
                      BadCase{"random", "noise.mpg", RandomBytes, "Cannot"},
                      BadCase{"random_non_utf8_name", "noise\xff\xfe.avi", RandomBytes, "Cannot"},
                      BadCase{"truncated_header", "cut.mkv", [](const std::string& g) { return g.substr(0, 300); },
                              ""},
                      BadCase{"missing", "missing.mkv", nullptr, "missing or modified"},
                      // A play list may not make the program reach out to the network.
                      BadCase{"playlist_to_network", "list.m3u8",
                              [](const std::string&) {
                                return std::string("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n"
                                                   "http://127.0.0.1:9/a.ts\n#EXT-X-ENDLIST\n");
                              },
                              ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InputFile, TruncatedFileReadsWhatIsThere) {
  TempDir dir;
  ASSERT_TRUE(MakeMedia(dir / "good.mkv", kVideo + kSine + "-t 1 -c:v mpeg4 -c:a ac3"));
  std::string good = test::ReadFile(dir / "good.mkv");
  test::WriteFile(dir / "cut.mkv", good.substr(0, good.size() / 2));
  LogCollector log;
  TAv_input_file whole, cut;
  ASSERT_TRUE(OpenInput(whole, dir / "good.mkv", log));
  ASSERT_TRUE(OpenInput(cut, dir / "cut.mkv", log));
  auto all = CountPackets(whole), part = CountPackets(cut);
  EXPECT_GT(part[0], 0);
  EXPECT_LT(part[0], all[0]);
}

TEST(InputFile, NonUtf8FileNameOpensAndLogsReadably) {
  TempDir dir;
  fs::path file = dir / "film\xe9t\xe9.mkv";  // Latin-1 bytes
  ASSERT_TRUE(MakeMedia(file, kVideo + "-t 0.5 -c:v mpeg4"));
  LogCollector log;
  TAv_input_file in;
  ASSERT_TRUE(OpenInput(in, file, log)) << log.All();
  EXPECT_TRUE(log.Has(EVT_INFO, "Opening file \"" + (dir.path() / "film\xEF\xBF\xBDt\xEF\xBF\xBD.mkv").string()))
      << log.All();
  EXPECT_EQ(in.FileName(), file);
}

}  // namespace
}  // namespace vidoria
