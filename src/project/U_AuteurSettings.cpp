#include "project/U_AuteurSettings.h"

#include "platform/XdgPaths.h"

#include <cctype>

namespace vidoria {

namespace {

const std::string kKey = TAuteurSettings::kSettingsKey;

// Reads one property at a time; anything missing takes its default quietly (a new
// property, a first start), anything unusable takes it with a warning.
class TLoader {
 public:
  TLoader(const TKeyValueStore& store, const TLoggingObject& log) : store_(store), log_(log) {}
  bool Clean() const { return clean_; }

  void Str(const char* name, std::string& v, const std::string& def, int64_t, int64_t) {
    v = store_.ReadString(kKey, name).value_or(def);
  }

  void Bool(const char* name, bool& v, bool def, int64_t, int64_t) { v = ReadBool(kKey, name, def); }

  template <typename T>
  void Int(const char* name, T& v, T def, int64_t lo, int64_t hi) {
    v = def;
    auto raw = store_.ReadString(kKey, name);
    if (!raw) return;
    auto n = store_.ReadInteger(kKey, name);
    if (n && *n >= lo && *n <= hi) v = static_cast<T>(*n);
    else Invalid(name, *raw);
  }

  void Font(const char* name, TFontDesc& v, const TFontDesc& def, int64_t, int64_t) {
    const std::string key = kKey + "\\" + name;
    v = def;
    v.Name = store_.ReadString(key, "Name").value_or(def.Name);
    if (v.Name.empty()) {
      Invalid((std::string(name) + ".Name").c_str(), "");
      v.Name = def.Name;
    }
    if (auto raw = store_.ReadString(key, "Size")) {
      auto n = store_.ReadInteger(key, "Size");
      if (n && *n >= 1 && *n <= 500) v.Size = static_cast<int>(*n);
      else Invalid((std::string(name) + ".Size").c_str(), *raw);
    }
    v.Bold = ReadBool(key, "Bold", def.Bold);
    v.Italic = ReadBool(key, "Italic", def.Italic);
    v.Underline = ReadBool(key, "Underline", def.Underline);
    if (auto raw = store_.ReadString(key, "Color")) {
      if (auto c = TRgb::FromHex(*raw)) v.Color = *c;
      else Invalid((std::string(name) + ".Color").c_str(), *raw);
    }
  }

 private:
  bool ReadBool(const std::string& key, const char* name, bool def) {
    auto raw = store_.ReadString(key, name);
    if (!raw) return def;
    if (auto b = store_.ReadBool(key, name)) return *b;
    Invalid(name, *raw);
    return def;
  }

  void Invalid(const char* name, const std::string& raw) {
    log_.LogFmt(EVT_WARNING, "Invalid stored setting %s = \"%s\", the default is used", std::string(name), raw);
    clean_ = false;
  }

  const TKeyValueStore& store_;
  const TLoggingObject& log_;
  bool clean_ = true;
};

class TSaver {
 public:
  explicit TSaver(TKeyValueStore& store) : store_(store) {}
  void Str(const char* name, const std::string& v) { store_.WriteString(kKey, name, v); }
  void Bool(const char* name, bool v) { store_.WriteBool(kKey, name, v); }
  template <typename T>
  void Int(const char* name, T v) {
    store_.WriteInteger(kKey, name, static_cast<int64_t>(v));
  }
  void Font(const char* name, const TFontDesc& f) {
    const std::string key = kKey + "\\" + name;
    store_.WriteString(key, "Name", f.Name);
    store_.WriteInteger(key, "Size", f.Size);
    store_.WriteBool(key, "Bold", f.Bold);
    store_.WriteBool(key, "Italic", f.Italic);
    store_.WriteBool(key, "Underline", f.Underline);
    store_.WriteString(key, "Color", f.Color.ToHex());
  }

 private:
  TKeyValueStore& store_;
};

}  // namespace

TAuteurSettings::TAuteurSettings(std::filesystem::path programFolder) : programFolder_(std::move(programFolder)) {
  ResetDefaults();
}

std::string TAuteurSettings::DefaultWorkingFolder() const { return (xdg::DocumentsDir() / "Vidoria").string(); }

std::string TAuteurSettings::DefaultBackground() const {
  return (programFolder_ / "background" / "qor.jpg").string();
}

std::string TAuteurSettings::DefaultLanguage() { return xdg::UserLanguageCode(); }

void TAuteurSettings::ResetDefaults() {
#define VIDORIA_RESET(kind, type, name, def, lo, hi, dialog) Set_##name(type(def));
  VIDORIA_SETTINGS(VIDORIA_RESET)
#undef VIDORIA_RESET
}

void TAuteurSettings::ResetDialogDefaults() {
#define VIDORIA_RESET(kind, type, name, def, lo, hi, dialog) \
  if (dialog) Set_##name(type(def));
  VIDORIA_SETTINGS(VIDORIA_RESET)
#undef VIDORIA_RESET
}

std::vector<std::string> TAuteurSettings::PropertyNames(bool dialogOnly) {
  std::vector<std::string> names;
#define VIDORIA_NAME(kind, type, name, def, lo, hi, dialog) \
  if (!dialogOnly || dialog) names.push_back(#name);
  VIDORIA_SETTINGS(VIDORIA_NAME)
#undef VIDORIA_NAME
  return names;
}

bool TAuteurSettings::LoadSettings(TKeyValueStore& store) {
  std::string why;
  if (!store.Load(&why)) {
    LogFmt(EVT_ERROR, "Load settings error. Reset to defaults.");
    LogFmt(EVT_ERROR, "%s: %s", store.File().string(), why);
    ResetDefaults();
    modified_ = false;
    return false;
  }
  TLoader loader(store, *this);
#define VIDORIA_LOAD(kind, type, name, def, lo, hi, dialog) loader.kind(#name, name##_, type(def), lo, hi);
  VIDORIA_SETTINGS(VIDORIA_LOAD)
#undef VIDORIA_LOAD
  modified_ = false;
  return loader.Clean();
}

bool TAuteurSettings::SaveSettings(TKeyValueStore& store) {
  TSaver saver(store);
#define VIDORIA_SAVE(kind, type, name, def, lo, hi, dialog) saver.kind(#name, name##_);
  VIDORIA_SETTINGS(VIDORIA_SAVE)
#undef VIDORIA_SAVE
  std::string why;
  if (!store.Save(&why)) {
    LogFmt(EVT_ERROR, "Settings can't be saved: %s", why);
    return false;
  }
  modified_ = false;
  return true;
}

// ---- dialog translations ------------------------------------------------------------

std::vector<std::string> TargetSizeChoices() {
  return {"DVD-5 (4400 MB)", "DVD-9 (8200 MB)", "Custom (enter value in MB)"};
}

int32_t TargetSizeFromDialog(std::string_view text) {
  const auto choices = TargetSizeChoices();
  if (text == choices[0]) return 4400;
  if (text == choices[1]) return 8100;  // what fits a DVD-9 with room for the file system
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int64_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), 1000000);
  if (digits == 0) return 4400;
  return static_cast<int32_t>(std::clamp<int64_t>(value, 330, 8500));
}

std::string TargetSizeToDialog(int32_t megabytes) {
  const auto choices = TargetSizeChoices();
  if (megabytes == 4400) return choices[0];
  if (megabytes == 8100) return choices[1];
  return FormatMessage(TTextStorage::Lookup("%d MB"), "%d MB", megabytes);
}

std::vector<std::string> QualityChoices() {
  return {"High quality / Slow encoding", "Medium quality / encoding speed (Recommended)",
          "Low quality / Fast encoding"};
}

int32_t QminFromDialog(int itemIndex) { return itemIndex == 0 ? 1 : itemIndex == 2 ? 3 : 2; }

int QminToDialog(int32_t qmin) { return qmin == 1 ? 0 : qmin == 3 ? 2 : 1; }

std::string ChapterTimeToDialog(int64_t milliseconds) {
  int64_t seconds = milliseconds / 1000;
  return SafeFormat("%.2d%s%.2d", seconds / 60, std::string(":"), seconds % 60);
}

std::optional<int64_t> ChapterTimeFromDialog(std::string_view text, int64_t minimumSeconds) {
  auto number = [](std::string_view s) -> std::optional<int64_t> {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    if (b == std::string_view::npos) return std::nullopt;
    s = s.substr(b, e - b + 1);
    if (s.empty() || s.size() > 9) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      v = v * 10 + (c - '0');
    }
    return v;
  };
  int64_t seconds;
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    auto minutes = number(text);
    if (!minutes) return std::nullopt;
    seconds = *minutes * 60;
  } else {
    auto minutes = number(text.substr(0, colon));
    auto secs = number(text.substr(colon + 1));
    if (!minutes || !secs) return std::nullopt;
    seconds = *minutes * 60 + *secs;
  }
  if (seconds < minimumSeconds) return std::nullopt;
  return seconds * 1000;
}

std::vector<std::string> PriorityChoices() {
  return {"Idle", "Lowest", "Below normal", "Normal", "Above normal", "Highest", "TimeCritical"};
}
std::vector<std::string> VideoStandardChoices() { return {"Automatic", "PAL (Europe)", "NTSC (US, Asia)"}; }
std::vector<std::string> TvScreenChoices() { return {"Automatic", "4:3 (Fullscreen)", "16:9 (Widescreen)"}; }
std::vector<std::string> AudioFormatChoices() {
  return {"Automatic", "AC-3 (up to 6 Ch.)", "MPEG (up to 2 Ch.)", "PCM (lossless, up to 6 Ch.)"};
}

}  // namespace vidoria
