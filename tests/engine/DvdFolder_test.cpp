// A whole DVD folder end to end: clips made by the ffmpeg command are converted into
// title VOBs, the IFO builder authors them, and independent readers and players check
// the result: libdvdread (tables and blocks), lsdvd, libdvdnav (navigation from first
// play), mpv (playback) and dvdunauthor (decompiling).

#include "engine/U_BuildSetup.h"
#include "engine/U_DvdMuxSink.h"
#include "engine/U_TitleConversion.h"
#include "engine/U_TitleSetup.h"
#include "ifo/U_IfoBuilder.h"
#include "mux/U_DVDMux_50.h"
#include "mux/U_VobuCollection.h"
#include "platform/MessageFormat.h"
#include "support/DvdNav.h"
#include "support/DvdRead.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::TDvdRead;

// One sub-picture unit, half a second into the title: a 6 x 3 picture shown 1.5 s.
class TOneSubPicture : public ISubPictureSource {
 public:
  std::string Language() const override { return "fr"; }
  int64_t NextEventTime() const override { return done_ ? kNoTime : 500000; }
  bool NextUnit(int64_t until90, bool, TUnit& unit) override {
    if (done_ || until90 < 45000) return false;
    done_ = true;
    unit.data = {0x00, 0x28, 0x00, 0x09, 0x11, 0x80, 0x74, 0x7C, 0x1A, 0x00, 0x00, 0x00, 0x21, 0x01,
                 0x03, 0x20, 0x10, 0x04, 0x7F, 0xF0, 0x05, 0x00, 0xA0, 0x0F, 0x01, 0x40, 0x16, 0x06,
                 0x00, 0x04, 0x00, 0x08, 0xFF, 0x00, 0x81, 0x00, 0x21, 0x02, 0xFF, 0xFF};
    unit.pts90 = 45000;
    unit.duration90 = 135000;
    return true;
  }

 private:
  bool done_ = false;
};

struct TClip {
  int seconds;
  std::vector<int64_t> chaptersMs;  // besides the one at 0
  bool subtitle;
};

// Titles converted once per standard and shared by the tests, which author them
// again with different play options.
struct TDisc {
  test::TempDir tmp;
  fs::path root = tmp / "DISC";
  fs::path dir = root / "VIDEO_TS";
  bool pal = true;
  std::vector<TClip> clips;
  std::vector<std::shared_ptr<TVobuCollection>> titles;
  std::vector<std::string> log;

  TIfoJob Job(size_t count, bool loop) const {
    TIfoJob job;
    job.video_ts = dir;
    job.titles.assign(titles.begin(), titles.begin() + static_cast<std::ptrdiff_t>(count));
    job.loop_playback = loop;
    job.auto_start = false;
    job.sequential_playback = true;
    return job;
  }
  // Authors the first `count` titles; only they are left in the folder.
  bool Author(size_t count, bool loop) {
    for (size_t i = count + 1; i <= titles.size(); ++i)
      for (const char* ext : {"IFO", "BUP"}) fs::remove(dir / SafeFormat("VTS_%.2d_0.%s", i, std::string(ext)));
    TLoggingObject sink;
    sink.LogCallback = [this](const void*, TSeverity, const std::string& t) { log.push_back(t); };
    return MakeIfoStage()->WriteIfos(Job(count, loop), sink);
  }
};

std::unique_ptr<TDisc> Convert(bool pal, std::vector<TClip> clips) {
  auto disc = std::make_unique<TDisc>();
  disc->pal = pal;
  disc->clips = clips;
  fs::create_directories(disc->dir);
  fs::create_directories(disc->root / "AUDIO_TS");
  TLoggingObject log;
  log.LogCallback = [&](const void*, TSeverity s, const std::string& t) {
    if (s == EVT_ERROR) disc->log.push_back(t);
  };
  for (size_t i = 0; i < clips.size(); ++i) {
    const fs::path in = disc->tmp / SafeFormat("clip%d.avi", i + 1);
    const std::string rate = pal ? "25" : "30000/1001", size = pal ? "352x288" : "352x240";
    if (!test::MakeMedia(in, SafeFormat("-f lavfi -i testsrc=size=%s:rate=%s:duration=%d -f lavfi -i sine=d=%d "
                                        "-c:v mpeg4 -c:a mp2",
                                        size, rate, clips[i].seconds, clips[i].seconds)))
      return nullptr;
    auto set = std::make_unique<Tav_titleset>();
    set->LogCallback = log.LogCallback;
    TFileCluster c;
    c.LoadSpannedSet(in);
    TAv_input_file* f = set->AddFile(c);
    if (!f) return nullptr;
    f->AnalyseSync();
    for (size_t s = 0; s < set->StreamCount(); ++s) set->Stream(s).Discard = false;
    if (clips[i].subtitle) set->AddSubtitleStream(std::make_shared<TOneSubPicture>(), f, false, true);
    TUserChapterList chapters;
    for (int64_t ms : clips[i].chaptersMs) chapters.AddMs(ms);
    TTitleConversion title(std::move(set), std::move(chapters), {}, DvdMuxSinkFactory(log));
    TTitleDecisions d;
    d.title_number = static_cast<int>(i) + 1;
    d.pal = pal;
    d.height = pal ? 576 : 480;
    d.frame_rate = pal ? DecideFrameRate(true, 25, 1) : DecideFrameRate(false, 30000, 1001);
    TFileCluster out(1 << 30);
    out.SetPath(disc->dir.string());
    out.PrepareVobOutput(d.title_number, false);
    TJobControl control;
    TTitleContext ctx{control, log, [](int64_t) {}, [](const std::string&) {}};
    TTitleReport r = title.Convert(d, out, ctx);
    title.Close();
    if (!r.ok || !r.vobus) return nullptr;
    disc->titles.push_back(r.vobus);
  }
  return disc;
}

class DvdFolder : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    pal_ = Convert(true, {{6, {5200}, true}, {2, {}, false}, {3, {}, false}}).release();
    ntsc_ = Convert(false, {{2, {}, true}, {3, {}, false}}).release();
  }
  static void TearDownTestSuite() {
    delete pal_;
    delete ntsc_;
  }
  void SetUp() override {
    ASSERT_NE(pal_, nullptr) << "the PAL titles could not be converted";
    ASSERT_NE(ntsc_, nullptr) << "the NTSC titles could not be converted";
  }
  static TDisc* pal_;
  static TDisc* ntsc_;
};
TDisc* DvdFolder::pal_ = nullptr;
TDisc* DvdFolder::ntsc_ = nullptr;

// Every cell of every title read block by block; every VOBU the map names begins with
// a navigation pack (pack header, system header, PCI packet).
void ReadEveryCell(TDvdRead& dvd, ifo_handle_t* vts, int titleSet) {
  dvd_file_t* file = DVDOpenFile(dvd.Reader(), titleSet, DVD_READ_TITLE_VOBS);
  ASSERT_NE(file, nullptr);
  const pgc_t& pgc = *vts->vts_pgcit->pgci_srp[0].pgc;
  std::vector<unsigned char> block(DVD_VIDEO_LB_LEN);
  size_t blocks = 0;
  for (int c = 0; c < pgc.nr_of_cells; ++c)
    for (uint32_t s = pgc.cell_playback[c].first_sector; s <= pgc.cell_playback[c].last_sector; ++s) {
      ASSERT_EQ(DVDReadBlocks(file, static_cast<int>(s), 1, block.data()), 1) << "sector " << s;
      ++blocks;
    }
  const vobu_admap_t& map = *vts->vts_vobu_admap;
  const size_t vobus = (map.last_byte + 1 - VOBU_ADMAP_SIZE) / 4;
  EXPECT_GT(vobus, 1u);
  for (size_t v = 0; v < vobus; ++v) {
    ASSERT_EQ(DVDReadBlocks(file, static_cast<int>(map.vobu_start_sectors[v]), 1, block.data()), 1);
    EXPECT_EQ(0, std::memcmp(block.data(), "\x00\x00\x01\xBA", 4)) << "VOBU " << v;
    EXPECT_EQ(0, std::memcmp(block.data() + 14, "\x00\x00\x01\xBB", 4)) << "VOBU " << v;
    EXPECT_EQ(0, std::memcmp(block.data() + 38, "\x00\x00\x01\xBF", 4)) << "VOBU " << v;
  }
  EXPECT_EQ(blocks, vts->vtsi_mat->vts_last_sector + 1 - 2 * (vts->vtsi_mat->vtsi_last_sector + 1));
  DVDCloseFile(file);
}

TEST_F(DvdFolder, LibdvdreadReadsEveryTableAndBlock) {
  for (TDisc* disc : {pal_, ntsc_}) {
    SCOPED_TRACE(disc->pal ? "PAL" : "NTSC");
    const size_t n = disc->titles.size();
    ASSERT_TRUE(disc->Author(n, false)) << ::testing::PrintToString(disc->log);
    EXPECT_TRUE(fs::is_directory(disc->root / "AUDIO_TS"));
    for (const auto& entry : fs::directory_iterator(disc->dir)) {
      EXPECT_EQ(fs::file_size(entry.path()) % 2048, 0u) << entry.path();
      if (entry.path().extension() == ".IFO") {
        fs::path bup = entry.path();
        EXPECT_EQ(test::ReadFile(entry.path()), test::ReadFile(bup.replace_extension(".BUP"))) << entry.path();
      }
    }
    TDvdRead dvd(disc->root);
    ifo_handle_t* vmg = dvd.Open(0);
    ASSERT_NE(vmg, nullptr) << dvd.Reports();
    ASSERT_EQ(vmg->tt_srpt->nr_of_srpts, n);
    for (size_t i = 1; i <= n; ++i) {
      ifo_handle_t* vts = dvd.Open(static_cast<int>(i));
      ASSERT_NE(vts, nullptr) << dvd.Reports();
      EXPECT_EQ(vts->vtsi_mat->vts_video_attr.video_format, disc->pal ? 1 : 0);
      ReadEveryCell(dvd, vts, static_cast<int>(i));
    }
    EXPECT_EQ(dvd.Reports(), "");
  }
}

// lsdvd's summary of each title: length, chapters, audio and sub-picture streams.
TEST_F(DvdFolder, LsdvdListsTheTitles) {
  for (TDisc* disc : {pal_, ntsc_}) {
    SCOPED_TRACE(disc->pal ? "PAL" : "NTSC");
    ASSERT_TRUE(disc->Author(disc->titles.size(), true)) << ::testing::PrintToString(disc->log);
    std::string out;
    ASSERT_EQ(test::RunCommand("lsdvd -x '" + disc->root.string() + "'", &out), 0) << out;
    for (size_t i = 0; i < disc->clips.size(); ++i) {
      const TClip& clip = disc->clips[i];
      const std::string line = SafeFormat("Title: %.2d, Length: 00:00:%.2d", i + 1, clip.seconds);
      const size_t at = out.find(line);
      ASSERT_NE(at, std::string::npos) << line << "\n" << out;
      const std::string rest = out.substr(at, out.find('\n', at) - at);
      EXPECT_NE(rest.find(SafeFormat("Chapters: %.2d", clip.chaptersMs.size() + 1)), std::string::npos) << rest;
      EXPECT_NE(rest.find("Audio streams: 01"), std::string::npos) << rest;
      EXPECT_NE(rest.find(SafeFormat("Subpictures: %.2d", clip.subtitle ? 1 : 0)), std::string::npos) << rest;
    }
    EXPECT_NE(out.find("Longest track:"), std::string::npos) << out;
    EXPECT_NE(out.find(disc->pal ? "Format: PAL" : "Format: NTSC"), std::string::npos) << out;
  }
}

TEST_F(DvdFolder, LibdvdnavFollowsThePlayOptionsWithoutMenu) {
  using V = std::vector<std::string>;
  struct Case {
    size_t titles;
    bool loop;
    V expected;
  } cases[] = {
      {3, false, {"1", "2", "3", "stop"}},
      {3, true, {"1", "2", "3", "1"}},
      {1, false, {"1", "stop"}},
      {1, true, {"1", "1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.titles << " titles, loop " << c.loop);
    ASSERT_TRUE(pal_->Author(c.titles, c.loop)) << ::testing::PrintToString(pal_->log);
    EXPECT_EQ(test::PlayDvd(pal_->root, c.expected.size()), c.expected);
  }
  ASSERT_TRUE(ntsc_->Author(2, false));
  EXPECT_EQ(test::PlayDvd(ntsc_->root, 3), (V{"1", "2", "stop"}));
}

// What mpv says beyond the DVD libraries' notes about a folder that is no drive (no
// device name, no decryption).
std::vector<std::string> PlayerComplaints(const std::string& out) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < out.size()) {
    size_t end = out.find('\n', from);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(from, end - from);
    from = end + 1;
    if (line.rfind("libdvdread:", 0) == 0 || line.rfind("libdvdnav:", 0) == 0 || line.rfind("*", 0) == 0) continue;
    if (line.find("rror") != std::string::npos || line.find("ail") != std::string::npos ||
        line.find("arning") != std::string::npos)
      lines.push_back(line);
  }
  return lines;
}

TEST_F(DvdFolder, MpvPlaysEveryTitle) {
  for (TDisc* disc : {pal_, ntsc_}) {
    SCOPED_TRACE(disc->pal ? "PAL" : "NTSC");
    ASSERT_TRUE(disc->Author(disc->titles.size(), false));
    for (size_t i = 1; i <= disc->titles.size(); ++i) {
      std::string out;
      // mpv counts titles from 0. Titles this short end while its demuxer still probes,
      // so it reads on into the titles that follow (and warns that the requested title
      // is "not found" when the next one starts): only the first title set counts.
      const int rc = test::RunCommand(SafeFormat("mpv --no-config --msg-level=all=warn,cplayer=info,dvdnav=info 'dvd://%d' "
                                                 "--dvd-device='%s' --vo=null --ao=null --length=2",
                                                 i - 1, disc->root.string()),
                                      &out);
      EXPECT_EQ(rc, 0) << "title " << i << "\n" << out;
      const size_t first = out.find("switched to title: ");
      ASSERT_NE(first, std::string::npos) << out;
      EXPECT_EQ(out.substr(first + 19, out.find('\n', first) - first - 19), std::to_string(i)) << out;
      EXPECT_NE(out.find(disc->pal ? "VO: [null] 720x576" : "VO: [null] 720x480"), std::string::npos) << out;
      EXPECT_NE(out.find("Audio --aid=1 (ac3"), std::string::npos) << out;
      EXPECT_EQ(PlayerComplaints(out), std::vector<std::string>{}) << "title " << i << "\n" << out;
    }
  }
}

// A menu VOB of one page whose entry buttons start the titles (menu chains 3.. with
// one page), followed by a closing still: one encoded picture per cell and the page's
// highlight sub-picture.
std::shared_ptr<TVobuCollection> MakeMenuVob(const TDisc& disc, size_t titles) {
  const fs::path picture = disc.tmp / "menu.m2v";
  if (!test::MakeMedia(picture, SafeFormat("-f lavfi -i color=c=navy:s=%s:r=%s -frames:v 1 -c:v mpeg2video "
                                           "-f mpeg2video",
                                           std::string(disc.pal ? "720x576" : "720x480"),
                                           std::string(disc.pal ? "25" : "30000/1001"))))
    return nullptr;
  const std::string data = test::ReadFile(picture);
  const std::vector<uint8_t> frame(data.begin(), data.end());
  fs::remove(disc.dir / "VIDEO_TS.VOB");
  TFileCluster cluster;
  cluster.SetPath(disc.dir.string());
  cluster.PrepareVobOutput(0, true);
  auto out = cluster.OpenWrite();
  auto collection = std::make_shared<TVobuCollection>();
  TDvdMux mux;
  TDvdMuxParams params;
  params.Standard = disc.pal ? "pal" : "ntsc";
  params.Collection = collection;
  params.Output = out.get();
  params.TotalDurationUs = 1000000;
  params.Streams = {{MPK_VIDEO, AV_CODEC_ID_MPEG2VIDEO, 0, ""}, {MPK_SUBPICTURE, AV_CODEC_ID_DVD_SUBTITLE, 0, ""}};
  if (!mux.Open(params)) return nullptr;

  auto page = std::make_shared<TNavHighlight>();
  for (size_t b = 1; b <= titles; ++b) {
    TNavButton button;
    button.XStart = 100;
    button.XEnd = 300;
    button.YStart = static_cast<uint16_t>(60 * b);
    button.YEnd = static_cast<uint16_t>(60 * b + 40);
    button.Up = static_cast<uint8_t>(b == 1 ? titles : b - 1);
    button.Down = static_cast<uint8_t>(b == titles ? 1 : b + 1);
    button.Left = button.Right = static_cast<uint8_t>(b);
    LinkPgcIf(button.Command, 0, CMP_NONE, 0, static_cast<uint16_t>(2 + b));
    page->Buttons.push_back(button);
  }
  const std::vector<uint8_t> spu = {0x00, 0x28, 0x00, 0x09, 0x11, 0x80, 0x74, 0x7C, 0x1A, 0x00, 0x00, 0x00, 0x21, 0x01,
                                    0x03, 0x20, 0x10, 0x04, 0x7F, 0xF0, 0x05, 0x00, 0xA0, 0x0F, 0x01, 0x40, 0x16, 0x06,
                                    0x00, 0x04, 0x00, 0x08, 0xFF, 0x00, 0x81, 0x00, 0x21, 0x02, 0xFF, 0xFF};
  const int64_t frame90 = disc.pal ? 3600 : 3003;
  for (uint8_t cell = 1; cell <= 2; ++cell) {
    const int64_t dts = (cell - 1) * 45000;
    TMuxPacketDescriptor video;
    video.Kind = MPK_VIDEO;
    video.StreamId = 0xE0;
    video.CellId = cell;
    video.PictureType = PICT_I;
    video.GopTime = cell == 1 ? 0 : 45000;
    if (cell == 1) {
      TMuxPacketDescriptor sub;
      sub.Kind = MPK_SUBPICTURE;
      sub.StreamId = 0x20;
      sub.CellId = cell;
      sub.Highlight = page;
      TMuxPacketIn in;
      in.Pts = in.Dts = dts;
      in.Data = spu;
      in.StreamIndex = 1;
      in.Descriptor = &sub;
      if (!mux.Write(in)) return nullptr;
    }
    TMuxPacketIn in;
    in.Pts = dts + frame90;
    in.Dts = dts;
    in.Duration = frame90;
    in.Data = frame;
    in.StreamIndex = 0;
    in.Descriptor = &video;
    if (!mux.Write(in)) return nullptr;
  }
  if (!mux.Finish()) return nullptr;
  return collection;
}

TEST_F(DvdFolder, WithAMenuEveryButtonReachesItsTitle) {
  using V = std::vector<std::string>;
  struct Case {
    bool sequential, loop, autoStart;
    V expected;
  } cases[] = {
      // Back to the menu after each title, with the next title's entry highlighted.
      {false, false, false, {"menu 1", "1", "menu 2", "2", "menu 3", "3", "menu 1", "1"}},
      // Sequential: the titles in turn, then the menu (or title 1 again when looping).
      {true, false, false, {"menu 1", "1", "2", "3", "menu 1"}},
      {true, true, true, {"1", "2", "3", "1"}},
  };
  for (TDisc* disc : {pal_, ntsc_}) {
    SCOPED_TRACE(disc->pal ? "PAL" : "NTSC");
    const size_t n = disc->titles.size();
    auto menu = MakeMenuVob(*disc, n);
    ASSERT_NE(menu, nullptr);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "sequential " << c.sequential << ", loop " << c.loop);
      TIfoJob job = disc->Job(n, c.loop);
      job.with_menu = true;
      job.menu = menu;
      job.entries_per_page = {static_cast<int>(n)};
      job.sequential_playback = c.sequential;
      job.auto_start = c.autoStart;
      TLoggingObject sink;
      sink.LogCallback = [&](const void*, TSeverity, const std::string& t) { disc->log.push_back(t); };
      ASSERT_TRUE(MakeIfoStage()->WriteIfos(job, sink)) << ::testing::PrintToString(disc->log);
      TDvdRead dvd(disc->root);
      ASSERT_NE(dvd.Open(0), nullptr) << dvd.Reports();
      EXPECT_EQ(dvd.Reports(), "");
      V expected = c.expected;
      if (n == 2) {  // the NTSC disc: drop title 3 and its menu stop
        V two;
        for (const std::string& e : expected)
          if (e != "3" && e != "menu 3") two.push_back(e);
        expected = two;
      }
      EXPECT_EQ(test::PlayDvd(disc->root, expected.size(), test::TMenuAction::PressHighlighted), expected);
    }
    fs::remove(disc->dir / "VIDEO_TS.VOB");
  }
}

TEST_F(DvdFolder, DvdunauthorDecompilesTheFolder) {
  ASSERT_TRUE(pal_->Author(pal_->titles.size(), true));
  test::TempDir work;
  std::string out;
  ASSERT_EQ(test::RunCommand("cd '" + work.path().string() + "' && dvdunauthor '" + pal_->dir.string() + "'", &out),
            0)
      << out;
  const std::string xml = test::ReadFile(work / "dvdauthor.xml");
  EXPECT_NE(xml.find("<titleset>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("jump title 1"), std::string::npos) << xml;
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {

// The build as the front ends run it: the project's files through PrepareDvdBuild, the
// real title opener and multiplexer, and the IFO stage, end with a folder a DVD reader
// accepts.
TEST(DvdBuild, ABuildOfRealFilesEndsWithACompleteFolder) {
  test::TempDir tmp;
  for (const char* name : {"first", "second"})
    ASSERT_TRUE(test::MakeMedia(tmp / (std::string(name) + ".avi"),
                                "-f lavfi -i testsrc=size=352x288:rate=25:duration=2 -f lavfi -i sine=d=2 "
                                "-c:v mpeg4 -c:a mp2"));
  TMainThreadDispatcher dispatcher;
  AvConverter engine(dispatcher);
  std::vector<std::string> errors;
  engine.LogCallback = [&](const void*, TSeverity s, const std::string& t) {
    if (s == EVT_ERROR) errors.push_back(t);
  };
  TAuteurSettings settings;
  settings.Set_Gen_Workingfolder((tmp / "work").string());
  settings.Set_Enc_target_size(100);
  TVideo_segments_collection project;
  TMenuStorage menu;
  for (const char* name : {"first", "second"})
    ASSERT_NE(MakeSegment(tmp / (std::string(name) + ".avi"), settings, project, menu, engine), nullptr);
  menu.Set_present(false);
  menu.loop_playback = false;
  engine.SetStages(nullptr, MakeIfoStage());
  const TBuildSetup setup = PrepareDvdBuild(engine, settings, project, menu, MakeTitleOpener(DvdMuxSinkFactory(engine)));
  ASSERT_EQ(setup.result, TSetupResult::Ready) << setup.message;
  ASSERT_TRUE(engine.Start());
  engine.WaitUntilFinished();
  ASSERT_TRUE(engine.Succeeded()) << ::testing::PrintToString(errors);

  EXPECT_TRUE(fs::is_directory(setup.dvd_folder / "AUDIO_TS"));
  EXPECT_TRUE(fs::is_empty(setup.dvd_folder / "AUDIO_TS"));
  for (const char* name : {"VIDEO_TS.IFO", "VIDEO_TS.BUP", "VTS_01_0.IFO", "VTS_01_0.BUP", "VTS_01_1.VOB",
                           "VTS_02_0.IFO", "VTS_02_0.BUP", "VTS_02_1.VOB"})
    EXPECT_TRUE(fs::is_regular_file(setup.video_ts / name)) << name;
  TDvdRead dvd(setup.dvd_folder);
  ifo_handle_t* vmg = dvd.Open(0);
  ASSERT_NE(vmg, nullptr) << dvd.Reports();
  EXPECT_EQ(vmg->tt_srpt->nr_of_srpts, 2);
  for (int i = 1; i <= 2; ++i) {
    ifo_handle_t* vts = dvd.Open(i);
    ASSERT_NE(vts, nullptr) << dvd.Reports();
    ReadEveryCell(dvd, vts, i);
  }
  EXPECT_EQ(dvd.Reports(), "");
  EXPECT_EQ(test::PlayDvd(setup.dvd_folder, 3), (std::vector<std::string>{"1", "2", "stop"}));
}

}  // namespace
}  // namespace vidoria
