// Title conversion from generated clips into real VOB files, checked with ffprobe and
// ffmpeg: frame rates and counts, pulldown flags and time codes, audio delays, gaps and
// sync, and inputs that are awkward or broken.

#include "engine/U_DvdMuxSink.h"
#include "engine/U_TitleConversion.h"
#include "engine/U_TitleDecisions.h"
#include "engine/U_TitleSetup.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace vidoria {
namespace {
namespace fs = std::filesystem;

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Output of a command that must succeed.
std::string Output(const std::string& command) {
  std::string out;
  const int rc = test::RunCommand(command, &out);
  EXPECT_EQ(rc, 0) << command << "\n" << out;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// key=value lines of one stream: ffprobe's `-show_entries stream=...` for `select`.
std::map<std::string, std::string> StreamFields(const fs::path& file, const std::string& select,
                                                const std::string& entries, bool countFrames = false) {
  std::map<std::string, std::string> fields;
  const std::string out = Output("ffprobe -v error " + std::string(countFrames ? "-count_frames " : "") +
                                 "-select_streams " + select + " -show_entries stream=" + entries +
                                 " -of default=nw=1 " + Quoted(file));
  for (const auto& line : Lines(out)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return fields;
}

double Number(const std::map<std::string, std::string>& fields, const std::string& key) {
  auto it = fields.find(key);
  return it == fields.end() ? NAN : std::atof(it->second.c_str());
}

// Silent stretches of the first audio stream on the file's own clock (-copyts):
// {start, end}. The track is padded with half a second of silence so that it always
// ends silent; the last stretch, which lasts to the end, has an infinite end.
std::vector<std::pair<double, double>> Silences(const fs::path& file, double minimum = 0.05) {
  const std::string out = Output("ffmpeg -nostdin -hide_banner -copyts -i " + Quoted(file) +
                                 " -map 0:a:0 -af apad=pad_dur=0.5,silencedetect=n=-50dB:d=" + std::to_string(minimum) +
                                 " -f null - 2>&1 | grep -o 'silence_\\(start\\|end\\): [-0-9.e]*'");
  std::vector<std::pair<double, double>> silences;
  for (const auto& line : Lines(out)) {
    const double t = std::atof(line.substr(line.find(':') + 1).c_str());
    if (line.rfind("silence_start", 0) == 0) silences.emplace_back(t, INFINITY);
    else if (!silences.empty()) silences.back().second = t;
  }
  if (!silences.empty()) silences.back().second = INFINITY;
  return silences;
}

// Times at which sound starts after a silence.
std::vector<double> SoundStarts(const fs::path& file) {
  std::vector<double> starts;
  for (const auto& s : Silences(file))
    if (std::isfinite(s.second)) starts.push_back(s.second);
  return starts;
}

// The first time stamp of a stream, in its time base (90 kHz in a VOB).
int64_t StartPts(const fs::path& file, const std::string& select) {
  return std::atoll(Output("ffprobe -v error -select_streams " + select +
                           " -show_entries stream=start_pts -of default=nw=1:nk=1 " + Quoted(file))
                        .c_str());
}

// Times (file clock) of the pictures that turn bright after a dark one.
std::vector<double> Flashes(const fs::path& file) {
  const std::string out = Output("ffmpeg -nostdin -v error -copyts -i " + Quoted(file) +
                                 " -map 0:v:0 -vf signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=- "
                                 "-f null -");
  std::vector<double> flashes;
  double time = 0;
  bool bright = false;
  for (const auto& line : Lines(out)) {
    if (auto at = line.find("pts_time:"); at != std::string::npos) time = std::atof(line.c_str() + at + 9);
    if (auto at = line.find("YAVG="); at != std::string::npos) {
      const bool now = std::atof(line.c_str() + at + 5) > 100;
      if (now && !bright) flashes.push_back(time);
      bright = now;
    }
  }
  return flashes;
}

// {pts (90 kHz), md5} of every audio frame of the first audio stream.
std::vector<std::pair<int64_t, std::string>> AudioFrames(const fs::path& file) {
  std::vector<std::pair<int64_t, std::string>> frames;
  for (const auto& line : Lines(Output("ffprobe -v error -select_streams a:0 -show_data_hash MD5 -show_entries "
                                       "packet=pts,data_hash -of csv=p=0 " + Quoted(file)))) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    frames.emplace_back(std::atoll(line.c_str()), line.substr(comma + 1));
  }
  return frames;
}

// The VOB decodes from end to end without a single error.
void ExpectCleanDecode(const fs::path& vob) {
  std::string out;
  EXPECT_EQ(test::RunCommand("ffmpeg -nostdin -hide_banner -v error -xerror -i " + Quoted(vob) + " -f null -", &out), 0)
      << out;
  EXPECT_EQ(out, "") << "the decoder complains";
}

// The DVD multiplexer, watched: the test sees whether it was finished.
struct WatchedSink : IMuxSink {
  std::unique_ptr<IMuxSink> inner;
  int& opened;
  int& finished;
  WatchedSink(std::unique_ptr<IMuxSink> sink, int& o, int& f) : inner(std::move(sink)), opened(o), finished(f) {}
  bool Open(const TMuxOpenParams& p) override {
    ++opened;
    return inner->Open(p);
  }
  bool Write(const TMuxPacketIn& p) override { return inner->Write(p); }
  bool Finish() override {
    ++finished;
    return inner->Finish();
  }
  std::shared_ptr<TVobuCollection> Collection() override { return inner->Collection(); }
  int64_t AudioPacks() const override { return inner->AudioPacks(); }
};

struct Options {
  bool pal = true;
  bool widescreen = false;
  // The user's delay of the first audio track, set in the project as the user does:
  // the file becomes a segment of a project, and the segment a title.
  std::optional<int64_t> audioDelayUs = std::nullopt;
  int cancelAfterKeyPictures = 0;
};

// One title converted from one file into VIDEO_TS/VTS_01_1.VOB.
struct VobTitle {
  test::TempDir dir;
  TJobControl control;
  TLoggingObject log;
  std::vector<std::string> lines;
  TTitleReport report;
  int error = -1;
  int opened = 0, finished = 0;

  VobTitle() {
    log.LogCallback = [this](const void*, TSeverity, const std::string& t) { lines.push_back(t); };
  }
  fs::path Vob() const { return dir / "VIDEO_TS" / "VTS_01_1.VOB"; }
  std::string Log() const { return ::testing::PrintToString(lines); }
  bool Logged(const std::string& part) const {
    for (const auto& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

  bool Convert(const fs::path& in, const Options& o = {}) {
    auto factory = [this, inner = DvdMuxSinkFactory(log)] {
      return std::make_unique<WatchedSink>(inner(), opened, finished);
    };
    std::unique_ptr<TTitleConversion> title;
    AVRational rate{0, 0};
    if (o.audioDelayUs) {
      TAuteurSettings settings;
      TVideo_segments_collection project;
      TMenuStorage menu;
      TVideoSegmentstorage* segment = MakeSegment(in, settings, project, menu, log);
      EXPECT_NE(segment, nullptr) << Log();
      if (!segment || !segment->AudioStream(0)) return false;
      segment->AudioStream(0)->delay = *o.audioDelayUs;
      title.reset(dynamic_cast<TTitleConversion*>(OpenTitle(*segment, log, factory).release()));
      EXPECT_NE(title, nullptr) << Log();
      if (!title) return false;
      rate = title->TitleSet().FrameRate();
    } else {
      auto set = std::make_unique<Tav_titleset>();
      set->LogCallback = log.LogCallback;
      TFileCluster c;
      c.LoadSpannedSet(in);
      TAv_input_file* f = set->AddFile(c);
      EXPECT_NE(f, nullptr) << Log();
      if (!f) return false;
      f->AnalyseSync();
      for (size_t i = 0; i < set->StreamCount(); ++i) set->Stream(i).Discard = false;
      rate = set->FrameRate();
      title = std::make_unique<TTitleConversion>(std::move(set), TUserChapterList{}, TTitleFacts{}, factory);
    }
    TTitleDecisions d;
    d.pal = o.pal;
    d.height = o.pal ? 576 : 480;
    d.widescreen = o.widescreen;
    d.display_aspect = o.widescreen ? 16.0f / 9 : 4.0f / 3;
    d.frame_rate = DecideFrameRate(o.pal, rate.num, rate.den);
    d.rates = *TitleVideoRates(kDefaultAverageRate, 192000, TVideoRates{});
    TFileCluster out;
    out.SetPath((dir / "VIDEO_TS").string());
    out.PrepareVobOutput(1, false);
    int keyPictures = 0;
    TTitleContext ctx{control, log,
                      [&](int64_t) {
                        if (++keyPictures == o.cancelAfterKeyPictures) control.RequestCancel();
                      },
                      [](const std::string&) {}};
    report = title->Convert(d, out, ctx);
    error = title->LastError();
    return report.ok;
  }
};

// ---- frame rates ----------------------------------------------------------------------

struct RateCase {
  const char* name;
  const char* file;
  std::string make;  // ffmpeg arguments
  bool pal;
  bool widescreen;
  double seconds;       // content length of the source
  const char* rate;     // r_frame_rate on the disc
  double fps;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class TitleFrameRates : public ::testing::TestWithParam<RateCase> {};

// Every source rate ends as one DVD video stream at the disc's rate with one picture per
// frame period of the source's length, and 48 kHz AC-3 beside it.
TEST_P(TitleFrameRates, EveryPeriodHasOnePicture) {
  const RateCase& c = GetParam();
  VobTitle t;
  const fs::path in = t.dir / c.file;
  ASSERT_TRUE(test::MakeMedia(in, c.make));
  ASSERT_TRUE(t.Convert(in, {.pal = c.pal, .widescreen = c.widescreen})) << t.Log();
  EXPECT_EQ(t.error, TTitleConversion::kOk);
  ExpectCleanDecode(t.Vob());

  auto v = StreamFields(t.Vob(), "v", "codec_name,width,height,display_aspect_ratio,r_frame_rate,nb_read_frames", true);
  EXPECT_EQ(v["codec_name"], "mpeg2video");
  EXPECT_EQ(v["width"], "720");
  EXPECT_EQ(v["height"], c.pal ? "576" : "480");
  EXPECT_EQ(v["display_aspect_ratio"], c.widescreen ? "16:9" : "4:3");
  EXPECT_EQ(v["r_frame_rate"], c.rate);
  EXPECT_NEAR(Number(v, "nb_read_frames"), c.seconds * c.fps, 1.0) << "pictures for " << c.seconds << " s";

  auto a = StreamFields(t.Vob(), "a", "codec_name,sample_rate");
  EXPECT_EQ(a["codec_name"], "ac3");
  EXPECT_EQ(a["sample_rate"], "48000");
}

// Sound for four seconds beside each picture source.
std::string WithTone(const std::string& video, const std::string& extra = "-c:v mpeg4") {
  return video + " -f lavfi -i sine=f=440:d=4:sample_rate=44100 " + extra + " -c:a mp2";
}

INSTANTIATE_TEST_SUITE_P(
    Sources, TitleFrameRates,
    ::testing::Values(
        RateCase{"Pal25", "pal25.avi", WithTone("-f lavfi -i testsrc=size=352x288:rate=25:duration=4"), true, false, 4,
                 "25/1", 25},
        RateCase{"Ntsc30", "ntsc30.mp4", WithTone("-f lavfi -i testsrc=size=320x240:rate=30:duration=4"), false, false,
                 4, "30000/1001", 30000.0 / 1001},
        RateCase{"ThirtyIntoPal", "pal30.mp4", WithTone("-f lavfi -i testsrc=size=320x240:rate=30:duration=4"), true,
                 true, 4, "25/1", 25},
        RateCase{"FiftyIntoPal", "pal50.mkv", WithTone("-f lavfi -i testsrc=size=320x240:rate=50:duration=4"), true,
                 false, 4, "25/1", 25},
        // Ten pictures missing after 0.8 s and every third one from 2.4 s to 3.8 s.
        RateCase{"VariableRate", "vfr.mkv",
                 WithTone("-f lavfi -i testsrc=size=320x240:rate=25:duration=4",
                          "-vf select='not(between(n\\,20\\,29))*not(eq(mod(n\\,3)\\,0)*between(n\\,60\\,95))' "
                          "-fps_mode vfr -c:v mpeg4"),
                 true, true, 4, "25/1", 25}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- pulldown -------------------------------------------------------------------------

// Reads the GOP headers' time codes of an MPEG-2 video elementary stream and, for each,
// the fields shown by the pictures coded before it.
struct GopTimeCode {
  bool drop;
  int hours, minutes, seconds, pictures;
  int64_t fieldsBefore;
  int64_t picturesBefore;
  int rateCode;  // of the sequence header last seen
};
std::vector<GopTimeCode> ReadGopTimeCodes(const std::string& es) {
  std::vector<GopTimeCode> gops;
  int64_t fields = 0, pictures = 0;
  int rateCode = 0;
  const auto* d = reinterpret_cast<const uint8_t*>(es.data());
  for (size_t i = 0; i + 9 < es.size(); ++i) {
    if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
    const uint8_t* p = d + i + 4;
    if (d[i + 3] == 0xB3) {
      rateCode = p[3] & 0x0F;
    } else if (d[i + 3] == 0xB8) {
      gops.push_back({(p[0] & 0x80) != 0, (p[0] >> 2) & 31, ((p[0] & 3) << 4) | (p[1] >> 4),
                      ((p[1] & 7) << 3) | (p[2] >> 5), ((p[2] & 31) << 1) | (p[3] >> 7), fields, pictures,
                      rateCode});
    } else if (d[i + 3] == 0xB5 && (p[0] >> 4) == 8) {  // picture coding extension
      fields += (p[3] & 0x02) ? 3 : 2;
      ++pictures;
    }
  }
  return gops;
}

// The frame a drop-frame time code names: labels ;00 and ;01 are skipped at the start
// of every minute but each tenth.
int64_t DropFrameNumber(const GopTimeCode& t) {
  const int64_t minutes = t.hours * 60 + t.minutes;
  return ((minutes * 60 + t.seconds) * 30 + t.pictures) - 2 * (minutes - minutes / 10);
}

TEST(TitleMedia, FilmInAnNtscTitleIsPulledDownToNtscTime) {
  VobTitle t;
  const fs::path in = t.dir / "film.mkv";
  // A little over a minute, so the time codes pass the first dropped labels.
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=160x120:rate=24000/1001:duration=62 -c:v mpeg4 -q:v 8"));
  ASSERT_TRUE(t.Convert(in, {.pal = false})) << t.Log();
  ExpectCleanDecode(t.Vob());
  // Two fields a frame at 29.97 on average; the time stamps are exact to the field, so
  // the finest rate they fit is the field rate (ffprobe: "29.97 fps, 59.94 tbr").
  auto rates = StreamFields(t.Vob(), "v", "avg_frame_rate,r_frame_rate,duration");
  EXPECT_EQ(rates["avg_frame_rate"], "30000/1001");
  EXPECT_EQ(rates["r_frame_rate"], "60000/1001");
  EXPECT_NEAR(Number(rates, "duration"), 62.0, 0.05) << "the film keeps its length";

  // In display order a picture either shows two fields or repeats its first one, the
  // two kinds alternate, and each picture starts with the field the previous one did not
  // end with.
  const auto frames = Lines(Output("ffprobe -v error -select_streams v -show_entries frame=repeat_pict,top_field_first "
                                   "-of csv=p=0 " + Quoted(t.Vob())));
  ASSERT_GE(frames.size(), 1480u);
  int repeats = 0, alternations = 0, parityBreaks = 0;
  bool lastFieldTop = false, previousRepeat = false;
  for (size_t i = 0; i < frames.size(); ++i) {
    int tff = 0, repeat = 0;
    ASSERT_EQ(std::sscanf(frames[i].c_str(), "%d,%d", &tff, &repeat), 2) << frames[i];
    repeats += repeat;
    if (i > 0) {
      alternations += (repeat != 0) != previousRepeat;
      parityBreaks += (tff != 0) == lastFieldTop;
    }
    previousRepeat = repeat != 0;
    lastFieldTop = repeat ? tff != 0 : tff == 0;
  }
  EXPECT_EQ(parityBreaks, 0) << "fields alternate top and bottom throughout";
  EXPECT_EQ(alternations, static_cast<int>(frames.size()) - 1) << "3:2: every other picture repeats a field";
  EXPECT_NEAR(repeats, static_cast<double>(frames.size()) / 2, 1);

  // GOP time codes count 29.97 frames in drop-frame labels.
  const fs::path es = t.dir / "video.m2v";
  Output("ffmpeg -nostdin -v error -i " + Quoted(t.Vob()) + " -map 0:v -c copy -f mpeg2video " + Quoted(es));
  const auto gops = ReadGopTimeCodes(test::ReadFile(es));
  ASSERT_GE(gops.size(), 100u);
  bool pastMinute = false;
  for (const auto& g : gops) {
    EXPECT_TRUE(g.drop) << "drop-frame flag";
    EXPECT_FALSE(g.minutes % 10 != 0 && g.seconds == 0 && g.pictures < 2)
        << g.minutes << ":" << g.seconds << ";" << g.pictures << " is a label drop-frame time code skips";
    EXPECT_LT(g.pictures, 30);
    EXPECT_EQ(g.rateCode, 4) << "the sequence header announces 29.97";
    EXPECT_EQ(DropFrameNumber(g), g.fieldsBefore / 2) << "the label names the 29.97 frame the GOP starts at";
    // Film picture k belongs at k / 23.976 s, which is 29.97 frame 1.25 k.
    EXPECT_NEAR(static_cast<double>(DropFrameNumber(g)), 1.25 * g.picturesBefore, 1.0);
    pastMinute |= g.minutes >= 1;
  }
  EXPECT_TRUE(pastMinute);
}

// ---- audio ----------------------------------------------------------------------------

// A copied AC-3 track moved by the user's delay (set on the project's segment, as the
// user does) keeps every frame as it was and moves by exactly the delay; an encoded
// track starts with the delay's length of silence.
TEST(TitleMedia, UserDelayMovesTheSound) {
  test::TempDir src;
  const fs::path ac3 = src / "tone.ac3", mp2 = src / "tone.mp2", copied = src / "ac3.mkv", encoded = src / "mp2.mkv";
  // Sound from 1 s on, over a picture from 0 s. The tracks are made on their own so that
  // they start at 0 beside the picture (an encoder's start-up delay would otherwise start
  // the picture a little after the sound).
  const std::string picture = "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 ";
  const std::string sound = "-f lavfi -i aevalsrc='if(gte(t\\,1)\\,0.5*sin(2*PI*440*t)\\,0)':s=";
  ASSERT_TRUE(test::MakeMedia(ac3, sound + "48000:d=4 -c:a ac3 -b:a 192k"));
  ASSERT_TRUE(test::MakeMedia(mp2, sound + "44100:d=4 -c:a mp2"));
  ASSERT_TRUE(test::MakeMedia(copied, picture + "-i " + Quoted(ac3) + " -c:v mpeg4 -c:a copy"));
  ASSERT_TRUE(test::MakeMedia(encoded, picture + "-i " + Quoted(mp2) + " -c:v mpeg4 -c:a copy"));

  // Copied: {pts, md5} of every AC-3 frame, without and with the delay, against the
  // first picture's time.
  VobTitle plain, late;
  ASSERT_TRUE(plain.Convert(copied, {.audioDelayUs = 0})) << plain.Log();
  ASSERT_TRUE(late.Convert(copied, {.audioDelayUs = 500000})) << late.Log();
  EXPECT_TRUE(late.Logged("Sync. delay : 500.00 ms")) << late.Log();
  const auto source = AudioFrames(copied), a = AudioFrames(plain.Vob()), b = AudioFrames(late.Vob());
  ASSERT_GE(a.size(), 120u);
  EXPECT_EQ(a.size(), source.size());
  ASSERT_EQ(b.size(), a.size());
  const int64_t videoA = StartPts(plain.Vob(), "v"), videoB = StartPts(late.Vob(), "v");
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].second, source[i].second) << "frame " << i << " copied unchanged";
    EXPECT_EQ(b[i].second, a[i].second) << "frame " << i;
    EXPECT_EQ((b[i].first - videoB) - (a[i].first - videoA), 45000) << "frame " << i << " half a second later";
  }
  EXPECT_EQ(a[0].first, videoA) << "without a delay the track starts with the picture";

  // Encoded: the silence before the tone grows by half a second.
  VobTitle quiet, delayed;
  ASSERT_TRUE(quiet.Convert(encoded, {.audioDelayUs = 0})) << quiet.Log();
  ASSERT_TRUE(delayed.Convert(encoded, {.audioDelayUs = 500000})) << delayed.Log();
  const auto s0 = SoundStarts(quiet.Vob()), s1 = SoundStarts(delayed.Vob());
  ASSERT_FALSE(s0.empty());
  ASSERT_FALSE(s1.empty());
  const double v0 = StartPts(quiet.Vob(), "v") / 90000.0, v1 = StartPts(delayed.Vob(), "v") / 90000.0;
  // The MP2 decoder's delay (481 samples, 11 ms) is in the source's sound too.
  EXPECT_NEAR(s0[0] - v0, 1.011, 0.005) << "the tone starts a second after the picture";
  EXPECT_NEAR(s1[0] - v1, 1.511, 0.005) << "and half a second later with the delay";
  EXPECT_NEAR((s1[0] - v1) - (s0[0] - v0), 0.5, 0.001) << "the delay is exact";
  RecordProperty("encoded_tone_offset_us", static_cast<int>(std::lround((s0[0] - v0 - 1.0) * 1e6)));
}

// A hole in an MP3 track's time stamps is played as silence of its length, so what
// follows stays with its picture.
TEST(TitleMedia, TimeStampHoleInMp3BecomesSilence) {
  VobTitle t;
  const fs::path mp3 = t.dir / "hole.mka", in = t.dir / "hole.mkv";
  // Five 1024-sample frames (116 ms) after 2 s are left out, their times with them. The
  // track is made on its own so that it starts at 0 beside the picture.
  ASSERT_TRUE(test::MakeMedia(mp3, "-f lavfi -i sine=f=440:d=4:sample_rate=44100 "
                                   "-af aselect='not(between(t\\,2\\,2.1))' -c:a libmp3lame"));
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 -i " + Quoted(mp3) +
                                      " -c:v mpeg4 -c:a copy"));
  // Where the source's time stamps leave a hole, from the track's start.
  double holeStart = 0, hole = 0, first = NAN, previousEnd = NAN;
  for (const auto& line : Lines(Output("ffprobe -v error -select_streams a -show_entries packet=pts_time,duration_time "
                                       "-of csv=p=0 " + Quoted(in)))) {
    double at = 0, duration = 0;
    if (std::sscanf(line.c_str(), "%lf,%lf", &at, &duration) != 2) continue;
    if (std::isnan(first)) first = at;
    if (!std::isnan(previousEnd) && at - previousEnd > hole) {
      hole = at - previousEnd;
      holeStart = previousEnd - first;
    }
    previousEnd = at + duration;
  }
  ASSERT_NEAR(hole, 0.1, 0.03) << "the source has its hole";
  ASSERT_NEAR(holeStart, 2.05, 0.03);

  ASSERT_TRUE(t.Convert(in)) << t.Log();
  EXPECT_TRUE(t.Logged("Audio sync at")) << t.Log();
  const auto silences = Silences(t.Vob());
  ASSERT_EQ(silences.size(), 2u) << "the hole and the end: " << ::testing::PrintToString(silences);
  const double video = StartPts(t.Vob(), "v") / 90000.0;
  EXPECT_NEAR(silences[0].first - video, holeStart, 0.01) << "the silence starts where the hole does";
  EXPECT_NEAR(silences[0].second - silences[0].first, hole, 0.01) << "and lasts as long";
  RecordProperty("hole_start_error_us", static_cast<int>(std::lround((silences[0].first - video - holeStart) * 1e6)));
}

// A beep and a white picture together, every `period` seconds from period / 2 on: each
// beep plays within a PAL frame of its picture, also after pictures missing from a
// variable-rate source have been made up for.
struct SyncCase {
  const char* name;
  int seconds, period;
  std::string select;  // frames kept, empty for all
  const char* file = "sync.mkv";
  const char* codecs = "-c:v mpeg4 -q:v 8 -c:a mp2";
};
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class TitleSync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(TitleSync, BeepsStayWithFlashes) {
  const SyncCase& c = GetParam();
  VobTitle t;
  const fs::path in = t.dir / c.file;
  const std::string when = "lt(mod(t-" + std::to_string(c.period / 2) + "\\," + std::to_string(c.period) + ")\\,0.1)";
  std::string filter = "drawbox=c=white:t=fill:enable='" + when + "'";
  if (!c.select.empty()) filter += ",select='" + c.select + "' -fps_mode vfr";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i color=c=black:size=160x120:rate=25:duration=" +
                                      std::to_string(c.seconds) + " -f lavfi -i aevalsrc='if(" + when +
                                      "\\,0.5*sin(2*PI*1000*t)\\,0)':s=44100:d=" + std::to_string(c.seconds) +
                                      " -vf " + filter + " " + c.codecs));
  ASSERT_TRUE(t.Convert(in)) << t.Log();
  const auto flashes = Flashes(t.Vob());
  const auto beeps = SoundStarts(t.Vob());
  const size_t count = static_cast<size_t>(c.seconds / c.period);
  ASSERT_EQ(flashes.size(), count) << ::testing::PrintToString(flashes);
  ASSERT_EQ(beeps.size(), count) << ::testing::PrintToString(beeps);
  double worst = 0;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_NEAR(beeps[i], flashes[i], 0.04) << "beep " << i;
    EXPECT_NEAR(flashes[i] - flashes[0], static_cast<double>(c.period * i), 0.001) << "flash " << i;
    worst = std::max(worst, std::fabs(beeps[i] - flashes[i]));
  }
  RecordProperty("worst_sync_offset_us", static_cast<int>(std::lround(worst * 1e6)));
}

INSTANTIATE_TEST_SUITE_P(
    Clips, TitleSync,
    ::testing::Values(SyncCase{"SteadyMinute", 60, 10, ""},
                      // 0.4 s of pictures missing after 1 s, and every third one from 6.4 s to 9.6 s.
                      SyncCase{"AfterMissingPictures", 12, 4,
                               "not(between(n\\,25\\,34))*not(eq(mod(n\\,3)\\,1)*between(n\\,160\\,240))"},
                      // Reordered pictures: the first packet is decoded two frames before
                      // its picture is shown.
                      SyncCase{"BPicturesInMp4", 12, 4, "", "sync.mp4",
                               "-c:v libx264 -preset veryfast -bf 3 -c:a mp2"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- awkward and broken inputs --------------------------------------------------------

struct BadInput {
  const char* name;
  const char* file;
  std::string make;        // ffmpeg arguments
  double truncateTo = 1;   // share of the file kept
  bool ok = true;
  int error = TTitleConversion::kOk;
  const char* logged = "";  // part of a log line
  double minSeconds = 0, maxSeconds = 0;  // of picture on the disc, when ok
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

class TitleBadInputs : public ::testing::TestWithParam<BadInput> {};

TEST_P(TitleBadInputs, EndCleanly) {
  const BadInput& c = GetParam();
  VobTitle t;
  const fs::path in = t.dir / c.file;
  test::WriteFile(t.dir / "subs.srt", "1\n00:00:00,500 --> 00:00:02,000\nHello\n\n2\n00:00:02,500 --> 00:00:03,500\nBye\n");
  std::string make = c.make;
  for (size_t at; (at = make.find("{dir}")) != std::string::npos;) make.replace(at, 5, t.dir.path().string());
  ASSERT_TRUE(test::MakeMedia(in, make));
  if (c.truncateTo < 1) fs::resize_file(in, static_cast<uintmax_t>(fs::file_size(in) * c.truncateTo));

  EXPECT_EQ(t.Convert(in), c.ok) << t.Log();
  EXPECT_EQ(t.error, c.error) << t.Log();
  EXPECT_EQ(t.finished, t.opened) << "an opened multiplexer is always finished";
  if (*c.logged) {
    EXPECT_TRUE(t.Logged(c.logged)) << t.Log();
  }
  if (std::string(c.logged) != "it may be truncated") {
    EXPECT_FALSE(t.Logged("it may be truncated")) << t.Log();
  }
  if (!c.ok) return;
  ExpectCleanDecode(t.Vob());
  auto v = StreamFields(t.Vob(), "v", "nb_read_frames", true);
  EXPECT_GE(Number(v, "nb_read_frames") / 25, c.minSeconds);
  EXPECT_LE(Number(v, "nb_read_frames") / 25, c.maxSeconds);
  EXPECT_EQ(Output("ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 " + Quoted(t.Vob()) +
                   " | grep -v data"),
            "video\naudio\n")
      << "one picture and one sound track besides the navigation data";
}

const std::string kTestSource = "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 ";
const std::string kTone = "-f lavfi -i sine=f=440:d=4 ";

INSTANTIATE_TEST_SUITE_P(
    Inputs, TitleBadInputs,
    ::testing::Values(
        BadInput{"TwoVideoStreams", "two.mkv",
                 kTestSource + "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4 " + kTone +
                     "-map 0 -map 1 -map 2 -c:v mpeg4 -c:a mp2",
                 1, true, TTitleConversion::kOk, "Discarding video stream #1", 3.9, 4.1},
        BadInput{"EmbeddedSubtitles", "subs.mkv",
                 kTestSource + kTone + "-i {dir}/subs.srt -map 0 -map 1 -map 2 -c:v mpeg4 -c:a mp2 -c:s srt", 1, true,
                 TTitleConversion::kOk, "is not used", 3.9, 4.1},
        BadInput{"SubtitlesInMp4", "subs.mp4",
                 kTestSource + kTone + "-i {dir}/subs.srt -map 0 -map 1 -map 2 -c:v mpeg4 -c:a aac -c:s mov_text", 1, true,
                 TTitleConversion::kOk, "is not used", 3.9, 4.1},
        // The MKV's header still announces 4 s; an AVI's length is taken from what is there.
        BadInput{"TruncatedMkv", "cut.mkv", kTestSource + kTone + "-c:v mpeg4 -q:v 3 -c:a mp2", 0.6, true,
                 TTitleConversion::kOk, "it may be truncated", 1.8, 3.0},
        BadInput{"TruncatedAvi", "cut.avi", kTestSource + kTone + "-c:v mpeg4 -q:v 3 -c:a mp2", 0.6, true,
                 TTitleConversion::kOk, "", 1.8, 3.0},
        BadInput{"NoPicture", "sound.mka", kTone + "-c:a mp2", 1, false, TTitleConversion::kDecoderOpen,
                 "No decodable video stream found"}),
    [](const auto& info) { return std::string(info.param.name); });

// A cover picture stored as a video stream is not the film, however large it is.
TEST(TitleMedia, CoverPictureIsNotTheFilm) {
  VobTitle t;
  const fs::path cover = t.dir / "cover.png", in = t.dir / "film.mp4";
  ASSERT_TRUE(test::MakeMedia(cover, "-f lavfi -i color=c=red:size=640x480 -frames:v 1"));
  ASSERT_TRUE(test::MakeMedia(in, kTestSource + kTone + "-i " + Quoted(cover) +
                                      " -map 0 -map 1 -map 2 -c:v:0 mpeg4 -c:v:1 png -disposition:v:1 attached_pic "
                                      "-c:a aac"));
  ASSERT_TRUE(t.Convert(in)) << t.Log();
  ExpectCleanDecode(t.Vob());
  EXPECT_NEAR(Number(StreamFields(t.Vob(), "v", "nb_read_frames", true), "nb_read_frames"), 100, 1)
      << "four seconds of the film";
  EXPECT_TRUE(t.Logged("is a cover picture")) << t.Log();
  EXPECT_FALSE(t.Logged("bigger resolution")) << "the cover is larger, and still not a second film";
}

// Two recordings joined in one transport stream, the second one's clock 45 s ahead of
// the first or 45 s behind it (a recorder whose clock was reset): the jump is taken out
// of every track, so the disc has no 45 s hole and the sound of the second part is still
// with its picture, whether the sound is encoded or copied.
struct TClockJump {
  const char* name;
  const char* sound;
  bool backwards;
};
class TitleClockJump : public ::testing::TestWithParam<TClockJump> {};

TEST_P(TitleClockJump, IsRemovedFromEveryTrack) {
  VobTitle t;
  std::string joined;
  for (int part = 0; part < 2; ++part) {
    const fs::path ts = t.dir / ("part" + std::to_string(part) + ".ts");
    const bool ahead = GetParam().backwards ? part == 0 : part == 1;
    ASSERT_TRUE(test::MakeMedia(ts, "-f lavfi -i color=c=black:size=160x120:rate=25:duration=4 -f lavfi -i "
                                    "aevalsrc='if(between(t\\,2\\,2.1)\\,0.5*sin(2*PI*1000*t)\\,0)':s=48000:d=4 "
                                    "-vf drawbox=c=white:t=fill:enable='between(t\\,2\\,2.09)' -c:v mpeg2video "
                                    "-c:a " + std::string(GetParam().sound) + (ahead ? " -output_ts_offset 45" : "")));
    joined += test::ReadFile(ts);
  }
  const fs::path in = t.dir / "joined.ts";
  test::WriteFile(in, joined);
  if (!GetParam().backwards)
    ASSERT_GT(Number(StreamFields(in, "v", "duration"), "duration"), 45) << "the source's clock jumps";

  ASSERT_TRUE(t.Convert(in)) << t.Log();
  EXPECT_TRUE(t.Logged("of gap. This is frequent")) << t.Log();
  EXPECT_TRUE(t.Logged("ms of gap delta")) << "the other track skips the same gap: " << t.Log();
  EXPECT_FALSE(t.Logged("it may be truncated")) << "the jump is no loss: " << t.Log();
  ExpectCleanDecode(t.Vob());
  EXPECT_NEAR(Number(StreamFields(t.Vob(), "v", "nb_read_frames", true), "nb_read_frames"), 200, 1)
      << "eight seconds of pictures";
  const auto flashes = Flashes(t.Vob());
  const auto beeps = SoundStarts(t.Vob());
  ASSERT_EQ(flashes.size(), 2u) << ::testing::PrintToString(flashes);
  ASSERT_EQ(beeps.size(), 2u) << ::testing::PrintToString(beeps);
  EXPECT_NEAR(flashes[1] - flashes[0], 4.0, 0.001) << "the parts follow each other";
  for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(beeps[i], flashes[i], 0.04) << "part " << i;
  RecordProperty("offset_before_jump_us", static_cast<int>(std::lround((beeps[0] - flashes[0]) * 1e6)));
  RecordProperty("offset_after_jump_us", static_cast<int>(std::lround((beeps[1] - flashes[1]) * 1e6)));

  // Frame after frame, with no two at one time and no hole where the parts meet.
  const auto frames = AudioFrames(t.Vob());
  ASSERT_GT(frames.size(), 100u);
  int64_t widest = 0, narrowest = INT64_MAX;
  for (size_t i = 1; i < frames.size(); ++i) {
    widest = std::max(widest, frames[i].first - frames[i - 1].first);
    narrowest = std::min(narrowest, frames[i].first - frames[i - 1].first);
  }
  const int64_t frame = 2880;  // an AC-3 frame, 1536 samples at 48 kHz
  EXPECT_GE(narrowest, frame - 1);
  EXPECT_LE(widest, frame + 3600) << "no hole longer than a picture";
}

INSTANTIATE_TEST_SUITE_P(Sound, TitleClockJump,
                         ::testing::Values(TClockJump{"Mp2", "mp2", false}, TClockJump{"Ac3", "ac3", false},
                                           TClockJump{"Mp2Backwards", "mp2", true},
                                           TClockJump{"Ac3Backwards", "ac3", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A cancel while the title is running ends it unfinished, with its multiplexer closed.
TEST(TitleMedia, CancelAfterAFewPictures) {
  VobTitle t;
  const fs::path in = t.dir / "long.avi";
  ASSERT_TRUE(test::MakeMedia(in, "-f lavfi -i testsrc=size=160x120:rate=25:duration=20 -f lavfi -i sine=d=20 "
                                  "-c:v mpeg4 -c:a mp2"));
  EXPECT_FALSE(t.Convert(in, {.cancelAfterKeyPictures = 3}));
  EXPECT_EQ(t.error, TTitleConversion::kOk) << "a cancel is no fault";
  EXPECT_EQ(t.opened, 1);
  EXPECT_EQ(t.finished, 1);
  EXPECT_LT(fs::file_size(t.Vob()), 2u << 20) << "converting stopped at the cancel";
}

}  // namespace
}  // namespace vidoria
