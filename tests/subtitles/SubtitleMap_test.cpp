// Typesetting of text events: line breaking, markup put back onto broken lines, the
// colour slots and their registration in the title's palette.
#include "platform/CodePages.h"
#include "subtitles/U_SubtitleMap.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

const char* const kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::vector<std::string> Utf8(const std::vector<std::u32string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(EncodeUtf8(l));
  return out;
}

std::u32string U(const std::string& s) { return DecodeUtf8(s); }

struct BreakCase {
  const char* name;
  std::string line;
  int limit;
  std::vector<std::string> pieces;
};

TEST(BreakLine, Table) {
  const std::string sixty =  // 60 characters; spaces at 29 and 33 around the target 31
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbb cccccccccccccccccccccccccc";
  ASSERT_EQ(sixty.size(), 60u);
  const std::string word(100, 'x');
  const BreakCase cases[] = {
      {"exactly the limit stays whole", std::string(46, 'a'), 46, {std::string(46, 'a')}},
      {"sixty characters, nearest break looking back first", sixty, 46,
       {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaa bbb", "cccccccccccccccccccccccccc"}},
      {"a word without breaks is hyphenated", word, 46,
       {std::string(34, 'x') + "-", std::string(34, 'x') + "-", std::string(32, 'x')}},
      {"hyphen and full stop stay on the first piece", "abcdefghij-klmnopqrstu", 12, {"abcdefghij-", "klmnopqrstu"}},
      {"full stop", "abcdefghijk.lmnopqrst", 12, {"abcdefghijk.", "lmnopqrst"}},
      {"forward when nothing lies behind", "abcdefghijklm nopqrstuvwxyz", 14, {"abcdefghijklm", "nopqrstuvwxyz"}},
      {"three pieces", "one two three four five six seven eight nine ten", 20,
       {"one two three four", "five six seven eight", "nine ten"}},
      {"runs of blanks leave no empty piece", "aaaaaaa         bbbbbbb", 10, {"aaaaaaa", "bbbbbbb"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8(BreakLine(U(c.line), c.limit)), c.pieces) << c.name;
  }
}

// A letter whose low byte is that of a space is not a break character.
TEST(BreakLine, OnlyTrueBlanksBreak) {
  std::u32string line(30, U'a');
  line[14] = 0x0120;  // Ġ, low byte 0x20
  const auto pieces = BreakLine(line, 20);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].back(), U'-');
}

class TestMap : public TSubtitleMap {
 public:
  using TSubtitleMap::TSubtitleMap;
  int draws = 0;
  int charWidth = 0;  // pixels per character when measuring; 0 = no measuring

 protected:
  int MeasureText(std::u32string_view text) override { return int(text.size()) * charWidth; }
  void Draw() override { ++draws; }
};

struct MarkupCase {
  const char* name;
  std::vector<std::string> lines;
  int limit;
  std::vector<std::string> source, plain;
};

TEST(SubtitleMapLayout, MarkupFollowsTheBrokenLines) {
  const MarkupCase cases[] = {
      {"style closed before the cut", {"<i>Hello there</i> and the rest of it"}, 20,
       {"<i>Hello there</i> and", "the rest of it"},
       {"Hello there and", "the rest of it"}},
      {"style open across the cut goes on the next line",
       {"plain words then <i>an italic stretch</i>"}, 20,
       {"plain words then <i>an", "italic stretch</i>"},
       {"plain words then an", "italic stretch"}},
      {"opening tag at the cut moves to the continuation",
       {"some first words <font color=\"#ff0000\">red words here</font>"}, 20,
       {"some first words", "<font color=\"#FF0000\">red words here</font>"},
       {"some first words", "red words here"}},
      {"blanks around leading tags", {"  <b> bold line </b>  "}, 46, {"<b>bold line</b>"}, {"bold line"}},
      {"short lines untouched", {"<i>one</i>", "two"}, 46, {"<i>one</i>", "two"}, {"one", "two"}},
  };
  for (const auto& c : cases) {
    TDVDPalette palette;
    TestMap map(palette);
    map.Style.LineBreak = static_cast<uint16_t>(c.limit);
    std::vector<std::u32string> lines;
    for (const auto& l : c.lines) lines.push_back(U(l));
    map.SetLines(lines);
    map.Render();
    EXPECT_EQ(Utf8(map.SourceLines()), c.source) << c.name;
    EXPECT_EQ(Utf8(map.PlainLines()), c.plain) << c.name;
  }
}

// Lines too wide for the picture are broken shorter than the style asks.
TEST(SubtitleMapLayout, MeasuredWidthShortensTheLines) {
  TDVDPalette palette;
  TestMap map(palette);
  map.Style.LineBreak = 46;
  map.charWidth = 20;
  map.MaxLineWidth = 600;  // 30 characters
  map.SetLines({U("The quick brown fox jumps over the lazy dog and keeps on running")});
  map.Render();
  ASSERT_GE(map.PlainLines().size(), 3u);
  for (const auto& l : map.PlainLines()) EXPECT_LE(int(l.size()) * 20, 600) << EncodeUtf8(l);
}

struct ColourCase {
  const char* name;
  std::string text;
  int count;
  uint32_t textColour, shadowColour, outlineColour;
};

TEST(SubtitleMapColours, SlotsAndPalette) {
  const uint32_t white = 0xFFFFFF, red = 0xFF0000, green = 0x00FF00, black = 0;
  const ColourCase cases[] = {
      {"plain", "Hello", 1, white, kSttDefaultShadow, black},
      {"all inside one colour tag", "<font color=\"#ff0000\">Hello</font>", 1, red, kSttDefaultShadow, black},
      {"plain then a colour", "Hello <font color=\"#ff0000\">there</font>", 2, white, red, black},
      {"three colours", "a <font color=\"#ff0000\">b</font> <font color=\"#00ff00\">c</font>", 3, white, red, green},
  };
  for (const auto& c : cases) {
    TDVDPalette palette;
    palette.Add(kBlack);
    palette.Add(kWhite);
    TestMap map(palette);
    TFont font;
    font.Color = white;
    map.Style.SetFont(font);
    map.Style.BackgroundColor = kSttTransparent;
    map.SetLines({U(c.text)});
    map.Render();
    EXPECT_EQ(map.ColorCount(), c.count) << c.name;
    EXPECT_EQ(map.Style.TextColor, c.textColour) << c.name;
    EXPECT_EQ(map.Style.ShadowColor, c.shadowColour) << c.name;
    EXPECT_EQ(map.Style.OutlineColor, c.outlineColour) << c.name;
    for (uint32_t used : {c.textColour, c.shadowColour, c.outlineColour})
      EXPECT_GE(palette.IndexOf(TRgb::FromRgb(used)), 0) << c.name;
  }
}

TEST(SubtitleMapRender, SecondRenderWithoutNewLinesDoesNothing) {
  TDVDPalette palette;
  TestMap map(palette);
  map.SetLines({U"one"});
  map.Render();
  map.Render();
  EXPECT_EQ(map.draws, 1);
  EXPECT_FALSE(map.Dirty());
  map.SetLines({U"two"});
  map.Render();
  EXPECT_EQ(map.draws, 2);
}

// With a pinned font the derived line length follows the font size.
TEST(SubtitleMapLayout, LineBreakDerivedFromThePinnedFont) {
  struct Case {
    int size;
    int expected;
  };
  for (const Case& c : {Case{18, 55}, Case{24, 41}, Case{36, 27}}) {
    TFont font;
    font.Name = kDejaVu;
    font.Size = c.size;
    font.Style = 0;
    EXPECT_EQ(TSubtitleMap::RecommendedLineBreak(font), c.expected) << c.size;
  }
  EXPECT_EQ(TSubtitleMap::RecommendedLineBreak("/nonexistent/font.ttf", 24, false, false), 60);

  TDVDPalette palette;
  TestMap map(palette);
  TFont font;
  font.Name = kDejaVu;
  font.Size = 36;
  map.Style.SetFont(font);
  map.Style.LineBreak = 0;
  map.SetLines({U("Forty-five characters of text to break here..")});
  map.Render();
  EXPECT_EQ(map.Style.LineBreak, 27);
  EXPECT_EQ(Utf8(map.PlainLines()), (std::vector<std::string>{"Forty-five characters of", "text to break here.."}));
}

}  // namespace
}  // namespace vidoria
