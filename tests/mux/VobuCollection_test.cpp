#include "mux/U_VobuCollection.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vidoria;

namespace {

// `count` VOBUs of half a second, 10 sectors each; the first `firstCell` in cell 1,
// the rest in cell 2.
TVobuCollection HalfSecondVobus(int count, int firstCell) {
  TVobuCollection c;
  for (int k = 0; k < count; ++k) {
    TVobuData v;
    v.CellId = k < firstCell ? 1 : 2;
    v.VobId = 1;
    v.StartSector = static_cast<uint32_t>(10 * k);
    v.StartTime = int64_t{45000} * k;
    v.EndTime = v.StartTime + 45000;
    c.AddVobu(v, 10);
  }
  return c;
}

}  // namespace

TEST(VobuCollection, TimeMap) {
  // 10 s in 4 s units: 2.5 entries, halves to even gives 2.
  const TVobuCollection c = HalfSecondVobus(20, 10);
  EXPECT_EQ(c.LastSector, 199);
  EXPECT_EQ(c.TotalDurationMs(), 10000);
  EXPECT_EQ(c.TotalFrames(), 250);
  const auto map = c.TimeMap(4);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->Unit, 4);
  EXPECT_EQ(map->FrameRate, 25);
  // At 4 s VOBU 8 starts (cell 1): the entry is VOBU 7. At 8 s VOBU 16 (cell 2): the
  // entry is VOBU 15, marked because the cell changed.
  EXPECT_EQ(map->Entries, (std::vector<uint32_t>{70, 0x80000000u | 150}));
}

TEST(VobuCollection, TimeMapOfShortRuns) {
  // 2.5 s: one entry, and no VOBU starts at 4 s; the entry names the last VOBU, not 0.
  const auto map = HalfSecondVobus(5, 5).TimeMap(4);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->Entries, std::vector<uint32_t>{40});
  // 1.5 s: no map at all.
  EXPECT_FALSE(HalfSecondVobus(3, 3).TimeMap(4));
  EXPECT_FALSE(TVobuCollection().TimeMap(4));
}

TEST(VobuCollection, StreamAttributesAndControlWords) {
  TVobuCollection c;
  EXPECT_TRUE(c.RegisterAudioStream(0, AV_CODEC_ID_AC3, 6, "EN"));
  EXPECT_FALSE(c.RegisterAudioStream(0, AV_CODEC_ID_AC3, 6, "en"));  // counted once
  EXPECT_TRUE(c.RegisterAudioStream(1, AV_CODEC_ID_MP2, 2, ""));
  EXPECT_EQ(c.AudioStreamCount, 2);
  EXPECT_EQ(c.AudioAttributes(0), (std::array<uint8_t, 8>{0x04, 0x05, 'e', 'n', 0, 0, 0, 0}));
  EXPECT_EQ(c.AudioAttributes(1), (std::array<uint8_t, 8>{0x40, 0x01, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(c.AudioAttributes(2), (std::array<uint8_t, 8>{}));
  EXPECT_EQ(c.AudioControl(1), 0x8100);
  EXPECT_EQ(c.AudioControl(2), 0);
  EXPECT_EQ(AudioCodingOf(AV_CODEC_ID_DTS), AC_DTS);
  EXPECT_EQ(AudioCodingOf(AV_CODEC_ID_PCM_S16BE), AC_LPCM);

  c.RegisterSubpictureStream(3, "");
  c.RegisterSubpictureStream(1, "fr");
  EXPECT_EQ(c.PresentSubpictureCount(), 2u);
  EXPECT_EQ(c.SubpictureAttributes(3), (std::array<uint8_t, 6>{}));
  EXPECT_EQ(c.SubpictureAttributes(1), (std::array<uint8_t, 6>{1, 0, 'f', 'r', 0, 0}));
  EXPECT_EQ(c.SubpictureControl(3), 0x83030303u);
  EXPECT_EQ(c.SubpictureControl(0), 0u);
  c.SubpictureModes[3] = {true, false, false, true};
  EXPECT_EQ(c.SubpictureControl(3), 0x83000003u);

  c.Clear();
  EXPECT_EQ(c.AudioStreamCount, 0);
  EXPECT_TRUE(c.RegisterAudioStream(0, AV_CODEC_ID_AC3, 2, "de"));
  EXPECT_EQ(c.DefaultSubpictureStream, -1);
}

TEST(Languages, Table) {
  const auto table = languages::Table();
  ASSERT_EQ(table.size(), 143u);
  EXPECT_STREQ(table[0].Name, "Unspecified");
  EXPECT_STREQ(table[0].Code, "");
  struct Case {
    const char* code;
    const char* name;
  };
  for (const Case& c : {Case{"en", "English"}, Case{"DE", "Deutsch"}, Case{"fr", "Français"}, Case{"iw", "Hebrew"},
                        Case{"he", "Hebrew"}, Case{"in", "Indonesian"}, Case{"ji", "Yiddish"}, Case{"zh", "Chinese"},
                        Case{"hr", "Hrvatski"}, Case{"sr", "Serbian"}}) {
    const size_t row = languages::FindByCode(c.code);
    ASSERT_NE(row, 0u) << c.code;
    EXPECT_STREQ(table[row].Name, c.name) << c.code;
  }
  EXPECT_EQ(languages::FindByCode(""), 0u);
  EXPECT_EQ(languages::FindByCode("xx"), 0u);
  // By name: the first row whose name begins the text.
  EXPECT_EQ(languages::FindByName("english (en)"), languages::FindByCode("en"));
  EXPECT_EQ(languages::FindByName("Indonesian (in)"), languages::FindByCode("id"));
  EXPECT_FALSE(languages::FindByName("Klingon"));
  // Codes are unique apart from none; every name fits the 16 bytes of the old table.
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_LE(std::strlen(table[i].Name), 16u) << table[i].Name;
    if (i) {
      EXPECT_EQ(languages::FindByCode(table[i].Code), i) << table[i].Code;
    }
  }
  const auto sorted = languages::Choices(true);
  ASSERT_EQ(sorted.size(), 143u);
  EXPECT_EQ(sorted.front().first, "Abkhazian (ab)");
  EXPECT_EQ(languages::Choices(false)[0].first, "Unspecified ()");
}

TEST(Languages, DefaultFollowsTheLocale) {
  test::ScopedEnv all("LC_ALL", "");
  test::ScopedEnv messages("LC_MESSAGES", "");
  {
    test::ScopedEnv lang("LANG", "de_DE.UTF-8");
    EXPECT_STREQ(languages::Table()[languages::DefaultLanguage()].Code, "de");
  }
  {
    test::ScopedEnv lang("LANG", "en_GB.UTF-8");
    test::ScopedEnv m("LC_MESSAGES", "fr_FR.UTF-8");
    EXPECT_STREQ(languages::Table()[languages::DefaultLanguage()].Code, "fr");
  }
  {
    test::ScopedEnv lang("LANG", "tlh_US.UTF-8");  // not a two-letter language: English
    EXPECT_STREQ(languages::Table()[languages::DefaultLanguage()].Code, "en");
  }
}
