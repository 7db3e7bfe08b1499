#include "engine/U_BuildSetup.h"

#include <sys/statvfs.h>

namespace vidoria {
namespace fs = std::filesystem;

std::string DvdFolderName(const TVideoSegmentstorage& firstSegment) {
  if (firstSegment.FileSet.Empty() || firstSegment.FileSet[0].Cluster.Count() == 0) return {};
  std::string name = firstSegment.FileSet[0].Cluster.Item(0).FileName.stem().string();
  size_t b = name.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  name = name.substr(b, name.find_last_not_of(" \t") - b + 1);
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

int64_t FreeBytes(const fs::path& folder) {
  fs::path p = folder;
  std::error_code ec;
  while (!p.empty() && !fs::exists(p, ec)) {
    if (p == p.parent_path()) break;
    p = p.parent_path();
  }
  if (p.empty()) p = ".";
  struct statvfs st{};
  if (::statvfs(p.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

namespace {

// Erases only what a build writes, so a DVD folder that is something else by mistake
// (the working folder itself, a user's folder of the same name) keeps its other files.
bool ClearDvdFolder(const fs::path& dvd, const TLoggingObject& log) {
  std::error_code ec;
  for (const char* sub : {"VIDEO_TS", "AUDIO_TS", "ORIGINAL"}) {
    fs::remove_all(dvd / sub, ec);
    if (ec) {
      log.LogFmt(EVT_ERROR, "\"%s\" can't be erased: %s", (dvd / sub).string(), ec.message());
      return false;
    }
  }
  if (fs::is_empty(dvd, ec)) fs::remove(dvd, ec);
  return true;
}

TBuildSetup Fail(TSetupResult r, std::string message, const TLoggingObject& log) {
  log.Log(EVT_ERROR, message);
  TBuildSetup s;
  s.result = r;
  s.message = std::move(message);
  return s;
}

}  // namespace

TBuildSetup PrepareDvdBuild(AvConverter& engine, const TAuteurSettings& settings, TVideo_segments_collection& project,
                            const TMenuStorage& menu, const TTitleOpener& opener, const TBuildQuestions& questions,
                            TKeyValueStore* status) {
  const TLoggingObject& log = engine;
  engine.Reset();
  if (project.Empty()) return Fail(TSetupResult::PreparationFailed, "There is no title to convert.", log);

  const fs::path working = settings.Gen_Workingfolder();
  const int64_t needed = int64_t{settings.Enc_target_size()} * kMiB;
  const int64_t available = FreeBytes(working);
  if (available >= 0 && available < needed && !questions.ConfirmLowSpace(available, needed)) {
    return Fail(TSetupResult::NotEnoughSpace,
                FormatMessage(TTextStorage::Lookup("There is not enough free space left on your drive %s"),
                              "There is not enough free space left on your drive %s", working.string()) +
                    "\n" +
                    FormatMessage(TTextStorage::Lookup("Make sure this drive has at least %s Free."),
                                  "Make sure this drive has at least %s Free.", SizeText(needed)),
                log);
  }

  engine.SetVideoStandard(settings.TvFmt_Video_Standard());
  engine.SetTvScreen(settings.TvFmt_TV_Screen());
  log.Log(EVT_INFO, "--------------Default burn settings begin--------------");
  auto check = [&](const char* text, bool on) {
    log.LogFmt(EVT_INFO, "%s%s", std::string(on ? "[X] " : "[ ] "), TTextStorage::Lookup(text));
  };
  check("Burn result to DVD", settings.Burn_On_Dvd());
  check("Include originals", settings.Burn_AddOriginalFilesToDvd());
  check("Prefer SAO for DVD-R", settings.Burn_Prefer_SAO_Mode());
  check("Don't eject after burn complete", settings.Burn_Dont_Eject_At_Completion());
  check("Delete files after burn complete", settings.Burn_delete_files());
  if (settings.Burn_Writer().empty()) log.Log(EVT_INFO, "No default writer set");
  else log.LogFmt(EVT_INFO, "Default speed selected: %s", settings.Burn_Speed());
  log.Log(EVT_INFO, "--------------Default burn settings end--------------");

  log.Log(EVT_INFO, "--------------Menu settings begin--------------");
  check("Menu", menu.present());
  if (menu.present()) {
    check("Auto start", menu.auto_play);
    check("Loop playback", menu.loop_playback);
    check("Sequential playback", menu.sequential_play);
    engine.SetPlayOptions(menu.auto_play, menu.loop_playback, menu.sequential_play);
    TMenuJob job;
    job.title = menu.title;
    job.background = menu.background;
    job.entries_per_page = menu.entries_per_pages();
    job.title_font = menu.Title_Font;
    job.items_font = menu.Items_Font;
    job.normal_color = menu.buttons_normal_color;
    job.selected_color = menu.buttons_selected_color;
    job.action_color = menu.buttons_action_color;
    engine.SetMenu(job);
  } else {
    // Without a menu every title plays in turn; looping follows the project's choice.
    engine.SetPlayOptions(false, menu.loop_playback, true);
  }
  log.Log(EVT_INFO, "--------------Menu settings end--------------");

  log.Log(EVT_INFO, "--------------Encoding begin--------------");
  engine.SetQMin(settings.Enc_video_qmin());
  engine.SetEngineLog(settings.enc_Log_Engine_Messages());
  log.LogFmt(EVT_INFO, "Encoder quality: %d%%", 100 / std::max(settings.Enc_video_qmin(), 1));
  check("Engine Log", settings.enc_Log_Engine_Messages());
  check("Don't fix audio gaps", settings.Aud_no_fix_gaps());

  TBuildSetup setup;
  const std::string name = DvdFolderName(project[0]);
  if (name.empty()) {
    return Fail(TSetupResult::InvalidName,
                "The first file's name gives no name for the DVD folder. Rename the file and try again.", log);
  }
  setup.dvd_folder = working / name;
  setup.video_ts = setup.dvd_folder / "VIDEO_TS";
  std::error_code ec;
  if (fs::exists(setup.dvd_folder, ec) && !fs::is_empty(setup.dvd_folder, ec)) {
    if (!questions.ConfirmOverwrite(setup.dvd_folder)) {
      engine.Reset();
      TBuildSetup declined;
      declined.result = TSetupResult::Declined;
      return declined;
    }
    if (!ClearDvdFolder(setup.dvd_folder, log))
      return Fail(TSetupResult::PreparationFailed, "The DVD folder can't be prepared.", log);
  }
  fs::create_directories(setup.video_ts, ec);
  fs::create_directories(setup.dvd_folder / "AUDIO_TS", ec);
  if (ec) {
    return Fail(TSetupResult::PreparationFailed,
                FormatMessage(TTextStorage::Lookup("The folder \"%s\" can't be created: %s"),
                              "The folder \"%s\" can't be created: %s", setup.dvd_folder.string(), ec.message()),
                log);
  }
  engine.SetOutputFolder(setup.video_ts);
  if (status) {
    status->WriteString(TAuteurSettings::kRootKey, "Dvd_Folder", setup.dvd_folder.string());
    status->Save();
  }

  int maxChapters = 0;
  for (auto& segment : project) {
    log.LogFmt(EVT_INFO, "Preparing \"%s\" for conversion ... ", segment.friendly_name);
    auto title = opener(segment, log);
    if (!title) {
      std::string file = segment.FileSet.Empty() || segment.FileSet[0].Cluster.Count() == 0
                             ? segment.friendly_name
                             : segment.FileSet[0].Cluster.Item(0).FileName.string();
      log.LogFmt(EVT_ERROR, "File \"%s\" preparation failed. Can't continue", file);
      engine.Reset();
      return Fail(TSetupResult::PreparationFailed, "At least one file can't be converted. See the log for more details.",
                  log);
    }
    maxChapters = std::max(maxChapters, title->Facts().chapter_count);
    engine.AddTitle(std::move(title));
  }

  engine.SetTargetSize(needed);
  engine.SetIncludeOriginals(settings.Burn_AddOriginalFilesToDvd());
  if (engine.IncludeOriginals() && engine.VideoBudget() < 1073741824) {
    log.LogFmt(EVT_WARNING, "Original files are too big (%s) to fit on the media.", SizeText(engine.OriginalsBytes()));
    engine.SetIncludeOriginals(false);
  }
  if (engine.IncludeOriginals())
    log.LogFmt(EVT_INFO, "Project size %s (%s audio - %s video - %s originals)", SizeText(needed),
               SizeText(engine.AudioBytes()), SizeText(engine.VideoBudget()), SizeText(engine.OriginalsBytes()));
  else
    log.LogFmt(EVT_INFO, "Project size %s (%s audio - %s video)", SizeText(needed), SizeText(engine.AudioBytes()),
               SizeText(engine.VideoBudget()));

  const int titles = static_cast<int>(engine.TitleCount());
  const int perPage = std::max<int>(menu.entries_per_pages(), 1);
  const int pages = (titles + perPage - 1) / perPage;
  std::string limits = CheckAuthoringLimits(titles, pages, maxChapters, menu.present());
  if (!limits.empty()) {
    engine.Reset();
    return Fail(TSetupResult::BeyondLimits, limits, log);
  }
  engine.SetPriority(settings.Enc_Conversion_priority());
  return setup;
}

}  // namespace vidoria
