#include "engine/U_BuildSetup.h"

#include "EngineFakes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::FakeTitle;
using test::Journal;

struct World {
  test::TempDir dir;
  TMainThreadDispatcher dispatcher;
  AvConverter engine{dispatcher};
  TAuteurSettings settings;
  TVideo_segments_collection project;
  TMenuStorage menu;
  Journal journal, log;
  int opened = 0;

  World() {
    settings.Set_Gen_Workingfolder((dir / "work").string());
    settings.Set_Enc_target_size(1);  // 1 MiB: the free-space check passes anywhere
    engine.LogCallback = [this](const void*, TSeverity s, const std::string& t) {
      log.Add(std::string(s == EVT_ERROR ? "E " : s == EVT_WARNING ? "W " : "I ") + t);
    };
  }
  void AddSegment(const std::string& file) {
    auto& seg = project.Add();
    seg.friendly_name = fs::path(file).stem().string();
    seg.FileSet.Add().Cluster.AddFile(dir / file, -1);
  }
  TBuildSetup Prepare(const TBuildQuestions& q = {}) {
    TTitleOpener opener = [this](TVideoSegmentstorage& seg, const TLoggingObject&) -> std::unique_ptr<IConversionTitle> {
      ++opened;
      if (seg.friendly_name == "broken") return nullptr;
      return std::make_unique<FakeTitle>(journal, seg.friendly_name);
    };
    return PrepareDvdBuild(engine, settings, project, menu, opener, q);
  }
};

TEST(BuildSetup, PreparesTheFolderAndTheTitles) {
  World s;
  s.AddSegment("Holiday 2019. .mkv");
  s.AddSegment("b.avi");
  TBuildSetup r = s.Prepare();
  ASSERT_EQ(r.result, TSetupResult::Ready) << r.message;
  EXPECT_EQ(r.dvd_folder, s.dir / "work" / "Holiday 2019");
  EXPECT_TRUE(fs::is_directory(r.video_ts));
  EXPECT_TRUE(fs::is_directory(r.dvd_folder / "AUDIO_TS"));
  EXPECT_EQ(s.engine.TitleCount(), 2u);
  EXPECT_EQ(s.engine.OutputFolder(), r.video_ts.string() + "/");
  EXPECT_TRUE(s.log.Contains("I [X] Burn result to DVD"));
  EXPECT_TRUE(s.log.Contains("Project size"));
}

TEST(BuildSetup, AnEmptyFolderNameIsRefusedAndTheWorkingFolderSurvives) {
  World s;
  test::WriteFile(s.dir / "work" / "sentinel.txt", "keep me");
  s.AddSegment(" .avi");
  bool asked = false;
  TBuildQuestions q;
  q.ConfirmOverwrite = [&](const fs::path&) { return asked = true; };
  TBuildSetup r = s.Prepare(q);
  EXPECT_EQ(r.result, TSetupResult::InvalidName);
  EXPECT_FALSE(asked);
  EXPECT_EQ(test::ReadFile(s.dir / "work" / "sentinel.txt"), "keep me");
}

TEST(BuildSetup, OverwritingErasesOnlyWhatABuildWrites) {
  World s;
  s.AddSegment("film.mkv");
  const fs::path dvd = s.dir / "work" / "film";
  test::WriteFile(dvd / "VIDEO_TS" / "VTS_01_1.VOB", "old");
  test::WriteFile(dvd / "ORIGINAL" / "film.mkv", "old");
  test::WriteFile(dvd / "notes.txt", "mine");

  TBuildQuestions no;
  no.ConfirmOverwrite = [](const fs::path&) { return false; };
  EXPECT_EQ(s.Prepare(no).result, TSetupResult::Declined);
  EXPECT_TRUE(fs::exists(dvd / "VIDEO_TS" / "VTS_01_1.VOB"));
  EXPECT_EQ(s.engine.TitleCount(), 0u);

  EXPECT_EQ(s.Prepare().result, TSetupResult::Ready);
  EXPECT_FALSE(fs::exists(dvd / "VIDEO_TS" / "VTS_01_1.VOB"));
  EXPECT_FALSE(fs::exists(dvd / "ORIGINAL"));
  EXPECT_EQ(test::ReadFile(dvd / "notes.txt"), "mine");
}

TEST(BuildSetup, RefusalsBeforeAnyWork) {
  {
    World s;
    s.AddSegment("a.mkv");
    s.AddSegment("broken.mkv");
    s.AddSegment("c.mkv");
    TBuildSetup r = s.Prepare();
    EXPECT_EQ(r.result, TSetupResult::PreparationFailed);
    EXPECT_EQ(s.opened, 2) << "stops at the file that failed";
    EXPECT_TRUE(s.log.Contains("E File \"" + (s.dir / "broken.mkv").string() + "\" preparation failed. Can't continue"));
    EXPECT_EQ(s.engine.TitleCount(), 0u);
  }
  {
    World s;
    for (int i = 0; i < 70; ++i) s.AddSegment("t" + std::to_string(i) + ".mkv");
    EXPECT_EQ(s.Prepare().result, TSetupResult::BeyondLimits);
  }
  {
    World s;
    s.AddSegment("a.mkv");
    s.settings.Set_Enc_target_size(1000000);  // about 1 TB
    int64_t asked = 0;
    TBuildQuestions q;
    q.ConfirmLowSpace = [&](int64_t, int64_t needed) {
      asked = needed;
      return false;
    };
    TBuildSetup r = s.Prepare(q);
    if (FreeBytes(s.dir.path()) >= 1000000 * kMiB) GTEST_SKIP() << "this machine has a terabyte free";
    EXPECT_EQ(r.result, TSetupResult::NotEnoughSpace);
    EXPECT_EQ(asked, 1000000 * kMiB);
    EXPECT_NE(r.message.find("There is not enough free space left on your drive"), std::string::npos);
  }
}

}  // namespace
}  // namespace vidoria
