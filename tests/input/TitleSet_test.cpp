// Tav_titleset: joined parts, stream ids, delays and the read scheduler.

#include "input/U_av_inputs.h"

#include "input/InputTestSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::LogCollector;
using test::MakeMedia;
using test::TempDir;

const std::string kVideo = "-f lavfi -i testsrc=size=320x240:rate=25 ";
const std::string kSine = "-f lavfi -i sine=frequency=440:sample_rate=48000 ";

TFileCluster ClusterOf(const fs::path& file) {
  TFileCluster c;
  c.AddFile(file, -1);
  return c;
}

void KeepAll(Tav_titleset& t) {
  for (size_t i = 0; i < t.StreamCount(); ++i) t.Stream(i).Discard = false;
}

struct Delivered {
  TAV_Input_Stream* stream;
  int64_t time;
  bool valid;
  int64_t jump;
};

// Reads the title to its end; counts the ends of input in `ends`.
std::vector<Delivered> ReadAll(Tav_titleset& t, int* ends = nullptr) {
  std::vector<Delivered> out;
  AvPacketPtr pkt = MakePacket();
  int64_t jump = 0;
  bool end = false;
  int guard = 100000;
  while (TAV_Input_Stream* s = t.ReadPacket(pkt.get(), jump, end)) {
    if (--guard == 0) break;
    if (end) {
      if (ends) ++*ends;
      continue;
    }
    out.push_back({s, s->CurrentTime, s->TimestampValid, jump});
  }
  return out;
}

// ---- the stream clock ------------------------------------------------------------------

struct ClockCase {
  const char* name;
  std::vector<int64_t> dts;  // ms; -1 for none
  std::vector<int64_t> current;
  std::vector<bool> valid;
  std::vector<int64_t> jumps;
};
class ClockTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ClockTest, AdvancesByTimestampsItCanTrust) {
  const ClockCase& c = GetParam();
  TAV_Input_Stream s;
  for (size_t i = 0; i < c.dts.size(); ++i) {
    int64_t t = c.dts[i] < 0 ? kNoTime : c.dts[i] * 1000;
    int64_t jump = s.AdvanceClock(t, 40000, 32000);
    EXPECT_EQ(s.CurrentTime, c.current[i] < 0 ? kNoTime : c.current[i] * 1000) << "packet " << i;
    EXPECT_EQ(s.TimestampValid, c.valid[i]) << "packet " << i;
    EXPECT_EQ(jump, c.jumps[i] * 1000) << "packet " << i;
  }
  EXPECT_EQ(s.PacketCount, c.dts.size());
}

INSTANTIATE_TEST_SUITE_P(
    Stream, ClockTest,
    ::testing::Values(
        ClockCase{"steady", {1000, 1040, 1080}, {0, 40, 80}, {true, true, true}, {0, 40, 40}},
        // One stray packet stamped before the stream's start: the origin stays put.
        ClockCase{"one_backward_timestamp",
                  {1000, 1040, 1080, 960, 1160, 1200},
                  {0, 40, 80, 120, 160, 200},
                  {true, true, true, false, true, true},
                  {0, 40, 40, 0, 40, 40}},
        // The timeline steps back and goes on: the clock runs on, never twice the same time.
        ClockCase{"timeline_steps_back",
                  {0, 40, 80, 40, 80, 120, 160},
                  {0, 40, 80, 120, 160, 200, 240},
                  {true, true, true, false, false, false, false},
                  {0, 40, 40, 0, 0, 0, 0}},
        // A jump measured from an unknown time counts as none.
        ClockCase{"unknown_start", {-1, 0, 40}, {-1, 0, 40}, {false, true, true}, {0, 0, 40}},
        ClockCase{"forward_gap", {0, 40, 60040}, {0, 40, 60040}, {true, true, true}, {0, 40, 60000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StreamClock, DefaultDurationFollowsTheTimestamps) {
  TAV_Input_Stream s;
  s.AdvanceClock(0, 0, 32000);
  EXPECT_EQ(s.ExpectedTime, 32000);
  EXPECT_FALSE(s.DurationValid);
  s.AdvanceClock(50000, 0, 32000);
  EXPECT_EQ(s.Duration, 50000);  // 50 ms over one packet
  EXPECT_EQ(s.ExpectedTime, 100000);
}

TEST(StreamClock, RemovedGapKeepsLaterTimestampsValid) {
  TAV_Input_Stream s;
  for (int64_t t : {0, 40000, 60040000}) s.AdvanceClock(t, 40000, 40000);
  s.RemoveGap(59960000);
  EXPECT_EQ(s.CurrentTime, 80000);
  EXPECT_EQ(s.AdvanceClock(60080000, 40000, 40000), 40000);
  EXPECT_TRUE(s.TimestampValid);
  EXPECT_EQ(s.CurrentTime, 120000);
}

// ---- joined parts ----------------------------------------------------------------------

TEST(TitleSet, SegmentedTitleReadsLikeTheWholeFile) {
  TempDir dir;
  fs::path whole = dir / "whole.mkv";
  ASSERT_TRUE(MakeMedia(whole, kVideo + kSine + "-t 3 -c:v mpeg4 -g 25 -c:a ac3"));
  ASSERT_TRUE(MakeMedia(dir / "part%d.mkv", "-i '" + whole.string() +
                                                "' -map 0 -c copy -f segment -segment_time 1 -reset_timestamps 1"));
  std::map<AVMediaType, int> expected;
  {
    TAv_input_file in;
    in.Cluster = ClusterOf(whole);
    ASSERT_TRUE(in.Open());
    AvPacketPtr pkt = MakePacket();
    while (in.ReadPacket(pkt.get()) >= 0) {
      ++expected[in.Stream(pkt->stream_index)->codecpar->codec_type];
      av_packet_unref(pkt.get());
    }
  }

  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  TAv_input_file* previous = nullptr;
  int parts = 0;
  int64_t bytes = 0;
  for (; fs::exists(dir / ("part" + std::to_string(parts) + ".mkv")); ++parts) {
    fs::path part = dir / ("part" + std::to_string(parts) + ".mkv");
    bytes += static_cast<int64_t>(fs::file_size(part));
    previous = title.AddFile(ClusterOf(part), {0, 0}, previous);
    ASSERT_NE(previous, nullptr) << log.All();
  }
  ASSERT_GE(parts, 3);
  EXPECT_FALSE(log.Has(EVT_WARNING, "doesn't match its predecessor")) << log.All();
  EXPECT_EQ(title.VideoFileCount(), parts);
  EXPECT_EQ(title.File(parts - 1).VobId, parts);
  KeepAll(title);
  EXPECT_EQ(title.AssignStreamIds(), 2);  // the first part's video and audio
  for (size_t i = 0; i < title.StreamCount(); ++i) {
    const TAV_Input_Stream& s = title.Stream(i);
    EXPECT_EQ(s.DvdStreamId, s.Type == AVMEDIA_TYPE_VIDEO ? kDvdVideoStreamId : kDvdAudioStreamId) << i;
    EXPECT_EQ(s.Predecessor != nullptr, s.FileIndex > 0);
  }

  int ends = 0;
  std::vector<Delivered> got = ReadAll(title, &ends);
  EXPECT_EQ(ends, parts);
  std::map<AVMediaType, int> counts;
  std::map<TAV_Input_Stream*, int64_t> last;
  int file = 0;
  for (const Delivered& d : got) {
    ++counts[d.stream->Type];
    EXPECT_GE(d.stream->FileIndex, file) << "a part was read before the one it continues had ended";
    file = d.stream->FileIndex;
    if (last.count(d.stream)) {
      EXPECT_GT(d.time, last[d.stream]);
    }
    last[d.stream] = d.time;
  }
  EXPECT_EQ(counts, expected);
  EXPECT_EQ(title.InputBytes(), bytes);
  EXPECT_EQ(title.BytesRead(), bytes);
  int64_t duration = 0;
  for (int i = 0; i < parts; ++i) duration += title.File(i).Duration();
  EXPECT_EQ(title.Duration(), duration);
  EXPECT_NEAR(static_cast<double>(duration), 3e6, 100000.0);
  // The parts play one after the other: their audio counts once in the rate, and
  // for the whole duration in the size.
  const int64_t rate = title.File(0).Stream(title.File(0).Facts().AudioStreams[0])->codecpar->bit_rate;
  EXPECT_EQ(title.AudioBitrate(), rate);
  int64_t bits = 0;
  for (int i = 0; i < parts; ++i) bits += title.File(i).Duration() / 1000 * rate / 1000;
  EXPECT_EQ(title.AudioBytes(), bits / 8);
}

TEST(TitleSet, ReadsTheInputFurthestBehind) {
  TempDir dir;
  ASSERT_TRUE(MakeMedia(dir / "v.mkv", kVideo + "-t 1 -c:v mpeg4"));
  ASSERT_TRUE(MakeMedia(dir / "a.mkv", kSine + "-t 1 -c:a ac3"));
  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  ASSERT_NE(title.AddFile(ClusterOf(dir / "v.mkv")), nullptr) << log.All();
  ASSERT_NE(title.AddFile(ClusterOf(dir / "a.mkv")), nullptr) << log.All();
  EXPECT_EQ(title.VideoFileCount(), 1);
  KeepAll(title);
  std::vector<Delivered> got = ReadAll(title);
  ASSERT_GT(got.size(), 50u);
  int audio = 0, video = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    (got[i].stream->Type == AVMEDIA_TYPE_AUDIO ? audio : video)++;
    if (i > 0) {
      EXPECT_GE(got[i].time, got[i - 1].time) << "packet " << i << " is out of time order";
    }
  }
  EXPECT_EQ(video, 25);
  EXPECT_GT(audio, 25);
}

TEST(TitleSet, BackwardTimestampsDeliverNoTimeTwice) {
  TempDir dir;
  ASSERT_TRUE(MakeMedia(dir / "a.mkv", kVideo + "-t 1 -c:v mpeg4 -g 5"));
  // The second copy starts at 0.5 s, half a second before the first one ends.
  test::WriteFile(dir / "clip.ffconcat", "ffconcat version 1.0\nfile a.mkv\nduration 0.5\nfile a.mkv\n");
  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  ASSERT_NE(title.AddFile(ClusterOf(dir / "clip.ffconcat")), nullptr) << log.All();
  KeepAll(title);
  std::vector<Delivered> got = ReadAll(title);
  ASSERT_EQ(got.size(), 50u);
  int invalid = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    invalid += !got[i].valid;
    EXPECT_GE(got[i].jump, 0);
    if (i > 0) {
      EXPECT_GT(got[i].time, got[i - 1].time) << "packet " << i;
    }
  }
  EXPECT_GT(invalid, 0);
  EXPECT_EQ(got.back().time, 49 * 40000);
}

// ---- delays ----------------------------------------------------------------------------

struct DelayCase {
  const char* name;
  int64_t videoUser, audioUser;  // µs
  bool cancelOffset;             // the user's audio delay also takes back the audio's start offset
  bool keepAudio;
  int64_t videoDelay;
  int64_t audioDelay;  // expected, less the audio's start offset unless the user cancelled it
};
class DelayTest : public ::testing::TestWithParam<DelayCase> {};

TEST_P(DelayTest, DelaysAreMeasuredFromTheFirstKeptStream) {
  const DelayCase& c = GetParam();
  TempDir dir;
  fs::path file = dir / "late.mkv";
  ASSERT_TRUE(MakeMedia(file, kVideo + "-itsoffset 0.3 " + kSine + "-t 1 -c:v mpeg4 -c:a ac3"));
  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  TAv_input_file* in = title.AddFile(ClusterOf(file));
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(in->AnalyseSync());
  const int64_t offset = in->PtsOffset(1);
  EXPECT_NEAR(static_cast<double>(offset), 300000.0, 10000.0);
  TAV_Input_Stream& video = title.Stream(0);
  TAV_Input_Stream& audio = title.Stream(1);
  video.Discard = false;
  audio.Discard = !c.keepAudio;
  video.Delay = c.videoUser;
  audio.Delay = c.audioUser - (c.cancelOffset ? offset : 0);
  title.NormaliseDelays();
  EXPECT_EQ(video.Delay, c.videoDelay);
  if (c.keepAudio) {
    EXPECT_EQ(audio.Delay, c.audioDelay + (c.cancelOffset ? 0 : offset));
  }
}

INSTANTIATE_TEST_SUITE_P(Title, DelayTest,
                         ::testing::Values(DelayCase{"file_offset", 0, 0, false, true, 0, 0},
                                           DelayCase{"user_cancels_offset", 0, 0, true, true, 0, 0},
                                           DelayCase{"user_delays_video", 100000, 0, false, true, 0, -100000},
                                           // A discarded stream starting early delays nothing.
                                           DelayCase{"discarded_early_stream", 0, -1000000, false, false, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- stream ids and limits -------------------------------------------------------------

class FakeSubtitles : public TExternalSubtitleSource {
 public:
  explicit FakeSubtitles(std::string language) : language_(std::move(language)) {}
  std::string Language() const override { return language_; }
  int64_t NextEventTime() const override { return kNoTime; }

 private:
  std::string language_;
};

TEST(TitleSet, StreamIdsKeepTheDvdLimits) {
  TempDir dir;
  test::WriteFile(dir / "s.srt", "1\n00:00:00,100 --> 00:00:00,500\nHello\n\n");
  std::string maps = "-map 0:v ";
  for (int i = 0; i < 9; ++i) maps += "-map 1:a ";
  ASSERT_TRUE(MakeMedia(dir / "many.mkv", kVideo + kSine + "-i '" + (dir / "s.srt").string() + "' " + maps +
                                              "-map 2:s -metadata:s:s:0 language=fre -t 1 -c:v mpeg4 -c:a mp2 "
                                              "-c:s srt"));
  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  TAv_input_file* in = title.AddFile(ClusterOf(dir / "many.mkv"));
  ASSERT_NE(in, nullptr) << log.All();
  ASSERT_EQ(title.StreamCount(), 11u);
  EXPECT_EQ(title.AudioStreamCount(), 9);
  EXPECT_EQ(title.Stream(10).Language, "fr");
  title.AddSubtitleStream(std::make_shared<FakeSubtitles>("eng"), in, false, false);
  title.AddSubtitleStream(std::make_shared<FakeSubtitles>("fre"), in, false, true);
  title.AddSubtitleStream(std::make_shared<FakeSubtitles>("ger"), in, false, false);
  title.AddSubtitleStream(std::make_shared<FakeSubtitles>("spa"), in, true, false);  // not chosen
  KeepAll(title);
  title.Stream(14).Discard = true;

  EXPECT_EQ(title.AssignStreamIds(), 1 + 8 + 3);
  EXPECT_EQ(title.Stream(0).DvdStreamId, kDvdVideoStreamId);
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(title.Stream(i).DvdStreamId, 0x80 + i - 1);
  EXPECT_TRUE(title.Stream(9).Discard);
  EXPECT_TRUE(log.Has(EVT_WARNING, "at most 8 audio streams"));
  // The file's own subtitle stream is never emitted; it takes no id.
  EXPECT_TRUE(title.Stream(10).Discard);
  EXPECT_EQ(title.Stream(11).DvdStreamId, 0x20);
  EXPECT_EQ(title.Stream(12).DvdStreamId, 0x21);
  EXPECT_EQ(title.Stream(13).DvdStreamId, 0x22);
  EXPECT_EQ(title.Stream(12).Language, "fr");
  EXPECT_EQ(title.Stream(13).Language, "de");
  EXPECT_EQ(title.DefaultSubtitle(), 1);

  for (int i = 0; i < 30; ++i) title.AddSubtitleStream(std::make_shared<FakeSubtitles>("eng"), in, false, false);
  title.AssignStreamIds();
  EXPECT_EQ(title.Stream(title.StreamCount() - 2).DvdStreamId, 0x3F);
  EXPECT_TRUE(title.Stream(title.StreamCount() - 1).Discard);
  EXPECT_TRUE(log.Has(EVT_WARNING, "at most 32 subtitle streams"));

  // Subtitle streams never drive the reading; the file's packets still arrive.
  std::vector<Delivered> got = ReadAll(title);
  EXPECT_FALSE(got.empty());
  for (const Delivered& d : got) EXPECT_NE(d.stream->Type, AVMEDIA_TYPE_SUBTITLE);
}

TEST(TitleSet, UnopenableFileIsReportedAndNotAdded) {
  TempDir dir;
  test::WriteFile(dir / "junk.avi", "not a movie at all");
  LogCollector log;
  Tav_titleset title;
  title.LogCallback = log.Callback();
  EXPECT_EQ(title.AddFile(ClusterOf(dir / "junk.avi")), nullptr);
  EXPECT_TRUE(log.Has(EVT_ERROR, "Input file \"" + (dir / "junk.avi").string() + "\" can't be opened")) << log.All();
  EXPECT_EQ(title.FileCount(), 0u);
  AvPacketPtr pkt = MakePacket();
  int64_t jump = 0;
  bool end = false;
  EXPECT_EQ(title.ReadPacket(pkt.get(), jump, end), nullptr);
}

}  // namespace
}  // namespace vidoria
