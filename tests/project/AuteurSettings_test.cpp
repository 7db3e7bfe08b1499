#include "project/U_AuteurSettings.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {
using test::TempDir;

struct Captured {
  std::vector<std::pair<TSeverity, std::string>> entries;
  TLogCallback Callback() {
    return [this](const void*, TSeverity s, const std::string& t) { entries.emplace_back(s, t); };
  }
  bool Has(TSeverity s, const std::string& part) const {
    for (const auto& [sev, text] : entries)
      if (sev == s && text.find(part) != std::string::npos) return true;
    return false;
  }
};

// A valid value that differs from the default, for every kind of property.
std::string Other(const std::string& def, int64_t, int64_t) { return def + "-changed"; }
bool Other(bool def, int64_t, int64_t) { return !def; }
TFontDesc Other(const TFontDesc& def, int64_t, int64_t) {
  return {def.Name + " Alt", def.Size + 3, !def.Bold, !def.Italic, !def.Underline, TRgb{1, 2, 3}};
}
template <typename T>
T Other(T def, int64_t lo, int64_t hi) {
  int64_t v = static_cast<int64_t>(def) == lo ? hi : lo;
  return static_cast<T>(v);
}

TEST(AuteurSettings, EveryPropertyRoundTripsAndAnIndependentReaderReadsTheFile) {
  TempDir dir;
  TAuteurSettings saved("/opt/vidoria");
  TAuteurSettings defaults("/opt/vidoria");
#define SET_OTHER(kind, type, name, def, lo, hi, dialog) saved.Set_##name(Other(defaults.name(), lo, hi));
  VIDORIA_SETTINGS(SET_OTHER)
#undef SET_OTHER
  EXPECT_TRUE(saved.Modified());
  TKeyValueStore store(dir / "vidoria.ini");
  ASSERT_TRUE(saved.SaveSettings(store));
  EXPECT_FALSE(saved.Modified());

  TAuteurSettings loaded("/opt/vidoria");
  TKeyValueStore reread(dir / "vidoria.ini");
  EXPECT_TRUE(loaded.LoadSettings(reread));
#define CHECK_SAME(kind, type, name, def, lo, hi, dialog)   \
  EXPECT_TRUE(loaded.name() == saved.name()) << #name;      \
  EXPECT_FALSE(loaded.name() == defaults.name()) << #name;
  VIDORIA_SETTINGS(CHECK_SAME)
#undef CHECK_SAME
  EXPECT_FALSE(loaded.Modified());

  const std::string script =
      "import configparser, sys\n"
      "c = configparser.ConfigParser(interpolation=None)\n"
      "c.optionxform = str\n"
      "c.read(sys.argv[1], encoding='utf-8')\n"
      "s = c['Software\\\\Qor\\\\Vidoria\\\\settings']\n"
      "f = c['Software\\\\Qor\\\\Vidoria\\\\settings\\\\Menu_Title_Font']\n"
      "print(len(s), s['Menu_Default_title'], s['Enc_target_size'], f['Name'], f['Color'])\n";
  test::WriteFile(dir / "read.py", script);
  std::string out;
  ASSERT_EQ(test::RunCommand("python3 " + (dir / "read.py").string() + " " + (dir / "vidoria.ini").string(), &out), 0)
      << out;
  const size_t plain = TAuteurSettings::PropertyNames().size() - 3;  // the fonts are sub-keys
  EXPECT_EQ(out, std::to_string(plain) + " My DVD-changed " + std::to_string(saved.Enc_target_size()) +
                     " Arial Alt #010203\n");
}

TEST(AuteurSettings, UnusableStoredValuesFallBackToTheirDefaults) {
  struct Case {
    const char* name;
    const char* stored;
  };
  const Case cases[] = {
      {"Enc_video_qmin", "0"},          {"Chap_Duration_Ms", "0"},        {"Chap_Duration_Ms", "-300000"},
      {"Menu_Entries_Per_Pages", "0"},  {"Enc_target_size", "-1"},        {"TvFmt_Video_Standard", "7"},
      {"Enc_Conversion_priority", "9"}, {"Stt_relative_position", "101"}, {"Gen_CheckForUpdate", "maybe"},
      {"Chap_Duration_Ms", "5 min"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.stored);
    TempDir dir;
    test::WriteFile(dir / "v.ini", std::string("[Software\\Qor\\Vidoria\\settings]\nEnc_video_qmin=3\n") + c.name +
                                        "=" + c.stored + "\n");
    TKeyValueStore store(dir / "v.ini");
    TAuteurSettings s;
    Captured log;
    s.LogCallback = log.Callback();
    EXPECT_FALSE(s.LoadSettings(store));
    EXPECT_TRUE(log.Has(EVT_WARNING, c.name));
    TAuteurSettings d;
    EXPECT_EQ(s.Chap_Duration_Ms(), d.Chap_Duration_Ms());
    EXPECT_EQ(s.Menu_Entries_Per_Pages(), d.Menu_Entries_Per_Pages());
    EXPECT_EQ(s.TvFmt_Video_Standard(), d.TvFmt_Video_Standard());
    EXPECT_EQ(s.Gen_CheckForUpdate(), d.Gen_CheckForUpdate());
    if (std::string(c.name) != "Enc_video_qmin") EXPECT_EQ(s.Enc_video_qmin(), 3) << "good values still load";
    else EXPECT_EQ(s.Enc_video_qmin(), 2);
  }
}

TEST(AuteurSettings, DamagedStoresLoadDefaultsWithTheMessage) {
  const std::pair<const char*, std::string> files[] = {
      {"empty", ""},
      {"truncated", "; Vidoria\n[Software\\Qor\\Vidoria\\sett"},
      {"binary", std::string("\x7f" "ELF\x02\x01\x01\x00\x00", 9)},
      {"garbage", "this is not a settings file\n"},
  };
  for (const auto& [what, text] : files) {
    SCOPED_TRACE(what);
    TempDir dir;
    test::WriteFile(dir / "v.ini", text);
    TKeyValueStore store(dir / "v.ini");
    TAuteurSettings s;
    s.Set_Enc_target_size(777);
    Captured log;
    s.LogCallback = log.Callback();
    EXPECT_FALSE(s.LoadSettings(store));
    EXPECT_TRUE(log.Has(EVT_ERROR, "Load settings error. Reset to defaults."));
    EXPECT_EQ(s.Enc_target_size(), 4400);
  }
}

TEST(AuteurSettings, FailedSaveIsReportedAndKeepsTheValues) {
  TempDir dir;
  std::filesystem::create_directories(dir / "v.ini");  // a folder where the file should be
  TKeyValueStore store(dir / "v.ini");
  TAuteurSettings s;
  Captured log;
  s.LogCallback = log.Callback();
  s.Set_Menu_Default_title("Holiday");
  EXPECT_FALSE(s.SaveSettings(store));
  EXPECT_TRUE(log.Has(EVT_ERROR, "Settings can't be saved"));
  EXPECT_TRUE(s.Modified());
  EXPECT_EQ(s.Menu_Default_title(), "Holiday");
}

TEST(AuteurSettings, DialogResetKeepsWhatTheDialogDoesNotShow) {
  TAuteurSettings s;
  s.Set_Gen_Theme("Dark");
  s.Set_Gen_FlipPreview(true);
  s.Set_Enc_target_size(8100);
  s.Set_Menu_Font(TFontDesc{"Tahoma", 9});
  s.ResetDialogDefaults();
  EXPECT_EQ(s.Gen_Theme(), "Dark");
  EXPECT_TRUE(s.Gen_FlipPreview());
  EXPECT_EQ(s.Enc_target_size(), 4400);
  EXPECT_EQ(s.Menu_Font(), TAuteurSettings().Menu_Font());
}

TEST(AuteurSettings, DialogTranslations) {
  const std::pair<std::string, int32_t> sizes[] = {
      {"DVD-5 (4400 MB)", 4400}, {"DVD-9 (8200 MB)", 8100}, {"Custom (enter value in MB)", 4400},
      {"4700 MB", 4700},         {"  4700", 4700},          {"no digits", 4400},
      {"99999", 8500},           {"100", 330},              {"12a34", 330},
  };
  for (const auto& [text, mb] : sizes) EXPECT_EQ(TargetSizeFromDialog(text), mb) << text;
  EXPECT_EQ(TargetSizeToDialog(4400), "DVD-5 (4400 MB)");
  EXPECT_EQ(TargetSizeToDialog(8100), "DVD-9 (8200 MB)");
  EXPECT_EQ(TargetSizeToDialog(8200), "8200 MB");

  for (int i = 0; i < 3; ++i) EXPECT_EQ(QminToDialog(QminFromDialog(i)), i);
  EXPECT_EQ(QminFromDialog(0), 1);
  EXPECT_EQ(QminToDialog(7), 1);

  EXPECT_EQ(ChapterTimeFromDialog("7:30", 15), 450000);
  EXPECT_EQ(ChapterTimeFromDialog("7", 15), 420000);
  EXPECT_EQ(ChapterTimeFromDialog("0:10", 15), std::nullopt) << "below the field's minimum";
  EXPECT_EQ(ChapterTimeFromDialog("abc", 0), std::nullopt);
  EXPECT_EQ(ChapterTimeToDialog(450000), "07:30");
  EXPECT_EQ(ChapterTimeToDialog(6000000), "100:00");
}

}  // namespace
}  // namespace vidoria
