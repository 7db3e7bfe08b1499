// SubRip reading: encodings, line endings, cue structure and the timing fix-up, with
// ffprobe's reading of the same files as the reference for well-formed ones.
#include "platform/CodePages.h"
#include "subtitles/U_Subtitles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <regex>

namespace vidoria {
namespace {

using test::TempDir;
using test::WriteFile;

struct Event {
  int64_t start, duration;
  std::vector<std::string> lines;
  friend bool operator==(const Event&, const Event&) = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  os << e.start << "+" << e.duration << "[";
  for (auto& l : e.lines) os << "\"" << l << "\"";
  return os << "]";
}

struct Loaded {
  std::vector<Event> events;
  std::vector<std::string> log;
};

// Loads `bytes` as an attached .srt file of a title, timings fixed.
Loaded LoadSrt(const std::string& bytes, uint32_t codePage = 0) {
  TempDir dir;
  WriteFile(dir / "a.srt", bytes);
  TSttList list;
  Loaded out;
  list.LogCallback = [&](const void*, TSeverity, const std::string& text) { out.log.push_back(text); };
  TSttFile& file = list.AddFile();
  file.CodePage = codePage;
  file.SetFileName(dir / "a.srt");
  EXPECT_TRUE(list.LoadAll());
  for (TSttFrame* f = list.Frames().First(); f; f = list.Frames().Next() ? list.Frames().Current() : nullptr) {
    Event e{f->Start, f->Duration, {}};
    for (auto& l : f->Lines) e.lines.push_back(EncodeUtf8(l));
    out.events.push_back(e);
  }
  return out;
}

std::string Utf16(const std::u32string& text, bool bigEndian) {
  std::string out;
  auto put = [&](char16_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  for (char32_t c : text) {
    if (c >= 0x10000) {
      put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<char16_t>(c));
    }
  }
  return out;
}

const char* kTwoCues =
    "1\n00:00:01,000 --> 00:00:02,500\nHello \xC3\xA9t\xC3\xA9\n\n"
    "2\n00:00:03,000 --> 00:00:04,000\n<i>second</i>\nline two\n";
const std::vector<Event> kTwoCuesEvents = {{1000, 1500, {"Hello \xC3\xA9t\xC3\xA9"}},
                                           {3000, 1000, {"<i>second</i>", "line two"}}};

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) s.replace(p, from.size(), to);
  return s;
}

TEST(SrtReader, LineEndingsAndEncodings) {
  const std::u32string text = DecodeUtf8(kTwoCues);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"LF", kTwoCues},
      {"CRLF", ReplaceAll(kTwoCues, "\n", "\r\n")},
      {"CR", ReplaceAll(kTwoCues, "\n", "\r")},
      {"UTF-8 BOM", "\xEF\xBB\xBF" + std::string(kTwoCues)},
      {"UTF-16LE BOM", "\xFF\xFE" + Utf16(text, false)},
      {"UTF-16BE BOM", "\xFE\xFF" + Utf16(DecodeUtf8(ReplaceAll(kTwoCues, "\n", "\r\n")), true)},
      {"Windows-1252", ReplaceAll(kTwoCues, "\xC3\xA9", "\xE9")},
  };
  for (const auto& c : cases) EXPECT_EQ(LoadSrt(c.bytes).events, kTwoCuesEvents) << c.name;
}

TEST(SrtReader, CodePageNumbersSelectTheDecoding) {
  // "Привет" in Windows-1251 and KOI8-R, and Windows-1252 bytes that also form valid UTF-8
  // when read as code page 0.
  const std::string cue = "1\n00:00:01,000 --> 00:00:02,000\n";
  struct Case {
    uint32_t codePage;
    std::string text, expected;
  } cases[] = {
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {20866, "\xF0\xD2\xC9\xD7\xC5\xD4", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {1252, "\xC3\xA9", "\xC3\x83\xC2\xA9"},  // the code page is obeyed even for UTF-8-looking bytes
      {0, "\xC3\xA9", "\xC3\xA9"},
      {65001, "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
  };
  for (const auto& c : cases) {
    auto loaded = LoadSrt(cue + c.text + "\n", c.codePage);
    ASSERT_EQ(loaded.events.size(), 1u) << c.codePage;
    EXPECT_EQ(loaded.events[0].lines, std::vector<std::string>{c.expected}) << c.codePage;
  }
  // A byte-order mark wins over the code page.
  auto loaded = LoadSrt("\xEF\xBB\xBF" + cue + "\xC3\xA9\n", 1251);
  ASSERT_EQ(loaded.events.size(), 1u);
  EXPECT_EQ(loaded.events[0].lines[0], "\xC3\xA9");
}

TEST(SrtReader, BadAndUnusualCharacters) {
  const std::u32string cue = U"1\n00:00:01,000 --> 00:00:02,000\nA\U0001F600B\n";
  // Above U+FFFF in UTF-8 and as a UTF-16 surrogate pair: one character either way.
  EXPECT_EQ(LoadSrt(EncodeUtf8(cue)).events[0].lines[0], "A\xF0\x9F\x98\x80" "B");
  EXPECT_EQ(LoadSrt("\xFF\xFE" + Utf16(cue, false)).events[0].lines[0], "A\xF0\x9F\x98\x80" "B");
  // Odd-length UTF-16: the dangling byte becomes a replacement character.
  auto odd = LoadSrt("\xFF\xFE" + Utf16(cue, false) + "x");
  ASSERT_EQ(odd.events.size(), 1u);
  EXPECT_EQ(odd.events[0].lines.back(), "\xEF\xBF\xBD");
  // A lone surrogate.
  std::string lone = "\xFF\xFE" + Utf16(U"1\n00:00:01,000 --> 00:00:02,000\nA", false) + std::string("\x00\xD8", 2) +
                     Utf16(U"B\n", false);
  EXPECT_EQ(LoadSrt(lone).events[0].lines[0], "A\xEF\xBF\xBD" "B");
}

TEST(SrtReader, CueStructure) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<Event> events;
  } cases[] = {
      {"a number inside the text stays text",
       "1\n00:00:01,000 --> 00:00:03,000\nThe year\n2010\n\n2\n00:00:05,000 --> 00:00:06,000\nNext\n",
       {{1000, 2000, {"The year", "2010"}}, {5000, 1000, {"Next"}}}},
      {"a lone number after a blank line without a timing line stays text",
       "1\n00:00:01,000 --> 00:00:03,000\nThe year\n\n2010\n\n2\n00:00:05,000 --> 00:00:06,000\nNext\n",
       {{1000, 2000, {"The year", "2010"}}, {5000, 1000, {"Next"}}}},
      {"dot and comma before the milliseconds",
       "1\n00:00:01.500 --> 00:00:03.000\nA\n\n2\n00:00:04,500 --> 00:00:05,000\nB\n",
       {{1500, 1500, {"A"}}, {4500, 500, {"B"}}}},
      {"slash-n breaks lines; an empty piece ends the line",
       "1\n00:00:01,000 --> 00:00:02,000\nHello/nWorld\nA/n/nB\n",
       {{1000, 1000, {"Hello", "World", "A"}}}},
      {"a cue without text gives no event; the last cue needs no blank line",
       "1\n00:00:01,000 --> 00:00:02,000\n\n2\n00:00:03,000 --> 00:00:04,000\nlast",
       {{3000, 1000, {"last"}}}},
      {"lines before the first cue are ignored; cues without numbers are read",
       "junk\n\n00:00:01,000 --> 00:00:02,000\nA\n\n00:00:03,000 --> 00:00:04,000 X1:10 X2:20\nB\n",
       {{1000, 1000, {"A"}}, {3000, 1000, {"B"}}}},
      {"hours beyond 99 and milliseconds as written",
       "1\n100:00:00,5 --> 100:00:01,50\nA\n",
       {{360000005, 1045, {"A"}}}},
      {"a timing line that does not read drops its cue",
       "1\n00:00:xx,000 --> 00:00:02,000\nA\n\n2\n00:00:03,000 --> 00:00:04,000\nB\n",
       {{3000, 1000, {"B"}}}},
  };
  for (const auto& c : cases) EXPECT_EQ(LoadSrt(c.text).events, c.events) << c.name;
}

std::string Cue(int n, const char* from, const char* to) {
  return std::to_string(n) + "\n" + from + " --> " + to + "\ntext " + std::to_string(n) + "\n\n";
}

TEST(SrtReader, TimingFixUp) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::pair<int64_t, int64_t>> events;  // start, duration
    int warnings;
  } cases[] = {
      {"overlap shortens the earlier event",
       Cue(1, "00:00:10,000", "00:00:12,000") + Cue(2, "00:00:11,000", "00:00:13,000") +
           Cue(3, "00:00:20,000", "00:00:21,000"),
       {{10000, 950}, {11000, 2000}, {20000, 1000}},
       1},
      {"a gap of exactly 50 ms is kept",
       Cue(1, "00:00:01,000", "00:00:02,000") + Cue(2, "00:00:02,050", "00:00:03,000"),
       {{1000, 1000}, {2050, 950}},
       0},
      {"the first and the last event are checked too",
       Cue(1, "00:00:01,000", "00:00:01,030") + Cue(2, "00:00:02,000", "00:00:03,000") +
           Cue(3, "00:00:05,000", "00:00:04,000"),
       {{2000, 1000}},
       2},
      {"an end before the start, or no end at all",
       Cue(1, "00:00:05,000", "00:00:00,000") + Cue(2, "00:00:06,000", "00:00:06,031"),
       {{6000, 31}},
       1},
      {"an event shortened to 30 ms or less is dropped",
       Cue(1, "00:00:01,000", "00:00:05,000") + Cue(2, "00:00:01,080", "00:00:03,000"),
       {{1080, 1920}},
       2},
      {"same start: one of the two goes",
       Cue(1, "00:00:01,000", "00:00:02,000") + Cue(2, "00:00:01,000", "00:00:02,000"),
       {{1000, 1000}},
       2},
  };
  for (const auto& c : cases) {
    auto loaded = LoadSrt(c.text);
    std::vector<std::pair<int64_t, int64_t>> got;
    for (auto& e : loaded.events) got.emplace_back(e.start, e.duration);
    EXPECT_EQ(got, c.events) << c.name;
    EXPECT_EQ(static_cast<int>(loaded.log.size()), c.warnings) << c.name;
  }
}

TEST(SrtReader, FixUpMessages) {
  auto loaded = LoadSrt(Cue(1, "00:00:10,000", "00:00:12,000") + Cue(2, "00:00:11,000", "00:00:13,000") +
                        Cue(3, "00:00:20,000", "00:00:20,010"));
  EXPECT_EQ(loaded.log, (std::vector<std::string>{
                            "Subtitle frame #0 (stream 32) duration adjusted to 950 ms to avoir overlap with next subtitle",
                            "Subtitle frame #2 (stream 32) deleted as its duration is inferior to 30 ms"}));
}

TEST(SrtReader, StandaloneFileCountsEventsAndKnowsItsType) {
  TempDir dir;
  WriteFile(dir / "a.SRT", kTwoCues);
  WriteFile(dir / "b.ssa", "[Script Info]\n");
  WriteFile(dir / "c.srt", "nothing here\n");
  TSttFile file;
  file.SetFileName(dir / "a.SRT");
  EXPECT_EQ(file.FileType(), STTF_SRT);
  EXPECT_EQ(file.EventCount(), 2);
  EXPECT_EQ(file.StreamCount(), 1);
  file.SetFileName(dir / "b.ssa");
  EXPECT_EQ(file.FileType(), STTF_NONE);
  file.SetFileName(dir / "c.srt");
  EXPECT_EQ(file.FileType(), STTF_NONE);
  std::vector<std::string> log;
  file.LogCallback = [&](const void*, TSeverity s, const std::string& t) {
    EXPECT_EQ(s, EVT_WARNING);
    log.push_back(t);
  };
  file.SetFileName(dir / "missing.srt");
  EXPECT_EQ(file.FileType(), STTF_NONE);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].starts_with("subtitle file loading error: [")) << log[0];
}

TEST(CodePages, InstalledListIsTheTableFilteredByIconv) {
  auto installed = InstalledCodePages();
  EXPECT_LT(installed.size(), KnownCodePages().size());  // glibc lacks a few (720)
  bool has1252 = false;
  for (const auto& cp : installed) {
    iconv_t cd = iconv_open("UTF-32LE", cp.IconvName);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << cp.Number;
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    has1252 = has1252 || cp.Number == 1252;
  }
  EXPECT_TRUE(has1252);
  std::u32string out;
  std::string error;
  EXPECT_FALSE(DecodeCodePage("x", 12345, out, &error));
  EXPECT_TRUE(IsRightToLeftCodePage(1255));
  EXPECT_FALSE(IsRightToLeftCodePage(1252));
}

// ffprobe reads the same files: times and durations must agree.
std::vector<std::pair<int64_t, int64_t>> ProbeSrt(const std::filesystem::path& file) {
  std::string out;
  EXPECT_EQ(test::RunCommand("ffprobe -v error -show_packets -of json '" + file.string() + "'", &out), 0);
  std::vector<std::pair<int64_t, int64_t>> packets;
  std::regex re("\"pts\": (\\d+),[^}]*?\"duration\": (\\d+)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
    packets.emplace_back(std::stoll((*it)[1]), std::stoll((*it)[2]));
  return packets;
}

TEST(SrtReader, AgreesWithFfprobe) {
  const std::string files[] = {
      ReplaceAll(kTwoCues, "\n", "\r\n"),
      "\xEF\xBB\xBF" + Cue(1, "00:00:00,500", "00:00:01,250") + Cue(2, "00:01:02,003", "00:01:05,100") +
          Cue(3, "01:02:03,456", "01:02:04,000"),
      Cue(7, "00:00:01.000", "00:00:02.000") + "8\n00:00:03,000 --> 00:00:04,000\n<b>two</b>\nlines\n",
  };
  for (const auto& bytes : files) {
    TempDir dir;
    WriteFile(dir / "p.srt", bytes);
    auto probed = ProbeSrt(dir / "p.srt");
    auto loaded = LoadSrt(bytes);
    ASSERT_FALSE(probed.empty());
    std::vector<std::pair<int64_t, int64_t>> ours;
    for (auto& e : loaded.events) ours.emplace_back(e.start, e.duration);
    EXPECT_EQ(ours, probed);
  }
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {

// Text events are handed to the renderer with their lines; without one, or when it gives
// nothing, the event yields no packet and the list moves on.
TEST(SrtReader, TextEventsGoThroughTheRenderer) {
  TempDir dir;
  WriteFile(dir / "a.srt", kTwoCues);
  TSttList list;
  TSttFile& file = list.AddFile();
  file.SetFileName(dir / "a.srt");
  ASSERT_TRUE(list.LoadAll());
  file.AttachOutputStream(0, 2);
  std::vector<std::string> firstLines;
  list.TextRenderer = [&](const TSttFrame& frame, bool pal, std::vector<uint8_t>& unit) {
    EXPECT_TRUE(pal);
    firstLines.push_back(EncodeUtf8(frame.Lines[0]));
    if (frame.Start == 3000) return false;
    unit.assign(10, 0xAB);
    return true;
  };
  TSttPacket packet;
  EXPECT_EQ(list.NextPacket(packet, true), 10);
  EXPECT_EQ(packet.Pts, 1000 * 90);
  EXPECT_EQ(packet.Duration, 1500 * 90);
  EXPECT_EQ(packet.StreamIndex, 2);
  EXPECT_EQ(list.NextPacket(packet, true), 0);
  EXPECT_EQ(list.NextPacket(packet, true), -1);
  EXPECT_EQ(firstLines, (std::vector<std::string>{"Hello \xC3\xA9t\xC3\xA9", "<i>second</i>"}));
  EXPECT_EQ(file.PacketCount(), 1);
}

}  // namespace
}  // namespace vidoria
