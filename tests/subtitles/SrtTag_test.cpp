// Markup tags: recognition, the style stack, stripping, colour analysis and putting
// markup back onto broken lines.
#include "platform/CodePages.h"
#include "subtitles/U_SrtTagParser.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

std::u32string U(std::string_view utf8) { return DecodeUtf8(utf8); }
std::string S(std::u32string_view text) { return EncodeUtf8(text); }

// Applies every tag of `text` to a stack based on the default style; returns the style
// in force for each visible character.
std::vector<TSrtTagState> StylesOf(std::string_view text, TSrtTagState base = {0, 0xFFFFFF}) {
  TSrtTagFactory f;
  f.Stack().SetBase(base);
  std::u32string rest = U(text);
  std::vector<TSrtTagState> styles;
  while (!rest.empty()) {
    if (TSrtTag* tag = f.Take(rest)) {
      tag->Apply(f.Stack());
      continue;
    }
    f.TakeChar(rest);
    styles.push_back(f.Stack().Top());
  }
  return styles;
}

struct TakeCase {
  const char* text;
  const char* tag;   // ToString of the tag taken, nullptr for none
  const char* rest;  // text after the take
};

TEST(SrtTag, RecognisesTagsAtTheStart) {
  const TakeCase cases[] = {
      {"<i>a", "<i>", "a"},
      {"<I>a", "<i>", "a"},
      {"</I>a", "</i>", "a"},
      {"<u>a", "<u>", "a"},
      {"</b>", "</b>", ""},
      {"<!i>x", "<!i>", "x"},
      {"</!B>x", "</!b>", "x"},
      {"<!u>", "<!u>", ""},
      {"</!u>", "</!u>", ""},
      {"<font color=\"#FFFF00\">y", "<font color=\"#FFFF00\">", "y"},
      {"<font   color = \"#ff0000\"  >y", "<font color=\"#FF0000\">", "y"},
      {"<font color=\"#00000000\">", "<font color=\"#00\">", ""},
      {"<font color=\"#0A\">", "<font color=\"#0A\">", ""},
      {"<font color=\"#12345678\">", "<font color=\"#12345678\">", ""},
      {"<font >z", "<font >", "z"},
      {"<font>z", nullptr, "<font>z"},                           // one blank is required
      {"<FONT color=\"#FF0000\">z", nullptr, "<FONT color=\"#FF0000\">z"},  // lower case only
      {"<font color=\"#F\">", nullptr, "<font color=\"#F\">"},   // one digit
      {"<font color=\"#123456789\">", nullptr, "<font color=\"#123456789\">"},  // nine digits
      {"<font color=#FF0000>", nullptr, "<font color=#FF0000>"},  // quotes are required
      {"</font>x", "</font>", "x"},
      {"</FONT>x", nullptr, "</FONT>x"},
      {"<x>", nullptr, "<x>"},
      {"<i", nullptr, "<i"},
      {"i>", nullptr, "i>"},
      {"", nullptr, ""},
      {"a<i>", nullptr, "a<i>"},
  };
  for (const auto& c : cases) {
    TSrtTagFactory f;
    std::u32string text = U(c.text);
    TSrtTag* tag = f.Take(text);
    if (c.tag) {
      ASSERT_NE(tag, nullptr) << c.text;
      EXPECT_EQ(S(tag->ToString()), c.tag) << c.text;
    } else {
      EXPECT_EQ(tag, nullptr) << c.text;
    }
    EXPECT_EQ(S(text), c.rest) << c.text;
  }
}

TEST(SrtTag, TagsChangeTheStyleInForce) {
  const uint8_t I = FS_ITALIC, B = FS_BOLD, Un = FS_UNDERLINE;
  struct Case {
    const char* text;
    std::vector<TSrtTagState> styles;
  } cases[] = {
      {"<I>a</i>b", {{I, 0xFFFFFF}, {0, 0xFFFFFF}}},
      {"<b><u>a</u>b</b>c", {{B | Un, 0xFFFFFF}, {B, 0xFFFFFF}, {0, 0xFFFFFF}}},
      {"<i>a<!i>b</!i>c", {{I, 0xFFFFFF}, {0, 0xFFFFFF}, {I, 0xFFFFFF}}},
      {"<font color=\"#FF0000\">a<font >b</font>c</font>d",
       {{0, 0xFF0000}, {0, 0xFF0000}, {0, 0xFF0000}, {0, 0xFFFFFF}}},
      // Stray closing tags never take the default style away.
      {"</font></i>a<i>b</i></i>c", {{0, 0xFFFFFF}, {I, 0xFFFFFF}, {0, 0xFFFFFF}}},
  };
  for (const auto& c : cases) EXPECT_EQ(StylesOf(c.text), c.styles) << c.text;
}

TEST(SrtTag, StackWithoutBaseAndDeepNesting) {
  TSrtTagFactory f;
  std::u32string text = U("</font>");
  f.Take(text)->Apply(f.Stack());
  EXPECT_EQ(f.Stack().Count(), 0u);

  std::string nested;
  for (int i = 0; i < 70; ++i) nested += "<b>";
  nested += "x";
  for (int i = 0; i < 70; ++i) nested += "</b>";
  nested += "y";
  auto styles = StylesOf(nested);
  ASSERT_EQ(styles.size(), 2u);
  EXPECT_EQ(styles[0].Style, FS_BOLD);
  EXPECT_EQ(styles[1].Style, 0);
}

TEST(SrtTag, StripTags) {
  const std::pair<const char*, const char*> cases[] = {
      {"<b>bold</b> and <!b>plain</!b>", "bold and plain"},
      {"<font color=\"#ff0000\">red</font> <FONT>", "red <FONT>"},
      {"a < b > c", "a < b > c"},
      {"\xF0\x9F\x98\x80<i>\xC3\xA9</i>", "\xF0\x9F\x98\x80\xC3\xA9"},
      {"<i></i>", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(S(StripTags(U(in))), out) << in;
}

TEST(SrtTag, AnalyseColorsCountsDistinctColours) {
  const uint32_t W = 0xFFFFFF, R = 0xFF0000, G = 0x00FF00, Bl = 0x0000FF, Y = 0xFFFF00;
  struct Case {
    const char* text;
    int count;
    uint32_t c1, c2, c3;
  } cases[] = {
      {"plain", 1, W, W, W},
      {"some words <font color=\"#FF0000\">red</font>", 2, W, R, W},
      {"<font color=\"#FF0000\">all red</font>", 1, R, W, W},
      {"<i><font color=\"#FF0000\">red</font></i>", 1, R, W, W},
      {"<font color=\"#FF0000\">a</font><font color=\"#ff0000\">b</font>", 1, R, W, W},
      {"x <font color=\"#FFFFFF\">white</font>", 1, W, W, W},
      {"<font color=\"#FF0000\">a</font> <font color=\"#00FF00\">b</font>", 2, R, G, W},
      {"x<font color=\"#FF0000\">a</font><font color=\"#00FF00\">b</font>", 3, W, R, G},
      {"<font color=\"#FF0000\">a</font><font color=\"#00FF00\">b</font><font color=\"#0000FF\">c</font>"
       "<font color=\"#FFFF00\">d</font>",
       3, R, G, Bl},
      {"x<font color=\"#FF0000\">a</font><font color=\"#00FF00\">b</font><font color=\"#0000FF\">c</font>", 3, W, R, G},
      {"<font >a</font>", 1, W, W, W},
      {"<font color=\"#FFFF00\"><font >a</font></font>", 1, Y, W, W},
      {"</font><font color=\"#FF0000\">a</font></font>b", 2, W, R, W},
  };
  for (const auto& c : cases) {
    uint32_t c1 = W, c2 = W, c3 = W;
    EXPECT_EQ(AnalyseColors(U(c.text), c1, c2, c3), c.count) << c.text;
    EXPECT_EQ(c1, c.c1) << c.text;
    EXPECT_EQ(c2, c.c2) << c.text;
    EXPECT_EQ(c3, c.c3) << c.text;
  }
}

TEST(SrtTag, RestoreMarkupFollowsTheCuts) {
  struct Case {
    std::vector<const char*> source, plain, expected;
  } cases[] = {
      {{"<i>Hello</i> world"}, {"Hello world"}, {"<i>Hello</i> world"}},
      {{"<i>Hello</i> big world"}, {"Hello", "big world"}, {"<i>Hello</i>", "big world"}},
      // The tag where the line is cut opens the continuation, and keeps its closer.
      {{"Hello <i>big world</i>"}, {"Hello", "big world"}, {"Hello", "<i>big world</i>"}},
      {{"one <font color=\"#FF0000\"><b>two</b></font>"},
       {"one", "two"},
       {"one", "<font color=\"#FF0000\"><b>two</b></font>"}},
      {{"<b>abcdef</b>"}, {"abc-", "def"}, {"<b>abc-", "def</b>"}},
      {{"<i>a</i>", "<b>b</b>"}, {"a", "b"}, {"<i>a</i>", "<b>b</b>"}},
      {{"x <font color=\"#00\">y</font>"}, {"x", "y"}, {"x", "<font color=\"#00\">y</font>"}},
  };
  for (const auto& c : cases) {
    std::vector<std::u32string> source, plain;
    for (auto s : c.source) source.push_back(U(s));
    for (auto s : c.plain) plain.push_back(U(s));
    auto result = RestoreMarkup(source, plain);
    ASSERT_EQ(result.size(), c.expected.size()) << c.source[0];
    for (size_t i = 0; i < result.size(); ++i) {
      EXPECT_EQ(S(result[i]), c.expected[i]) << c.source[0];
      EXPECT_EQ(S(StripTags(result[i])), c.plain[i]) << c.source[0];
    }
  }
}

}  // namespace
}  // namespace vidoria
