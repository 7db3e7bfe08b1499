#include "cli/U_Cli.h"

#include "app/C_Etr.h"
#include "app/C_Logger.h"
#include "app/U_ExtensionFilter.h"
#include "engine/U_BuildSetup.h"
#include "engine/U_DvdMuxSink.h"
#include "engine/U_MenuStage.h"
#include "engine/U_TitleSetup.h"
#include "ifo/U_IfoBuilder.h"
#include "input/U_av_inputs.h"
#include "platform/KeyValueStore.h"
#include "project/U_ProjectFile.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

#ifndef VIDORIA_DATA_DIR
#define VIDORIA_DATA_DIR "/usr/share/vidoria"
#endif

namespace vidoria::cli {
namespace fs = std::filesystem;

namespace {

struct TInputArg {
  fs::path file;
  std::vector<std::pair<fs::path, std::string>> subs;  // file, language
};

struct TOptions {
  std::vector<TInputArg> inputs;
  fs::path output;
  std::string standard, screen, size, chapters, audioLang, menuTitle, background, logLevel = "warning";
  bool noMenu = false;
  int perPage = 0;
  std::optional<int64_t> audioDelayMs;
};

fs::path DataFolder() {
  if (const char* env = std::getenv("VIDORIA_DATA_DIR"); env && *env) return env;
  return VIDORIA_DATA_DIR;
}

// Background names without a folder (the shipped "qor.jpg") are found in the data folder.
std::unique_ptr<IMenuStage> MakeMenuStage() { return std::make_unique<TMenuStage>(DataFolder() / "background"); }

// Severity threshold for what reaches the terminal.
bool Shown(TSeverity s, const std::string& level) {
  if (level == "debug") return true;
  if (level == "info") return s != EVT_DEBUG;
  if (level == "error") return s == EVT_ERROR || s == EVT_CRITICAL;
  return s == EVT_WARNING || s == EVT_ERROR || s == EVT_CRITICAL;
}

// The options that build and save share.
void AddProjectOptions(CLI::App& cmd, TOptions& o) {
  cmd.add_option("--standard", o.standard, "TV standard")->check(CLI::IsMember({"auto", "pal", "ntsc"}));
  cmd.add_option("--screen", o.screen, "Display aspect")->check(CLI::IsMember({"auto", "4:3", "16:9"}));
  cmd.add_option("--size", o.size, "Target size: MB, dvd5 or dvd9");
  cmd.add_flag("--no-menu", o.noMenu, "No menu: the titles play one after the other");
  cmd.add_option("--menu-title", o.menuTitle, "Menu title");
  cmd.add_option("--background", o.background, "Menu background picture");
  cmd.add_option("--per-page", o.perPage, "Title buttons per menu page")->check(CLI::Range(1, 10));
  cmd.add_option("--chapters", o.chapters, "Automatic chapter interval in minutes, or none");
  cmd.add_option("--sub", "Subtitle file for the input file before it, FILE[:LANG]");
  cmd.add_option("--audio-lang", o.audioLang, "Language of the audio tracks (two letters)");
  cmd.add_option("--audio-delay", o.audioDelayMs, "Audio delay in milliseconds");
  cmd.add_option("--log-level", o.logLevel, "Messages shown: error, warning, info, debug")
      ->check(CLI::IsMember({"error", "warning", "info", "debug"}));
}

// Positional files and --sub in command-line order: a subtitle belongs to the file
// before it.
bool CollectInputs(CLI::App& cmd, TOptions& o, std::ostream& err) {
  CLI::Option* files = cmd.get_option("files");
  CLI::Option* sub = cmd.get_option("--sub");
  size_t fileIndex = 0, subIndex = 0;
  const auto fileResults = files->results();
  const auto subResults = sub->results();
  for (CLI::Option* opt : cmd.parse_order()) {
    if (opt == files && fileIndex < fileResults.size()) {
      o.inputs.push_back({fileResults[fileIndex++], {}});
    } else if (opt == sub && subIndex < subResults.size()) {
      std::string v = subResults[subIndex++];
      if (o.inputs.empty()) {
        err << "vidoria-cli: --sub " << v << " comes before any video file\n";
        return false;
      }
      std::string lang;
      size_t colon = v.rfind(':');
      if (colon != std::string::npos && v.size() - colon - 1 <= 3 && !fs::exists(v)) {
        lang = v.substr(colon + 1);
        v = v.substr(0, colon);
      }
      o.inputs.back().subs.emplace_back(v, lang);
    }
  }
  return true;
}

// Applies the command line's choices to this run's settings (they are not saved).
bool ApplySettings(const TOptions& o, TAuteurSettings& s, std::ostream& err) {
  if (o.standard == "pal") s.Set_TvFmt_Video_Standard(vs_forcepal);
  if (o.standard == "ntsc") s.Set_TvFmt_Video_Standard(vs_forcentsc);
  if (o.standard == "auto") s.Set_TvFmt_Video_Standard(vs_automatic);
  if (o.screen == "4:3") s.Set_TvFmt_TV_Screen(tvs_forcefull);
  if (o.screen == "16:9") s.Set_TvFmt_TV_Screen(tvs_forcewide);
  if (o.screen == "auto") s.Set_TvFmt_TV_Screen(tvs_automatic);
  if (!o.size.empty()) {
    if (o.size == "dvd5") s.Set_Enc_target_size(4400);
    else if (o.size == "dvd9") s.Set_Enc_target_size(8100);
    else {
      char* end = nullptr;
      long mb = std::strtol(o.size.c_str(), &end, 10);
      if (!end || *end || mb < 1 || mb > 1000000) {
        err << "vidoria-cli: --size takes a size in MB, dvd5 or dvd9\n";
        return false;
      }
      s.Set_Enc_target_size(static_cast<int32_t>(mb));
    }
  }
  if (o.chapters == "none") {
    s.Set_Chap_AutoInsertChapter(false);
  } else if (!o.chapters.empty()) {
    char* end = nullptr;
    double minutes = std::strtod(o.chapters.c_str(), &end);
    if (!end || *end || !(minutes > 0) || minutes > 1440) {
      err << "vidoria-cli: --chapters takes minutes (above 0) or none\n";
      return false;
    }
    s.Set_Chap_AutoInsertChapter(true);
    s.Set_Chap_dont_insert_in_small_segments(false);
    s.Set_Chap_Duration_Ms(static_cast<int64_t>(std::llround(minutes * 60000)));
  }
  if (!o.audioLang.empty()) s.Set_Aud_default_language(o.audioLang);
  return true;
}

void ApplyMenu(const TOptions& o, TMenuStorage& menu) {
  if (o.noMenu) menu.Set_present(false);
  if (!o.menuTitle.empty()) menu.title = o.menuTitle;
  if (!o.background.empty()) menu.background = o.background;
  if (o.perPage > 0) menu.Set_entries_per_pages(static_cast<uint8_t>(o.perPage));
}

// The log of a command-line run: the usual log file, and the chosen messages on stderr.
struct TRunLog {
  TMainThreadDispatcher dispatcher;
  TLog log;
  std::function<void()> beforePrint;  // clears a progress line
  TRunLog(std::ostream& err, const std::string& level) : log(dispatcher, "vidoria", TLog::DefaultLogFolder(), false) {
    log.LogFileMode = LFM_INCREMENTAL;
    log.LogFileSize = 5000;
    log.OnLogEntryAdded = [&err, level, this](TLog&, TSeverity s, const std::string& text) {
      if (!Shown(s, level)) return;
      if (beforePrint) beforePrint();
      err << (s == EVT_ERROR || s == EVT_CRITICAL ? "error: " : s == EVT_WARNING ? "warning: " : "") << text << "\n";
    };
  }
};

bool BuildProject(const TOptions& o, const TAuteurSettings& settings, TVideo_segments_collection& project,
                  TMenuStorage& menu, const TLoggingObject& log, std::ostream& err) {
  TExtensionFilter video, subtitles;
  FillVideoFilter(video);
  FillSubtitleFilter(subtitles);
  for (const auto& in : o.inputs) {
    if (!video.Matches(in.file.filename().string())) {
      err << "vidoria-cli: \"" << in.file.string() << "\" is not a supported video file (see --help)\n";
      return false;
    }
    TVideoSegmentstorage* seg = MakeSegment(in.file, settings, project, menu, log);
    if (!seg) {
      err << "vidoria-cli: \"" << in.file.string() << "\" can't be read (see the messages above)\n";
      return false;
    }
    for (const auto& [file, lang] : in.subs) {
      if (!subtitles.Matches(file.filename().string()) || !fs::is_regular_file(file)) {
        err << "vidoria-cli: \"" << file.string() << "\" is not a subtitle file (.srt, .sub or .idx)\n";
        return false;
      }
      if (seg->External_Subts.Contains(file.string())) {
        // Found beside the video already: the language given here still counts.
        std::error_code ec;
        for (auto& x : seg->External_Subts)
          if (!lang.empty() && fs::equivalent(x.filename, file, ec)) x.language = lang;
        continue;
      }
      TExternal_Subt& x = seg->External_Subts.Add();
      x.filename = file.string();
      x.language = lang.empty() ? settings.Stt_default_language() : lang;
      x.Font = settings.Stt_Default_Font();
      x.Relative_position = settings.Stt_relative_position();
      if (seg->External_Subts.Count() == 1 && settings.Stt_auto_select_on_dvd())
        seg->External_Subts.SetDefaultSubtitle(0, 0, true);
    }
    for (auto& st : seg->Streams) {
      if (st.stream_type != ST_AUDIO) continue;
      if (!o.audioLang.empty()) st.language = o.audioLang;
      if (o.audioDelayMs) st.delay = *o.audioDelayMs * 1000;
    }
  }
  ApplyMenu(o, menu);
  return true;
}

// The progress line: a bar, the title, the percentage and the time remaining.
class TProgress {
 public:
  TProgress(std::ostream& err, bool terminal) : err_(err), terminal_(terminal) {
    etr_.Max = 65535;
    etr_.PollPeriod = std::chrono::milliseconds(2000);
    etr_.NoEtrDelay = std::chrono::milliseconds(4000);
    etr_.OnPoll = [this] { return position_; };
  }
  void Title(const std::string& t) {
    title_ = t;
    if (!terminal_) err_ << t << "\n";
  }
  void Update(int64_t total, int64_t done) {
    if (!etr_.Started()) etr_.Start();
    position_ = total > 0 ? static_cast<int>(std::clamp<double>(double(done) / double(total), 0, 1) * 65535) : 0;
  }
  void Draw(bool force = false) {
    etr_.Tick();
    const auto now = std::chrono::steady_clock::now();
    const double percent = position_ * 100.0 / 65535;
    std::string remaining = etr_.TimeRemainingText();
    if (terminal_) {
      if (!force && now - lastDraw_ < std::chrono::milliseconds(200)) return;
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(percent / 100 * kWidth);
      std::ostringstream line;
      line << "\r[" << std::string(static_cast<size_t>(filled), '#') << std::string(static_cast<size_t>(kWidth - filled), '.')
           << "] " << std::fixed << std::setprecision(1) << std::setw(5) << percent << "% " << title_;
      if (!remaining.empty()) line << ", " << remaining << " remaining";
      std::string s = line.str();
      if (s.size() < lastWidth_) s += std::string(lastWidth_ - s.size(), ' ');
      lastWidth_ = line.str().size();
      err_ << s << std::flush;
      shown_ = true;
    } else if (force || now - lastDraw_ >= std::chrono::seconds(10)) {
      err_ << std::fixed << std::setprecision(1) << percent << "% " << title_
           << (remaining.empty() ? "" : ", " + remaining + " remaining") << "\n";
    }
    lastDraw_ = now;
  }
  void Clear() {
    if (terminal_ && shown_) err_ << "\r" << std::string(lastWidth_, ' ') << "\r" << std::flush;
    shown_ = false;
  }
  void Stop() { etr_.Stop(); }

 private:
  std::ostream& err_;
  bool terminal_;
  TEtr etr_;
  int position_ = 0;
  std::string title_;
  std::chrono::steady_clock::time_point lastDraw_{};
  size_t lastWidth_ = 0;
  bool shown_ = false;
};

// The stored settings with this run's options on top (never saved back).
bool LoadRunSettings(const TOptions& o, TRunLog& run, TKeyValueStore& store, TAuteurSettings& settings,
                     std::ostream& err) {
  settings.LogCallback = run.log.Callback();
  settings.LoadSettings(store);
  return ApplySettings(o, settings, err);
}

int Build(const TOptions& o, std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted) {
  TRunLog run(err, o.logLevel);
  TKeyValueStore store;
  TAuteurSettings settings(DataFolder());
  if (!LoadRunSettings(o, run, store, settings, err)) return kExitUsage;
  if (!o.output.empty()) settings.Set_Gen_Workingfolder(fs::absolute(o.output).string());

  TVideo_segments_collection project;
  TMenuStorage menu;
  TLoggingObject log;
  log.LogCallback = run.log.Callback();
  if (o.inputs.size() == 1 && o.inputs[0].file.extension() == ".vidproj") {
    TProjectLoadResult loaded = LoadProject(o.inputs[0].file, project, menu, log);
    run.dispatcher.Drain();
    if (!loaded.loaded) {
      err << "vidoria-cli: " << loaded.error << "\n";
      return kExitUsage;
    }
    ApplyMenu(o, menu);
  } else if (!BuildProject(o, settings, project, menu, log, err)) {
    return kExitUsage;
  }

  AvConverter engine(run.dispatcher);
  engine.LogCallback = run.log.Callback();
  engine.SetStages(MakeMenuStage(), MakeIfoStage());
  TBuildSetup setup = PrepareDvdBuild(engine, settings, project, menu, MakeTitleOpener(DvdMuxSinkFactory(engine)), {},
                                      &store);
  run.dispatcher.Drain();
  if (setup.result != TSetupResult::Ready) {
    if (!setup.message.empty()) err << "vidoria-cli: " << setup.message << "\n";
    return setup.result == TSetupResult::NotEnoughSpace ? kExitFailed : kExitUsage;
  }

  TProgress progress(err, ::isatty(STDERR_FILENO) == 1);
  run.beforePrint = [&progress] { progress.Clear(); };
  bool finished = false;
  engine.OnTitleStarted = [&](int n) {
    if (n == 0) progress.Title("menu");
    else if (static_cast<size_t>(n) <= project.Count()) progress.Title("title " + std::to_string(n) + " of " +
                                                                       std::to_string(project.Count()) + " \"" +
                                                                       project[static_cast<size_t>(n) - 1].friendly_name + "\"");
  };
  engine.OnProgress = [&](int64_t total, int64_t, int64_t done) { progress.Update(total, done); };
  engine.OnFinished = [&](bool) { finished = true; };
  if (!engine.Start()) return kExitFailed;
  bool cancelled = false;
  while (!finished) {
    run.dispatcher.WaitAndDrain(std::chrono::milliseconds(100));
    if (interrupted.load() && !cancelled) {
      cancelled = true;
      progress.Clear();
      run.log.Warning("User cancellation requested");
      engine.Cancel();
    }
    if (!finished) progress.Draw();
  }
  engine.WaitUntilFinished();
  progress.Stop();
  progress.Clear();
  // A Ctrl-C that arrives while the last IFO is written stops nothing: the folder is
  // complete, and saying "cancelled" would make a script throw a good DVD away.
  const bool ok = engine.Succeeded();
  if (ok && cancelled) run.log.Warning("The DVD was already complete when the cancellation arrived");
  store.WriteString(TAuteurSettings::kRootKey, "Completion_Status", ok ? "ok" : "failed");
  store.Save();
  if (ok) {
    run.log.InfoFmt("DVD folder \"%s\" is complete", setup.dvd_folder.string());
    out << setup.dvd_folder.string() << "\n";
    return kExitOk;
  }
  err << (cancelled ? "vidoria-cli: cancelled\n" : "vidoria-cli: the DVD could not be built (see the messages above)\n");
  return cancelled ? kExitCancelled : kExitFailed;
}

int Save(const TOptions& o, std::ostream& out, std::ostream& err) {
  TRunLog run(err, o.logLevel);
  TKeyValueStore store;
  TAuteurSettings settings(DataFolder());
  if (!LoadRunSettings(o, run, store, settings, err)) return kExitUsage;
  TVideo_segments_collection project;
  TMenuStorage menu;
  TLoggingObject log;
  log.LogCallback = run.log.Callback();
  if (!BuildProject(o, settings, project, menu, log, err)) return kExitUsage;
  if (!SaveProject(o.output, project, menu, log)) return kExitFailed;
  fs::path saved = o.output;
  out << saved.replace_extension(".vidproj").string() << "\n";
  return kExitOk;
}

int Probe(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
  TRunLog run(err, "warning");
  int status = kExitOk;
  for (const auto& name : files) {
    TAv_input_file in;
    in.LogCallback = run.log.Callback();
    in.Cluster.LoadSpannedSet(name);
    if (in.Cluster.Count() == 0 || !in.Open()) {
      run.dispatcher.Drain();
      err << "vidoria-cli: \"" << name << "\" can't be read\n";
      status = kExitUsage;
      continue;
    }
    const TInputFacts& f = in.Facts();
    out << name << ": " << in.FormatName() << ", duration " << FormatHms(in.Duration()) << "\n";
    for (int i = 0; i < in.StreamCount(); ++i) {
      AVStream* st = in.Stream(i);
      if (!st) continue;
      const AVCodecParameters* p = st->codecpar;
      out << "  #" << i << " " << (av_get_media_type_string(p->codec_type) ? av_get_media_type_string(p->codec_type) : "unknown")
          << " " << avcodec_get_name(p->codec_id);
      if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
        out << " " << p->width << "x" << p->height;
        if (i == f.MainVideoStream)
          out << " " << std::fixed << std::setprecision(3) << av_q2d(f.FrameRate) << " fps, aspect " << std::setprecision(2)
              << f.DisplayAspect;
      } else if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
        out << " " << p->sample_rate << " Hz, " << p->ch_layout.nb_channels << " ch";
        if (p->bit_rate > 0) out << ", " << p->bit_rate / 1000 << " kb/s";
      }
      if (const AVDictionaryEntry* lang = av_dict_get(st->metadata, "language", nullptr, 0)) out << ", language " << lang->value;
      out << "\n";
    }
    run.dispatcher.Drain();
  }
  return status;
}

std::string TypesText() {
  TExtensionFilter video, subs;
  FillVideoFilter(video);
  FillSubtitleFilter(subs);
  std::string v, s;
  for (const auto& e : video.Entries()) v += (v.empty() ? "" : " ") + e->extension;
  for (const auto& e : subs.Entries()) s += (s.empty() ? "" : " ") + e->extension;
  return "Video files: " + v + "\nSubtitle files: " + s;
}

}  // namespace

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted) {
  CLI::App app("Vidoria: video files to a DVD-Video folder", "vidoria-cli");
  app.footer(TypesText());
  app.require_subcommand(1, 1);
  TOptions o;
  std::vector<std::string> files;

  CLI::App* build = app.add_subcommand("build", "Build a DVD folder: one title per file, or a saved project");
  build->add_option("files", files, "Video files, or one .vidproj project")->required();
  build->add_option("-o,--output", o.output, "Working folder; the DVD folder is made inside it");
  AddProjectOptions(*build, o);

  CLI::App* save = app.add_subcommand("save", "Write a project file from the same arguments");
  save->add_option("files", files, "Video files")->required();
  save->add_option("-o,--output", o.output, "Project file to write")->required();
  AddProjectOptions(*save, o);

  std::vector<std::string> probeFiles;
  CLI::App* probe = app.add_subcommand("probe", "Show the streams of video files");
  probe->add_option("files", probeFiles, "Video files")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream msg, help;
    int code = app.exit(e, help, msg);
    out << help.str();
    err << msg.str();
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (probe->parsed()) return Probe(probeFiles, out, err);
  CLI::App* cmd = build->parsed() ? build : save;
  if (!CollectInputs(*cmd, o, err)) return kExitUsage;
  return build->parsed() ? Build(o, out, err, interrupted) : Save(o, out, err);
}

}  // namespace vidoria::cli
