// The whole path a user takes: three everyday files, one command, a DVD folder that
// real readers accept.
#include "cli/U_Cli.h"

#include "platform/KeyValueStore.h"
#include "project/U_AuteurSettings.h"
#include "support/DvdNav.h"
#include "support/DvdRead.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace vidoria {
namespace {
namespace fs = std::filesystem;

TEST(Acceptance, ThreeEverydayFilesBecomeAPlayableDvdWithMenuAndChapters) {
  test::TempDir dir;
  test::ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
  test::ScopedEnv state{"XDG_STATE_HOME", (dir / "state").string()};
  {
    // The user's stored choice: the menu first, and back to it after each title.
    TKeyValueStore store;
    TAuteurSettings settings;
    settings.Set_Auth_Auto_Start(false);
    settings.Set_Auth_Sequential_Playback(false);
    ASSERT_TRUE(settings.SaveSettings(store));
    ASSERT_TRUE(store.Save());
  }
  ASSERT_TRUE(test::MakeMedia(dir / "holiday.mkv",
                              "-f lavfi -i testsrc2=size=640x360:rate=25:duration=14 -f lavfi -i sine=f=440:d=14 "
                              "-c:v libx264 -preset ultrafast -c:a aac"));
  test::WriteFile(dir / "holiday.srt",
                  "1\n00:00:01,000 --> 00:00:02,500\n<i>Bonjour</i> à tous\n\n"
                  "2\n00:00:03,000 --> 00:00:04,000\n<font color=\"#ffff00\">Fin</font>\n");
  ASSERT_TRUE(test::MakeMedia(dir / "party.avi", "-f lavfi -i testsrc=size=320x240:rate=25:duration=4 -f lavfi -i "
                                                 "sine=f=660:d=4:sample_rate=44100 -c:v mpeg4 -c:a libmp3lame"));
  ASSERT_TRUE(test::MakeMedia(dir / "tv.mpg", "-f lavfi -i testsrc=size=720x576:rate=25:duration=4 -f lavfi -i "
                                              "sine=f=880:d=4:sample_rate=48000 -c:v mpeg2video -c:a ac3 -f vob"));
  const std::vector<std::string> args = {"vidoria-cli", "build", (dir / "holiday.mkv").string(), "--sub",
                                         (dir / "holiday.srt").string() + ":fr", (dir / "party.avi").string(),
                                         (dir / "tv.mpg").string(), "--chapters", "0.1", "--menu-title", "Summer",
                                         "-o", (dir / "work").string()};
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  std::atomic<bool> interrupted{false};
  ASSERT_EQ(cli::Run(static_cast<int>(argv.size()), argv.data(), out, err, interrupted), cli::kExitOk) << err.str();
  const fs::path dvd = dir / "work" / "holiday";
  EXPECT_EQ(out.str(), dvd.string() + "\n");
  EXPECT_TRUE(fs::is_directory(dvd / "AUDIO_TS"));
  for (const char* f : {"VIDEO_TS.IFO", "VIDEO_TS.BUP", "VIDEO_TS.VOB", "VTS_01_0.IFO", "VTS_03_1.VOB"})
    EXPECT_TRUE(fs::exists(dvd / "VIDEO_TS" / f)) << f;

  {
    test::TDvdRead reader(dvd);
    for (int t = 0; t <= 3; ++t) EXPECT_NE(reader.Open(t), nullptr) << "IFO " << t;
    EXPECT_EQ(reader.Reports(), "") << "libdvdread complained";
  }
  std::string listing;
  ASSERT_EQ(test::RunCommand("lsdvd -x '" + dvd.string() + "' 2>/dev/null", &listing), 0) << listing;
  std::smatch m;
  std::vector<std::string> titles;
  std::regex title(R"(Title: (\d+), Length: ([\d:.]+) Chapters: (\d+), Cells: \d+, Audio streams: (\d+), Subpictures: (\d+))");
  for (auto it = std::sregex_iterator(listing.begin(), listing.end(), title); it != std::sregex_iterator(); ++it)
    titles.push_back((*it)[0]);
  ASSERT_EQ(titles.size(), 3u) << listing;
  EXPECT_NE(titles[0].find("Chapters: 03,"), std::string::npos) << "6 s chapters in a 14 s title: " << titles[0];
  EXPECT_NE(titles[0].find("Subpictures: 01"), std::string::npos) << "the SubRip file is a sub-picture track";
  EXPECT_NE(titles[2].find("Audio streams: 01"), std::string::npos);

  // A viewer with a remote: first play shows the menu, each button plays its title and
  // the menu comes back with the next entry highlighted.
  EXPECT_EQ(test::PlayDvd(dvd, 7, test::TMenuAction::PressHighlighted),
            (std::vector<std::string>{"menu 1", "1", "menu 2", "2", "menu 3", "3", "menu 1"}));

  std::string played;
  EXPECT_EQ(test::RunCommand("mpv --no-config --vo=null --ao=null --length=1 --dvd-device='" + dvd.string() +
                                 "' dvd://1 2>&1 | grep -ci 'error' || true",
                             &played),
            0);
  EXPECT_EQ(played, "0\n") << "mpv plays the second title without errors";
}

}  // namespace
}  // namespace vidoria
