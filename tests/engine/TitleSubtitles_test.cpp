// Subtitle files in a build: found beside the video, attached to the title, rendered and
// multiplexed as DVD sub-picture streams with their languages and the title's palette.
#include "engine/U_DvdMuxSink.h"
#include "engine/U_TitleSetup.h"
#include "engine/U_TitleSubtitles.h"
#include "ifo/U_IfoBuilder.h"
#include "mux/U_VobuCollection.h"
#include "platform/CodePages.h"
#include "subtitles/U_SubtitleMap8.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Writes `unit` as 2048-byte packs of private stream 1, sub-stream `id`, the first
// carrying the presentation time.
std::string PackUnit(const Bytes& unit, uint8_t id, int64_t pts) {
  std::string out;
  size_t done = 0;
  while (done < unit.size()) {
    const bool first = done == 0;
    Bytes p = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    const size_t headerData = first ? 5 : 0;
    const size_t room = kSubPackSize - p.size() - 9 - headerData - 1;
    const size_t take = std::min(room, unit.size() - done);
    const size_t gap = room - take;
    const size_t stuffing = gap < 6 ? gap : 0;
    const size_t pesLength = 3 + headerData + stuffing + 1 + take;
    p.insert(p.end(), {0x00, 0x00, 0x01, 0xBD, uint8_t(pesLength >> 8), uint8_t(pesLength), 0x81,
                       uint8_t(first ? 0x80 : 0x00), uint8_t(headerData + stuffing)});
    if (first)
      p.insert(p.end(), {uint8_t(0x21 | ((pts >> 29) & 0x0E)), uint8_t(pts >> 22), uint8_t(0x01 | ((pts >> 14) & 0xFE)),
                         uint8_t(pts >> 7), uint8_t(0x01 | ((pts << 1) & 0xFE))});
    p.insert(p.end(), stuffing, 0xFF);
    p.push_back(id);
    p.insert(p.end(), unit.begin() + std::ptrdiff_t(done), unit.begin() + std::ptrdiff_t(done + take));
    done += take;
    if (gap >= 6) {
      const size_t len = gap - 6;
      p.insert(p.end(), {0x00, 0x00, 0x01, 0xBE, uint8_t(len >> 8), uint8_t(len)});
      p.insert(p.end(), len, 0xFF);
    }
    out.append(p.begin(), p.end());
  }
  return out;
}

// A VobSub pair in German whose events show `text` in yellow at the given times.
void MakeVobSub(const fs::path& base, const std::vector<std::pair<int, std::string>>& events) {
  std::array<TRgb, 16> colours{};
  colours[0] = kBlack;
  colours[1] = kWhite;
  colours[2] = TRgb{255, 255, 0};
  colours[3] = TRgb{64, 64, 64};
  TDVDPalette palette;
  palette.Load16(colours);
  std::string idx = "# VobSub index file, v7 (do not modify this line!)\nsize: 720x576\npalette: ";
  for (size_t i = 0; i < 16; ++i) {
    char c[16];
    std::snprintf(c, sizeof c, "%s%06x", i ? ", " : "", colours[i].ToRgb());
    idx += c;
  }
  idx += "\nid: de, index: 0\n";
  std::string sub;
  for (const auto& [ms, text] : events) {
    TDVDPalette scratch = palette;
    TSubtitleMap8 map(kSttPictureWidth, scratch, kSttPictureHeightPal);
    TFont font;
    font.Name = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    font.Size = 22;
    font.Color = 0xFFFF00;
    map.Style.SetFont(font);
    map.Style.BackgroundColor = kSttTransparent;
    map.Style.Align = STTA_TOPCENTER;
    map.SetLines({DecodeUtf8(text)});
    map.Render();
    const TSpuPicture pic = map.GetPicture();
    TSubPicture req;
    req.Stop = 1500;
    req.Pictures = std::span(&pic, 1);
    TSPUH spu(palette);
    ASSERT_GT(spu.Build(req), 0u);
    char line[96];
    std::snprintf(line, sizeof line, "timestamp: %02d:%02d:%02d:%03d, filepos: %09zX\n", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000, sub.size());
    idx += line;
    sub += PackUnit(spu.Data(), 0x20, int64_t(ms) * 90);
  }
  test::WriteFile(fs::path(base).replace_extension(".idx"), idx);
  test::WriteFile(fs::path(base).replace_extension(".SUB"), sub);
}

const char* const kSrt =
    "1\r\n00:00:00,800 --> 00:00:02,200\r\n<i>Italic words</i> and plain ones\r\n\r\n"
    "2\r\n00:00:02,400 --> 00:00:03,600\r\nÉté à la plage, <font color=\"#00FF00\">vert</font> et blanc\r\n\r\n"
    "3\r\n00:00:03,800 --> 00:00:05,200\r\nשלום עולם\r\n";

struct Build {
  test::TempDir dir;
  TLoggingObject log;
  std::vector<std::string> lines;
  Build() {
    log.LogCallback = [this](const void*, TSeverity, const std::string& t) { lines.push_back(t); };
  }
};

TEST(TitleSubtitles, CompanionFilesAreAttachedWithTheDefaults) {
  Build b;
  const fs::path video = b.dir / "Movie.mkv";
  ASSERT_TRUE(test::MakeMedia(video, "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mpeg4"));
  test::WriteFile(b.dir / "MOVIE.Srt", kSrt);
  MakeVobSub(b.dir / "movie", {{1500, "VobSub"}});
  TAuteurSettings settings;
  settings.Set_Stt_default_language("fr");
  settings.Set_Stt_relative_position(80);
  TVideo_segments_collection project;
  TMenuStorage menu;
  TVideoSegmentstorage* seg = MakeSegment(video, settings, project, menu, b.log);
  ASSERT_NE(seg, nullptr) << ::testing::PrintToString(b.lines);
  ASSERT_EQ(seg->External_Subts.Count(), 2u) << ::testing::PrintToString(b.lines);
  const TExternal_Subt& srt = seg->External_Subts[0];
  const TExternal_Subt& vob = seg->External_Subts[1];
  EXPECT_EQ(fs::path(srt.filename).filename(), "MOVIE.Srt");
  EXPECT_EQ(srt.language, "fr");
  EXPECT_EQ(srt.Relative_position, 80);
  EXPECT_EQ(fs::path(vob.filename).extension(), ".idx");
  EXPECT_EQ(vob.language, "de") << "a VobSub index names its own language";
  EXPECT_EQ(seg->External_Subts.Default_Stt_file, 0);
  EXPECT_TRUE(seg->External_Subts.Default_Stt_Enabled);

  // A file that holds nothing is left out, with the reason.
  const fs::path other = b.dir / "other.mkv";
  fs::copy_file(video, other);
  test::WriteFile(b.dir / "other.srt", "no cues in here\n");
  b.lines.clear();
  TVideoSegmentstorage* seg2 = MakeSegment(other, settings, project, menu, b.log);
  ASSERT_NE(seg2, nullptr);
  EXPECT_EQ(seg2->External_Subts.Count(), 0u);
  const std::string expected =
      "Skipping subtitle file \"" + DisplayName(b.dir / "other.srt") + "\". Reason: Empty or unsupported format";
  EXPECT_NE(std::find(b.lines.begin(), b.lines.end(), expected), b.lines.end()) << ::testing::PrintToString(b.lines);
}

// The whole path: a text track (italic, coloured, accented and Hebrew lines) and a VobSub
// track become the title's sub-picture streams 0x20 and 0x21.
TEST(TitleSubtitles, TitleWithTextAndVobSubTracks) {
  Build b;
  const fs::path video = b.dir / "clip.mkv";
  ASSERT_TRUE(test::MakeMedia(video, "-f lavfi -i testsrc=size=320x240:rate=25:duration=6 -f lavfi -i sine=d=6 "
                                     "-c:v mpeg4 -c:a mp2"));
  test::WriteFile(b.dir / "clip.srt", kSrt);
  MakeVobSub(b.dir / "clip", {{1500, "VobSub one"}, {3500, "VobSub two"}});
  TAuteurSettings settings;
  settings.Set_Stt_default_language("en");
  TVideo_segments_collection project;
  TMenuStorage menu;
  TVideoSegmentstorage* seg = MakeSegment(video, settings, project, menu, b.log);
  ASSERT_NE(seg, nullptr);
  ASSERT_EQ(seg->External_Subts.Count(), 2u);
  seg->External_Subts[0].Font = TFontDesc{"DejaVu Sans", 24, false, false, false, kWhite};

  auto title = OpenTitle(*seg, b.log, DvdMuxSinkFactory(b.log));
  ASSERT_NE(title, nullptr) << ::testing::PrintToString(b.lines);
  EXPECT_EQ(title->Facts().subidx_height, 576);
  TTitleDecisions d;
  d.frame_rate = DecideFrameRate(true, 25, 1);
  d.rates = *TitleVideoRates(6000000, 192000, TVideoRates{});
  TFileCluster out(1 << 30);
  out.SetPath((b.dir / "VIDEO_TS").string());
  out.PrepareVobOutput(1, false);
  TJobControl control;
  TTitleContext ctx{control, b.log, [](int64_t) {}, [](const std::string&) {}};
  const TTitleReport r = title->Convert(d, out, ctx);
  ASSERT_TRUE(r.ok) << ::testing::PrintToString(b.lines);
  ASSERT_NE(r.vobus, nullptr);

  // The multiplexer registered both streams with their languages, and the title's
  // palette (the VobSub one, which text colours then share) reached the IFO data.
  EXPECT_EQ(r.vobus->PresentSubpictureCount(), 2u);
  EXPECT_EQ(std::string(r.vobus->SubpictureLanguage[0].data(), 2), "en");
  EXPECT_EQ(std::string(r.vobus->SubpictureLanguage[1].data(), 2), "de");
  EXPECT_EQ(r.vobus->DefaultSubpictureStream, 0);
  ASSERT_NE(r.vobus->Palette, nullptr);
  EXPECT_EQ(r.vobus->Palette->Count(), 16u);
  EXPECT_EQ(r.vobus->PaletteEntry(2), (TRgb{255, 255, 0}));
  EXPECT_GT(r.vobus->SubpicturePackCount, 0);

  const fs::path vob = b.dir / "VIDEO_TS" / "VTS_01_1.VOB";
  std::string probe;
  ASSERT_EQ(test::RunCommand("ffprobe -v error -show_entries stream=id,codec_name -of csv=p=0 '" + vob.string() + "'",
                             &probe),
            0)
      << probe;
  EXPECT_NE(probe.find("dvd_subtitle,0x20"), std::string::npos) << probe;
  EXPECT_NE(probe.find("dvd_subtitle,0x21"), std::string::npos) << probe;
  // Every event arrived: three text units, two VobSub units.
  std::string packets;
  ASSERT_EQ(test::RunCommand("ffprobe -v error -select_streams s -show_entries packet=stream_index,pts_time -of csv=p=0 '" +
                                 vob.string() + "'",
                             &packets),
            0);
  EXPECT_EQ(std::count(packets.begin(), packets.end(), '\n'), 5) << packets;
  for (const auto& l : b.lines) EXPECT_EQ(l.find("skipped"), std::string::npos) << l;

  // The IFO files list both streams with their languages, and carry the palette.
  TIfoJob job;
  job.video_ts = b.dir / "VIDEO_TS";
  job.titles = {r.vobus};
  ASSERT_TRUE(MakeIfoStage()->WriteIfos(job, b.log)) << ::testing::PrintToString(b.lines);
  std::string listing;
  ASSERT_EQ(test::RunCommand("lsdvd -s -P '" + b.dir.path().string() + "' 2>&1", &listing), 0) << listing;
  EXPECT_NE(listing.find("Language: en - English"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Language: de - Deutsch"), std::string::npos) << listing;
  // White, after black, as Y Cr Cb.
  EXPECT_NE(listing.find("eb8080"), std::string::npos) << listing;

  // Kept for a look with a player when asked.
  if (const char* keep = std::getenv("VIDORIA_KEEP_TEST_OUTPUT"))
    fs::copy(b.dir / "VIDEO_TS", fs::path(keep), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// Units wait in their stream's queue until that stream asks; a stream the title set
// dropped costs no rendering.
TEST(TitleSubtitles, UnitsAreRoutedToTheirStreams) {
  test::TempDir dir;
  test::WriteFile(dir / "a.srt", "1\n00:00:01,000 --> 00:00:02,000\nA one\n\n2\n00:00:05,000 --> 00:00:06,000\nA two\n");
  test::WriteFile(dir / "b.srt", "1\n00:00:03,000 --> 00:00:04,000\nB one\n");
  test::WriteFile(dir / "c.srt", "1\n00:00:03,500 --> 00:00:04,000\nC dropped\n");
  TTitleSubtitles subs;
  std::vector<std::string> log;
  subs.LogCallback = [&](const void*, TSeverity, const std::string& t) { log.push_back(t); };
  TAV_Input_Stream kept[2], dropped;
  kept[0].Discard = kept[1].Discard = false;
  dropped.Discard = true;
  std::vector<TSttFile*> files;
  const TAV_Input_Stream* inputs[] = {&kept[0], &kept[1], &dropped};
  int out = 0;
  for (const char* name : {"a.srt", "b.srt", "c.srt"}) {
    TExternal_Subt x;
    x.filename = (dir / name).string();
    x.Outline_size = 2;
    TSttFile* f = subs.AddFile(x);
    ASSERT_NE(f, nullptr);
    f->AttachOutputStream(0, out);
    subs.BindStream(*f, 0, inputs[out++]);
    files.push_back(f);
  }
  ASSERT_TRUE(subs.Prepare());
  EXPECT_EQ(subs.NextEventTime(0), 1000000);
  EXPECT_EQ(subs.NextEventTime(1), 3000000);

  ISubPictureSource::TUnit u;
  EXPECT_FALSE(subs.NextUnit(1, 2500 * 90, true, u)) << "nothing of stream 1 before 3 s";
  ASSERT_TRUE(subs.NextUnit(0, 4000 * 90, true, u));
  EXPECT_EQ(u.pts90, 1000 * 90);
  EXPECT_EQ(u.duration90, 1000 * 90);
  EXPECT_FALSE(u.data.empty());
  EXPECT_FALSE(subs.NextUnit(0, 4000 * 90, true, u)) << "A two is not due yet";
  ASSERT_TRUE(subs.NextUnit(1, 4000 * 90, true, u)) << "B one waited in its queue";
  EXPECT_EQ(u.pts90, 3000 * 90);
  EXPECT_FALSE(subs.NextUnit(2, INT64_MAX, true, u));
  ASSERT_TRUE(subs.NextUnit(0, INT64_MAX, true, u));
  EXPECT_EQ(u.pts90, 5000 * 90);
  EXPECT_EQ(subs.NextEventTime(0), kNoTime);
  EXPECT_EQ(files[2]->PacketCount(), 0) << "the dropped stream was not rendered";
  EXPECT_EQ(files[0]->PacketCount(), 2);
}

// SUB/IDX files of different heights in one title cannot be prepared: the title is not
// opened, and the log says why.
TEST(TitleSubtitles, MixedVobSubStandardsFailTheTitle) {
  Build b;
  const fs::path video = b.dir / "mix.mkv";
  ASSERT_TRUE(test::MakeMedia(video, "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mpeg4"));
  MakeVobSub(b.dir / "a", {{500, "a"}});
  MakeVobSub(b.dir / "b", {{500, "b"}});
  std::string idx = test::ReadFile(b.dir / "b.idx");
  idx.replace(idx.find("720x576"), 7, "720x480");
  test::WriteFile(b.dir / "b.idx", idx);
  TAuteurSettings settings;
  TVideo_segments_collection project;
  TMenuStorage menu;
  TVideoSegmentstorage* seg = MakeSegment(video, settings, project, menu, b.log);
  ASSERT_NE(seg, nullptr);
  for (const char* f : {"a.idx", "b.idx"}) seg->External_Subts.Add().filename = (b.dir / f).string();
  EXPECT_EQ(OpenTitle(*seg, b.log, DvdMuxSinkFactory(b.log)), nullptr);
  EXPECT_NE(::testing::PrintToString(b.lines).find("SUB/IDX of different standard"), std::string::npos);
}

}  // namespace
}  // namespace vidoria
