#include "input/U_AvUtils.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(AvUtils, LanguageCodesMapByTableNotByTruncation) {
  const std::pair<const char*, const char*> cases[] = {
      {"eng", "en"}, {"fre", "fr"}, {"fra", "fr"}, {"ger", "de"}, {"deu", "de"}, {"dut", "nl"}, {"nld", "nl"},
      {"chi", "zh"}, {"spa", "es"}, {"jpn", "ja"}, {"ENG", "en"}, {"de", "de"},  {"und", ""},   {"xyz", ""},
      {"", ""},      {"e", ""},
  };
  for (const auto& [code, two] : cases) EXPECT_EQ(TwoLetterLanguage(code), two) << code;
}

TEST(AvUtils, DisplayNameRepairsOnlyWhatIsNotUtf8) {
  EXPECT_EQ(DisplayName("/films/été.mkv"), "/films/été.mkv");
  EXPECT_EQ(DisplayName("/films/\xe9t\xe9.mkv"), "/films/\xEF\xBF\xBDt\xEF\xBF\xBD.mkv");
  EXPECT_EQ(DisplayName("a\xC0\xAF" "b"), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b");  // overlong '/'
  EXPECT_EQ(DisplayName("\xF0\x9F\x8E\xAC"), "\xF0\x9F\x8E\xAC");
  EXPECT_EQ(DisplayName("cut\xE2\x82"), "cut\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(AvUtils, TimesConvertAndFormat) {
  EXPECT_EQ(ToMicroseconds(90000, AVRational{1, 90000}), 1000000);
  EXPECT_EQ(ToMicroseconds(kNoTime, AVRational{1, 90000}), kNoTime);
  EXPECT_EQ(FromMicroseconds(40000, AVRational{1, 1000}), 40);
  EXPECT_EQ(FormatHms(3723456789), "01:02:03.456");
  EXPECT_EQ(FormatHms(kNoTime), "00:00:00.000");
}

}  // namespace
}  // namespace vidoria
