#include "platform/MessageFormat.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(MessageFormat, FollowsDelphiConventions) {
  EXPECT_EQ(SafeFormat("%d items", 5), "5 items");
  EXPECT_EQ(SafeFormat("0x%.8x", 255), "0x000000FF");
  EXPECT_EQ(SafeFormat("%x", 0xabcdefLL), "ABCDEF");
  EXPECT_EQ(SafeFormat("name %S", std::string("movie")), "name movie");
  EXPECT_EQ(SafeFormat("%.2d%s%.2d", 7, std::string(":"), 5), "07:05");
  EXPECT_EQ(SafeFormat("VTS_%.2d_%d.VOB", 3, 1), "VTS_03_1.VOB");
  EXPECT_EQ(SafeFormat("100%% done"), "100% done");
  EXPECT_EQ(SafeFormat("%.1f s", 2.25), "2.2 s");
  EXPECT_EQ(SafeFormat("%d", int64_t{1} << 40), "1099511627776");
}

TEST(MessageFormat, MismatchedFormatsNeverThrow) {
  // Too few arguments, a dangling '%', an unknown conversion: the text itself comes back.
  EXPECT_EQ(SafeFormat("%d and %d", 1), "%d and %d");
  EXPECT_EQ(SafeFormat("disk 100%"), "disk 100%");
  EXPECT_EQ(SafeFormat("%q", 1), "%q");
}

TEST(MessageFormat, BadTranslationFallsBackToOriginal) {
  EXPECT_EQ(FormatMessage("%d Dateien %d", "%d files", 3), "3 files");
  EXPECT_EQ(FormatMessage("%d Dateien", "%d files", 3), "3 Dateien");
  EXPECT_EQ(FormatMessage("kaputt %d %d", "broken %d %d", 1), "broken %d %d");
}

}  // namespace
}  // namespace vidoria
