#include "engine/U_MenuStage.h"

#include "mux/U_VobuCollection.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(MenuStage, BareBackgroundNamesResolveInTheShippedFolder) {
  TMenuStage stage("/opt/vidoria/background");
  EXPECT_EQ(stage.ResolveBackground("qor.jpg"), std::filesystem::path("/opt/vidoria/background/qor.jpg"));
  EXPECT_EQ(stage.ResolveBackground("/home/u/pic.png"), std::filesystem::path("/home/u/pic.png"));
  EXPECT_EQ(stage.ResolveBackground("pics/a.png"), std::filesystem::path("pics/a.png"));
  EXPECT_EQ(stage.ResolveBackground(""), std::filesystem::path());
}

// The job's menu settings become VIDEO_TS.VOB and the page layout the IFO files need.
TEST(MenuStage, EncodesTheMenuOfAJob) {
  test::TempDir dir;
  TMenuStage stage(std::filesystem::path(VIDORIA_SOURCE_DIR) / "data" / "background");
  TMenuJob job;
  job.video_ts = dir.path();
  job.pal = true;
  job.title_names = {"One", "Two", "Three"};
  job.title = "Menu";
  job.background = "qor.jpg";
  job.entries_per_page = 2;
  job.title_font = {"DejaVu Sans", 22, true, false, true, kWhite};
  job.items_font = {"DejaVu Sans", 18, true, false, false, kWhite};
  TJobControl control;
  TLoggingObject log;
  std::vector<std::string> problems;
  log.LogCallback = [&](const void*, TSeverity s, const std::string& t) {
    if (s == EVT_WARNING || s == EVT_ERROR) problems.push_back(t);
  };
  const TMenuResult r = stage.EncodeMenu(job, control, log);
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(r.entries_per_page, (std::vector<int>{2, 1}));
  ASSERT_TRUE(r.vobus);
  EXPECT_EQ(r.vobus->Cells.size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(dir / "VIDEO_TS.VOB"));

  // A cancel ends the stage without a result.
  control.RequestCancel();
  EXPECT_FALSE(stage.EncodeMenu(job, control, log).ok);
}

}  // namespace
}  // namespace vidoria
