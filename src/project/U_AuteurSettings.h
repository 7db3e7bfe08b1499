#pragma once
// The user's preferences. Every property is declared once, in VIDORIA_SETTINGS below:
// its type, default and valid range drive the members, the accessors, loading, saving,
// validation and resetting alike. The declaration order is the storage order.

#include "app/U_LogConsts.h"
#include "common/U_FontDesc.h"
#include "platform/KeyValueStore.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vidoria {

enum e_video_standard : uint8_t { vs_automatic, vs_forcepal, vs_forcentsc };
enum e_tv_screen : uint8_t { tvs_automatic, tvs_forcefull, tvs_forcewide };
enum e_resize : uint8_t { r_automatic, r_letterbox, r_panscan };
enum e_audio_format : uint8_t { af_automatic, af_ac3, af_mpeg1, af_pcm };
enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// X(kind, C++ type, name, default, minimum, maximum, shown in the options dialog)
// kinds: Str, Bool, Int (integers and enumerations), Font.
#define VIDORIA_SETTINGS(X)                                                                          \
  X(Str, std::string, Gen_Workingfolder, DefaultWorkingFolder(), 0, 0, true)                         \
  X(Bool, bool, Gen_CheckForUpdate, true, 0, 1, true)                                                \
  X(Bool, bool, Gen_BypassPromptForUpdateDialog, false, 0, 1, false)                                 \
  X(Str, std::string, Gen_Theme, "Default", 0, 0, false)                                             \
  X(Bool, bool, Gen_FlipPreview, false, 0, 1, false)                                                 \
  X(Bool, bool, Chap_AutoInsertChapter, true, 0, 1, true)                                            \
  X(Bool, bool, Chap_dont_insert_in_small_segments, true, 0, 1, true)                                \
  X(Int, int64_t, Chap_Duration_Ms, 300000, 1000, 86400000, true)                                    \
  X(Int, int64_t, Chap_Minimum_Segment_Duration_Ms, 900000, 0, 864000000, true)                      \
  X(Bool, bool, Auth_Auto_Start, true, 0, 1, true)                                                   \
  X(Bool, bool, Auth_Integrate_Menu, true, 0, 1, true)                                               \
  X(Bool, bool, Auth_Sequential_Playback, true, 0, 1, true)                                          \
  X(Bool, bool, Auth_Loop_Playback, true, 0, 1, true)                                                \
  X(Str, std::string, Menu_Default_title, "My DVD", 0, 0, true)                                      \
  X(Str, std::string, Menu_Default_Background, DefaultBackground(), 0, 0, true)                      \
  X(Int, int32_t, Menu_Entries_Per_Pages, 4, 1, 10, true)                                            \
  X(Font, TFontDesc, Menu_Title_Font, (TFontDesc{"Arial", 24, true, false, true, kWhite}), 0, 0, true) \
  X(Font, TFontDesc, Menu_Font, (TFontDesc{"Arial", 16, true, false, false, kWhite}), 0, 0, true)    \
  X(Int, e_video_standard, TvFmt_Video_Standard, vs_automatic, 0, 2, true)                           \
  X(Int, e_tv_screen, TvFmt_TV_Screen, tvs_automatic, 0, 2, true)                                    \
  X(Int, e_resize, TvFmt_Resize, r_automatic, 0, 2, true)                                            \
  X(Bool, bool, Burn_On_Dvd, true, 0, 1, true)                                                       \
  X(Str, std::string, Burn_Writer, "", 0, 0, true)                                                   \
  X(Bool, bool, Burn_AddOriginalFilesToDvd, false, 0, 1, true)                                       \
  X(Str, std::string, Burn_Speed, "", 0, 0, true)                                                    \
  X(Bool, bool, Burn_delete_files, true, 0, 1, true)                                                 \
  X(Bool, bool, Burn_Send_Stats, true, 0, 1, true)                                                   \
  X(Bool, bool, Burn_Dont_Eject_At_Completion, false, 0, 1, true)                                    \
  X(Bool, bool, Burn_Prefer_SAO_Mode, false, 0, 1, true)                                             \
  X(Str, std::string, Stt_default_language, DefaultLanguage(), 0, 0, true)                           \
  X(Font, TFontDesc, Stt_Default_Font, (TFontDesc{"Arial", 18, false, false, false, kWhite}), 0, 0, true) \
  X(Int, uint8_t, Stt_relative_position, 90, 0, 100, true)                                           \
  X(Bool, bool, Stt_auto_select_on_dvd, true, 0, 1, true)                                            \
  X(Str, std::string, Aud_default_language, DefaultLanguage(), 0, 0, true)                           \
  X(Int, e_audio_format, Aud_format, af_automatic, 0, 3, true)                                       \
  X(Bool, bool, Aud_auto_select_on_dvd, true, 0, 1, true)                                            \
  X(Bool, bool, Aud_no_fix_gaps, false, 0, 1, true)                                                  \
  X(Int, int32_t, Enc_target_size, 4400, 1, 1000000, true)                                           \
  X(Int, TThreadPriority, Enc_Conversion_priority, tpNormal, 0, 6, true)                             \
  X(Int, int32_t, Enc_video_qmin, 2, 1, 31, true)                                                    \
  X(Bool, bool, enc_Log_Engine_Messages, false, 0, 1, true)

class TAuteurSettings : public TLoggingObject {
 public:
  static constexpr const char* kRootKey = "Software\\Qor\\Vidoria";
  static constexpr const char* kSettingsKey = "Software\\Qor\\Vidoria\\settings";

  // `programFolder` holds the program's shipped data (the default menu background).
  explicit TAuteurSettings(std::filesystem::path programFolder = {});

#define VIDORIA_ACCESSORS(kind, type, name, def, lo, hi, dialog) \
  const type& name() const { return name##_; }                  \
  void Set_##name(const type& v) {                              \
    if (!(name##_ == v)) {                                      \
      name##_ = v;                                              \
      modified_ = true;                                         \
    }                                                           \
  }
  VIDORIA_SETTINGS(VIDORIA_ACCESSORS)
#undef VIDORIA_ACCESSORS

  // Reads every property. A store that cannot be read logs "Load settings error. Reset
  // to defaults." and applies the defaults; a stored value that is not valid for its
  // property (wrong type, out of range) is replaced by its default with a warning.
  // Returns false when anything was replaced.
  bool LoadSettings(TKeyValueStore& store);
  // Writes every property and saves the store. A failure is logged and returned; the
  // values stay in memory and the modified flag stays raised.
  bool SaveSettings(TKeyValueStore& store);
  void ResetDefaults();
  // What "Reset to defaults" in the options dialog does: only the properties the dialog
  // shows go back to their defaults; the theme, the preview flip and the update prompt
  // choice are kept.
  void ResetDialogDefaults();

  bool Modified() const { return modified_; }
  const std::filesystem::path& ProgramFolder() const { return programFolder_; }
  // Names of all properties in storage order, and of those the dialog shows.
  static std::vector<std::string> PropertyNames(bool dialogOnly = false);

  std::string DefaultWorkingFolder() const;
  std::string DefaultBackground() const;
  static std::string DefaultLanguage();

 private:
  std::filesystem::path programFolder_;
  bool modified_ = false;
#define VIDORIA_MEMBER(kind, type, name, def, lo, hi, dialog) type name##_{};
  VIDORIA_SETTINGS(VIDORIA_MEMBER)
#undef VIDORIA_MEMBER
};

// ---- translations between stored values and the options dialog's controls --------

// Target size: "DVD-5 (4400 MB)", "DVD-9 (8200 MB)", "Custom (enter value in MB)".
std::vector<std::string> TargetSizeChoices();
// The DVD-9 choice stores 8100. Other text yields its leading digits (blanks before them
// skipped), 4400 without any, limited to 330..8500.
int32_t TargetSizeFromDialog(std::string_view text);
// 4400 and 8100 give the first two choices, other sizes "%d MB".
std::string TargetSizeToDialog(int32_t megabytes);

// "High quality / Slow encoding" (qmin 1), "Medium ..." (2), "Low quality ..." (3).
std::vector<std::string> QualityChoices();
int32_t QminFromDialog(int itemIndex);
int QminToDialog(int32_t qmin);

// Chapter times: "%.2d%s%.2d" of total minutes, ":", seconds.
std::string ChapterTimeToDialog(int64_t milliseconds);
// "m:ss" or a plain number of minutes; nullopt for text that is neither or a time
// below `minimumSeconds`. The result is in milliseconds.
std::optional<int64_t> ChapterTimeFromDialog(std::string_view text, int64_t minimumSeconds);

std::vector<std::string> PriorityChoices();        // item index = TThreadPriority
std::vector<std::string> VideoStandardChoices();   // item index = e_video_standard
std::vector<std::string> TvScreenChoices();        // item index = e_tv_screen
std::vector<std::string> AudioFormatChoices();     // item index = e_audio_format

}  // namespace vidoria
