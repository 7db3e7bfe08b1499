#include "app/U_ExtensionFilter.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(ExtensionFilter, Matching) {
  TExtensionFilter video, subs;
  FillVideoFilter(video);
  FillSubtitleFilter(subs);
  const std::pair<const char*, bool> videoCases[] = {
      {"/m/a.AVI", true},   {"a.Avi", true},     {"a.b.avi", true}, {"noext", false},   {"a.bak", false},
      {"clip.webm", true},  {"x.dvr-ms", true},  {"a.avi.", false}, {"a.avix", false},  {"a.DIVX", true},
  };
  for (const auto& [name, ok] : videoCases) EXPECT_EQ(video.Matches(name), ok) << name;
  EXPECT_TRUE(subs.Matches("movie.IDX"));
  EXPECT_FALSE(subs.Matches("movie.ssa"));

  TExtensionFilter wild;
  wild.AddEntry("m?v", "", false, nullptr);
  wild.AddEntry("vob*", "", false, nullptr);
  EXPECT_TRUE(wild.Matches("a.mkv"));
  EXPECT_FALSE(wild.Matches("a.mk"));
  EXPECT_TRUE(wild.Matches("a.vob1"));
}

TEST(ExtensionFilter, FilterStrings) {
  TExtensionFilter subs;
  FillSubtitleFilter(subs);
  EXPECT_EQ(subs.BuildFilter(11),
            "All supported files|*.idx; *.srt; *.sub|DVD Subtitle (*.idx)|*.idx|DVD Subtitle (*.sub)|*.sub|"
            "SubRip (*.srt)|*.srt|Any file (*.*)|*.*");

  TExtensionFilter f;
  auto& empty = f.FindOrAddGroup("Unused");
  (void)empty;
  auto& qt = f.FindOrAddGroup("Quicktime");
  f.AddEntry("mp4", "Quicktime", false, &qt);
  f.AddEntry("mov", "Quicktime", false, &qt);
  f.AddEntry("MP4", "Other", false, &qt);  // the first registration wins
  EXPECT_EQ(f.Entries().size(), 2u);
  EXPECT_EQ(f.BuildFilter(15), "All supported files|*.mov; *.mp4|Quicktime (*.mov; *.mp4)|*.mov; *.mp4|Any files (*.*)|*.*");
  EXPECT_EQ(f.BuildQtFilters(7), (std::vector<std::string>{"All supported files (*.mov *.mp4)", "Quicktime (*.mov *.mp4)",
                                                           "Any files (*)"}));
  EXPECT_EQ(&f.FindOrAddGroup("QUICKTIME"), &qt);
}

}  // namespace
}  // namespace vidoria
