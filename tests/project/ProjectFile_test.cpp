#include "project/U_ProjectFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

struct Captured : TLoggingObject {
  std::vector<std::string> lines;
  Captured() {
    LogCallback = [this](const void*, TSeverity s, const std::string& t) {
      lines.push_back(std::string(s == EVT_ERROR ? "E " : s == EVT_WARNING ? "W " : "I ") + t);
    };
  }
  bool Has(const std::string& part) const {
    for (const auto& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

// A project whose files exist in `dir`, with every field given a value from `seed`.
void RandomProject(const fs::path& dir, unsigned seed, TVideo_segments_collection& p, TMenuStorage& m) {
  std::mt19937 rng(seed);
  auto num = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  auto text = [&] {
    static const char* words[] = {"Holiday", "été", "<&>\"'", "  spaced  ", "日本", "a%sb", ""};
    return std::string(words[num(0, 6)]);
  };
  auto font = [&] {
    return TFontDesc{num(0, 1) ? "Tahoma" : "DejaVu Sans", static_cast<int>(num(6, 72)), num(0, 1) == 1,
                     num(0, 1) == 1, num(0, 1) == 1, TRgb::FromRgb(static_cast<uint32_t>(num(0, 0xFFFFFF)))};
  };
  m.Set_present(num(0, 1));
  m.auto_play = num(0, 1);
  m.loop_playback = num(0, 1);
  m.sequential_play = num(0, 1);
  m.title = text();
  m.background = text();
  m.Set_entries_per_pages(static_cast<uint8_t>(num(1, 10)));
  m.Items_Font = font();
  m.Title_Font = font();
  m.buttons_action_color = TRgb::FromRgb(static_cast<uint32_t>(num(0, 0xFFFFFF)));
  if (num(0, 1)) p.SetProject_Name(text());
  for (int s = 0, n = static_cast<int>(num(1, 4)); s < n; ++s) {
    auto& seg = p.Add();
    seg.friendly_name = text();
    for (int f = 0, nf = static_cast<int>(num(1, 2)); f < nf; ++f) {
      auto& fc = seg.FileSet.Add();
      for (int part = 0, np = static_cast<int>(num(1, 3)); part < np; ++part) {
        fs::path file = dir / ("s" + std::to_string(seed) + "_" + std::to_string(s) + "_" + std::to_string(f) + "_" +
                               std::to_string(part) + ".mkv");
        test::WriteFile(file, std::string(static_cast<size_t>(num(0, 3000)), 'x'));
        fc.Cluster.AddFile(file, -1);
      }
      fc.start_Pts = num(-1000000, 1000000);
      fc.start_Dts = num(-1000000, 1000000);
      fc.Sync_Ok = num(0, 1);
      fc.GroupID = static_cast<int32_t>(num(0, 3));
      fc.GroupIndex = static_cast<int32_t>(num(0, 3));
      fc.duration_from_file = num(0, int64_t{1} << 40);
      fc.duration_from_user = num(0, int64_t{1} << 40);
      fc.real_frame_rate = static_cast<int32_t>(num(1, 60000));
      fc.real_frame_rate_base = static_cast<int32_t>(num(1, 1001));
    }
    for (int k = 0, ns = static_cast<int>(num(0, 5)); k < ns; ++k) {
      auto& st = seg.Streams.Add();
      st.discard = num(0, 1);
      st.stream_index = static_cast<int32_t>(num(0, 9));
      st.file_index = static_cast<int32_t>(num(0, static_cast<int64_t>(seg.FileSet.Count()) - 1));
      st.description = text();
      st.stream_type = static_cast<EStreamType>(num(0, 4));
      st.language = num(0, 1) ? "fr" : "";
      st.delay = num(-500000, 500000);
      st.Pts_Offset = num(-9, 9);
      st.Dts_Offset = num(-9, 9);
      st.Relative_start_time = num(0, 99);
      st.Relative_end_time = num(0, 99);
    }
    for (int k = 0, nc = static_cast<int>(num(0, 4)); k < nc; ++k) seg.Chapters.AddChapter(num(1, 10000000));
    for (int k = 0, nx = static_cast<int>(num(0, 2)); k < nx; ++k) {
      auto& x = seg.External_Subts.Add();
      x.filename = (dir / ("sub" + std::to_string(seed) + std::to_string(s) + std::to_string(k) + ".srt")).string();
      test::WriteFile(x.filename, "1\n00:00:01,000 --> 00:00:02,000\nHi\n");
      x.language = "de";
      x.Font = font();
      x.Relative_position = static_cast<uint8_t>(num(0, 100));
      x.outline_color = TRgb{1, 2, 3};
      x.Outline_size = static_cast<int32_t>(num(0, 16));
      x.code_page = static_cast<uint32_t>(num(0, 1258));
      x.line_break = static_cast<uint8_t>(num(0, 99));
      x.SetDiscard_Streams(num(0, 1) ? "01" : "");
    }
    if (!seg.External_Subts.Empty()) seg.External_Subts.SetDefaultSubtitle(0, static_cast<int32_t>(num(0, 1)), num(0, 1));
  }
}

TEST(ProjectFile, RandomProjectsRoundTrip) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE(seed);
    TVideo_segments_collection saved, loaded;
    TMenuStorage menu, loadedMenu;
    RandomProject(dir.path(), seed, saved, menu);
    Captured log;
    ASSERT_TRUE(SaveProject(dir / ("p" + std::to_string(seed) + ".xml"), saved, menu, log));
    const fs::path file = dir / ("p" + std::to_string(seed) + ".vidproj");
    EXPECT_EQ(saved.StoredProjectName(), "p" + std::to_string(seed));
    auto r = LoadProject(file, loaded, loadedMenu, log);
    ASSERT_TRUE(r.loaded) << r.error;
    EXPECT_FALSE(r.files_dropped);
    // Every stored field is in the document, so equal documents mean equal projects.
    EXPECT_EQ(SerializeProject(loaded, loadedMenu), SerializeProject(saved, menu));
    if (seed == 1) {
      std::string out;
      EXPECT_EQ(test::RunCommand("xmllint --noout '" + file.string() + "'", &out), 0) << out;
    }
  }
}

TEST(ProjectFile, BadDocumentsLeaveTheOpenProjectAlone) {
  TempDir dir;
  TVideo_segments_collection good;
  TMenuStorage goodMenu;
  RandomProject(dir.path(), 99, good, goodMenu);
  const std::string valid = SerializeProject(good, goodMenu);
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = valid;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const std::pair<const char*, std::string> cases[] = {
      {"not XML", "this is not a project"},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"wrong root", replace("<Vidoria>", "<Other>").replace(valid.rfind("</Vidoria>"), 10, "</Other>")},
      {"wrong application", replace("<AppName>Vidoria", "<AppName>Other")},
      {"entities", "<?xml version=\"1.0\"?><!DOCTYPE v [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                   "<Vidoria><AppName>Vidoria</AppName></Vidoria>"},
      {"zero entries per page", replace("<entries_per_pages>", "<entries_per_pages>0<x/>")},
      {"unknown stream type", replace("<stream_type>", "<stream_type>9</stream_type><y>")},
      {"negative chapter", replace("<start>", "<start>-")},
      {"file index out of range", replace("<file_index>", "<file_index>7</file_index><z>")},
      {"zero frame-rate denominator", replace("<real_frame_rate_base>", "<real_frame_rate_base>0</real_frame_rate_base><w>")},
      {"newer minimum version", replace("<AppMinVersion>2.0.0.95", "<AppMinVersion>99.0")},
      {"too old", replace("<AppVersion>" + ProgramVersion(), "<AppVersion>2.0.0.94")},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    test::WriteFile(dir / "bad.vidproj", text);
    TVideo_segments_collection project;
    TMenuStorage menu;
    project.Add().friendly_name = "open";
    menu.title = "open menu";
    Captured log;
    auto r = LoadProject(dir / "bad.vidproj", project, menu, log);
    EXPECT_FALSE(r.loaded);
    EXPECT_FALSE(r.error.empty());
    ASSERT_EQ(project.Count(), 1u);
    EXPECT_EQ(project[0].friendly_name, "open");
    EXPECT_EQ(menu.title, "open menu");
  }
  // Huge files are refused before they are read.
  std::filesystem::resize_file(dir / "bad.vidproj", 200u << 20);
  TVideo_segments_collection project;
  TMenuStorage menu;
  Captured log;
  EXPECT_FALSE(LoadProject(dir / "bad.vidproj", project, menu, log).loaded);
}

TEST(ProjectFile, VersionsSegmentLimitAndMissingFiles) {
  EXPECT_LT(CompareVersions("2.0.0.94", "2.0.0.95"), 0);
  EXPECT_EQ(CompareVersions("2.0.0.95", "2.0.0.95"), 0);
  EXPECT_EQ(CompareVersions("2", "2.0.0.0"), 0);
  EXPECT_GT(CompareVersions("2.0.10", "2.0.9"), 0);
  EXPECT_GE(CompareVersions(ProgramVersion(), kProjectMinVersion), 0) << "our own files must not count as too old";

  TempDir dir;
  TVideo_segments_collection p;
  TMenuStorage m;
  for (int i = 0; i < 70; ++i) {
    test::WriteFile(dir / ("f" + std::to_string(i) + ".avi"), "data");
    auto& seg = p.Add();
    seg.friendly_name = "f" + std::to_string(i);
    seg.FileSet.Add().Cluster.AddFile(dir / ("f" + std::to_string(i) + ".avi"), -1);
  }
  p[3].External_Subts.Add().filename = "/dev/zero";  // not a regular file
  Captured log;
  ASSERT_TRUE(SaveProject(dir / "big.vidproj", p, m, log));
  test::WriteFile(dir / "f1.avi", "changed size");
  fs::remove(dir / "f2.avi");
  std::string text = test::ReadFile(dir / "big.vidproj");
  text.replace(text.find(ProgramVersion()), ProgramVersion().size(), kProjectMinVersion);
  test::WriteFile(dir / "big.vidproj", text);

  TVideo_segments_collection loaded;
  TMenuStorage lm;
  auto r = LoadProject(dir / "big.vidproj", loaded, lm, log);
  ASSERT_TRUE(r.loaded) << r.error;
  EXPECT_TRUE(r.files_dropped);
  EXPECT_EQ(loaded.Count(), 62u) << "64 kept, then the two whose files changed dropped";
  EXPECT_EQ(loaded[1].friendly_name, "f3");
  EXPECT_EQ(loaded[1].External_Subts.Count(), 0u);
  EXPECT_TRUE(log.Has("W This save contains more segments (70) than the limit (64)."));
  EXPECT_TRUE(log.Has("W File not found or changed: \"" + (dir / "f1.avi").string() + "\""));
  EXPECT_TRUE(log.Has("W File not found or changed: \"" + (dir / "f2.avi").string() + "\""));
  EXPECT_TRUE(log.Has("W Subtitle file not found or changed: \"/dev/zero\""));
  EXPECT_TRUE(log.Has("was created with an earlier version"));

  TVideo_segments_collection empty;
  EXPECT_FALSE(SaveProject(dir / "empty.vidproj", empty, m, log));
  EXPECT_FALSE(fs::exists(dir / "empty.vidproj"));
}

TEST(ProjectFile, AFailedSaveKeepsTheOldFile) {
  TempDir dir;
  TVideo_segments_collection p;
  TMenuStorage m;
  RandomProject(dir.path(), 5, p, m);
  Captured log;
  ASSERT_TRUE(SaveProject(dir / "keep.vidproj", p, m, log));
  const std::string before = test::ReadFile(dir / "keep.vidproj");
  for (int i = 0; i < 300; ++i) p[0].Chapters.AddChapter(1000 + 7000 * i);  // a larger document
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{static_cast<rlim_t>(before.size()), static_cast<rlim_t>(before.size())};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    Captured quiet;
    _exit(SaveProject(dir / "keep.vidproj", p, m, quiet) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save should have failed";
  EXPECT_EQ(test::ReadFile(dir / "keep.vidproj"), before);
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {
TEST(ProjectFile, FuzzSeedIsAValidProject) {
  TVideo_segments_collection p;
  TMenuStorage m;
  std::string error;
  ASSERT_TRUE(ParseProject(test::ReadFile(std::string(VIDORIA_SOURCE_DIR) + "/fuzz/corpus/project_file/small.vidproj"), p,
                           m, error))
      << error;
  EXPECT_EQ(p.StoredProjectName(), "Trip");
  EXPECT_EQ(p[0].External_Subts[0].DefaultStream, 0);
}
}  // namespace
}  // namespace vidoria
