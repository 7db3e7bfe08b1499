#include "engine/U_av_convert_50.h"

#include "menus/U_Menu_50.h"
#include "platform/MessageFormat.h"

extern "C" {
#include <libavutil/log.h>
}

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vidoria {
namespace fs = std::filesystem;

// ---- TJobControl ------------------------------------------------------------------

void TJobControl::RequestCancel() {
  {
    std::lock_guard lock(mutex_);
    cancel_ = true;
    paused_ = false;
  }
  resumed_.notify_all();
}

void TJobControl::SetPaused(bool paused) {
  {
    std::lock_guard lock(mutex_);
    paused_ = paused && !cancel_;
  }
  resumed_.notify_all();
}

bool TJobControl::Poll() {
  if (paused_.load()) {
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return !paused_.load() || cancel_.load(); });
  }
  return !cancel_.load();
}

void TJobControl::Reset() {
  std::lock_guard lock(mutex_);
  cancel_ = false;
  paused_ = false;
}

// ---- FFmpeg's messages --------------------------------------------------------------
// FFmpeg has one process-wide log callback; it reaches the engine that asked for it.

namespace {
std::mutex gEngineLogMutex;
AvConverter* gEngineLogTarget = nullptr;
std::atomic<bool> gEngineLogRunning{false};

void EngineLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > AV_LOG_INFO) return;
  // A private buffer and prefix state per call: the library's own static ones are not
  // safe with several threads logging.
  char line[2048];
  thread_local int printPrefix = 1;
  va_list copy;
  va_copy(copy, vl);
  av_log_format_line2(avcl, level, fmt, copy, line, sizeof line, &printPrefix);
  va_end(copy);
  std::string text(line);
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }), text.end());
  if (text.empty()) return;
  std::lock_guard lock(gEngineLogMutex);
  if (gEngineLogTarget && gEngineLogTarget->Running())
    gEngineLogTarget->LogFmt(EVT_INFO, "ENGINE: %s", text);  // the library's text is an argument, never a format
}
}  // namespace

void AvConverter::SetEngineLog(bool on) {
  std::lock_guard lock(gEngineLogMutex);
  if (on) {
    gEngineLogTarget = this;
    av_log_set_callback(EngineLogCallback);
  } else if (gEngineLogTarget == this) {
    gEngineLogTarget = nullptr;
    av_log_set_callback(av_log_default_callback);
  }
}

// ---- AvConverter ------------------------------------------------------------------

AvConverter::AvConverter(TMainThreadDispatcher& dispatcher) : dispatcher_(dispatcher) { Reset(); }

AvConverter::~AvConverter() {
  SetEngineLog(false);
  control_.RequestCancel();
  if (worker_.joinable()) worker_.join();  // the worker never waits on the main thread
}

void AvConverter::Reset() {
  titles_.clear();
  menu_.reset();
  autoStart_ = loop_ = sequential_ = true;
  standard_ = vs_automatic;
  screen_ = tvs_automatic;
  qmin_ = 2;
  targetSize_ = 4300 * kMiB;
  includeOriginals_ = false;
  output_ = TFileCluster();
  succeeded_ = false;
}

void AvConverter::AddTitle(std::unique_ptr<IConversionTitle> title) { titles_.push_back(std::move(title)); }

void AvConverter::SetStages(std::unique_ptr<IMenuStage> menu, std::unique_ptr<IIfoStage> ifo) {
  menuStage_ = std::move(menu);
  ifoStage_ = std::move(ifo);
}

void AvConverter::SetOutputFolder(const fs::path& videoTs) { output_.SetPath(videoTs.string()); }

fs::path AvConverter::OutputFolder() const { return output_.Path(); }

void AvConverter::SetPlayOptions(bool autoStart, bool loop, bool sequential) {
  autoStart_ = autoStart;
  loop_ = loop;
  sequential_ = sequential;
}

int64_t AvConverter::AudioBytes() const {
  int64_t sum = 0;
  for (const auto& t : titles_) sum += t->Facts().audio_bytes;
  return sum;
}

int64_t AvConverter::OriginalsBytes() const {
  int64_t sum = 0;
  for (const auto& t : titles_) sum += t->Facts().input_bytes;
  return sum;
}

int64_t AvConverter::TotalDuration() const {
  int64_t sum = 0;
  for (const auto& t : titles_) sum += t->Facts().duration_us;
  return sum;
}

int64_t AvConverter::VideoBudget() const {
  int64_t b = targetSize_ - AudioBytes() - (includeOriginals_ ? OriginalsBytes() : 0);
  return std::max<int64_t>(b, 0);
}

bool AvConverter::Start() {
  if (running_.load() || !finished_.load()) return false;
  if (worker_.joinable()) worker_.join();  // the previous job has already ended
  control_.Reset();
  succeeded_ = false;
  finished_ = false;
  running_ = true;
  worker_ = std::jthread([this] { ThreadMain(); });
  return true;
}

void AvConverter::Cancel() { control_.RequestCancel(); }

void AvConverter::SetPaused(bool paused) { control_.SetPaused(paused); }

void AvConverter::WaitUntilFinished() {
  while (!finished_.load()) dispatcher_.WaitAndDrain(std::chrono::milliseconds(5));
  dispatcher_.Drain();
}

bool AvConverter::SetPriority(TThreadPriority p) {
  priority_ = p;
  if (workerTid_.load() == 0) return true;  // applied when the worker starts
  ApplyPriority();
  return priority_.load() == p;
}

// Linux has no per-thread priority classes for ordinary threads: "Idle" is SCHED_IDLE,
// the others are nice values of the worker thread alone. Raising above normal usually
// needs privileges; when refused the thread stays where it was and the log says so.
void AvConverter::ApplyPriority() {
  std::lock_guard lock(priorityMutex_);
  int tid = workerTid_.load();
  if (tid == 0) return;
  TThreadPriority wanted = priority_.load();
  static const int kNice[] = {19, 19, 10, 0, -5, -10, -20};
  sched_param param{};
  int policy = wanted == tpIdle ? SCHED_IDLE : SCHED_OTHER;
  bool ok = sched_setscheduler(tid, policy, &param) == 0 || (policy == SCHED_OTHER && errno == EPERM);
  ok = ok && setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[wanted]) == 0;
  if (!ok) {
    int err = errno;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    LogFmt(EVT_WARNING, "The system refused the conversion priority (%s); the conversion runs at nice %d",
           std::string(std::strerror(err)), nice);
    int actual = 3;
    for (int i = 0; i < 7; ++i)
      if (kNice[i] == nice && i != 0) {
        actual = i;
        break;
      }
    priority_ = static_cast<TThreadPriority>(actual);
  }
}

void AvConverter::Finish(bool succeeded) {
  succeeded_ = succeeded;
  running_ = false;
  Notify([this, succeeded] {
    finished_ = true;
    if (OnFinished) OnFinished(succeeded);
  });
}

void AvConverter::ThreadMain() {
  workerTid_ = static_cast<int>(::syscall(SYS_gettid));
  if (priority_.load() != tpNormal) ApplyPriority();
  Notify([this] {
    if (OnStarted) OnStarted();
  });
  bool ok = false;
  try {
    ok = Run();
  } catch (const std::exception& e) {
    LogFmt(EVT_ERROR, "Exception raised in conversion Thread with message \"%s\"", std::string(e.what()));
    ok = false;
  } catch (...) {
    LogFmt(EVT_ERROR, "Exception raised in conversion Thread with message \"%s\"", std::string("unknown exception"));
    ok = false;
  }
  {
    std::lock_guard lock(priorityMutex_);
    workerTid_ = 0;
  }
  Finish(ok);
}

bool AvConverter::Run() {
  if (titles_.empty()) {
    Log(EVT_ERROR, "There is no title to convert.");
    return false;
  }
  // A menu whose program chains would not fit is refused before hours of encoding.
  if (menu_) {
    const TMenuPgcLayout layout =
        TDVD_Menu_collection::LayoutFor(static_cast<int>(titles_.size()), menu_->entries_per_page);
    if (!layout.Fits()) {
      TDVD_Menu_collection::LogTooLarge(*this, layout);
      return false;
    }
  }
  const int64_t total = OriginalsBytes();
  int64_t done = 0;
  int64_t remainingDuration = TotalDuration();
  int64_t remainingBudget = VideoBudget();

  // One standard for the whole disc, decided before the first title.
  std::optional<int> subIdxHeight;
  for (const auto& t : titles_)
    if (t->Facts().subidx_height) {
      subIdxHeight = t->Facts().subidx_height;
      break;
    }
  const TStandardDecision standard = DecideStandard(standard_, subIdxHeight, titles_.front()->Facts().estimated_fps);
  Log(EVT_INFO, standard.message);

  TVideoRates rates;
  std::vector<std::shared_ptr<TVobuCollection>> kept;
  std::vector<std::string> keptNames;
  for (size_t i = 0; i < titles_.size(); ++i) {
    IConversionTitle& title = *titles_[i];
    const TTitleFacts& facts = title.Facts();
    if (control_.CancelRequested()) {
      Log(EVT_WARNING, "Conversion cancelled");
      return false;
    }
    int64_t average = AverageVideoRate(remainingBudget, remainingDuration, facts.duration_us);
    auto titleRates = TitleVideoRates(average, facts.audio_bitrate, rates);
    if (!titleRates) {
      LogFmt(EVT_ERROR, "The audio tracks of \"%s\" (%d bits/s) leave no room for its video. Remove some audio tracks.",
             facts.name, facts.audio_bitrate);
      return false;
    }
    rates = *titleRates;

    Notify([this, n = static_cast<int>(i) + 1] {
      if (OnTitleStarted) OnTitleStarted(n);
    });
    TTitleDecisions d;
    d.title_number = static_cast<int>(i) + 1;
    d.rates = rates;
    d.qmin = qmin_;
    const TAspectDecision aspect = DecideAspect(screen_, facts.display_aspect);
    Log(EVT_INFO, aspect.message);
    d.widescreen = aspect.widescreen;
    d.display_aspect = aspect.widescreen ? 16.0f / 9.0f : 4.0f / 3.0f;
    d.pal = standard.pal;
    d.height = d.pal ? 576 : 480;
    double sourceFps = facts.frame_rate_den != 0 ? double(facts.frame_rate_num) / facts.frame_rate_den : 0.0;
    LogFmt(EVT_INFO, "Video source original frame rate: %.2f", sourceFps);
    d.frame_rate = DecideFrameRate(d.pal, facts.frame_rate_num, facts.frame_rate_den);
    if (d.frame_rate.too_low)
      Log(EVT_WARNING, "Source frame rate is too low to allow pulldown conversion.Frame duplication will be used.");

    output_.PrepareVobOutput(d.title_number, false);
    if (!output_.DeleteFiles()) {
      LogFmt(EVT_ERROR, "The old files of title %d in \"%s\" can't be deleted", d.title_number, output_.Path());
      return false;
    }
    Notify([this, d] {
      if (OnVideoFormat) OnVideoFormat(d.width, d.height, d.widescreen ? 16 : 4, d.widescreen ? 9 : 3, d.pal ? 25 : 30);
    });

    TTitleContext ctx{control_, *this,
                      [&, titleInput = facts.input_bytes](int64_t titleBytes) {
                        Notify([this, total, titleInput, now = done + titleBytes] {
                          if (OnProgress) OnProgress(total, titleInput, now);
                        });
                      },
                      [&](const std::string& text) {
                        Notify([this, text] {
                          if (OnStatusText) OnStatusText(text);
                        });
                      }};
    TTitleReport report = title.Convert(d, output_, ctx);
    title.Close();
    if (control_.CancelRequested()) {
      Log(EVT_WARNING, "Conversion cancelled");
      return false;
    }
    if (!report.ok) {
      LogFmt(EVT_ERROR, "The conversion of \"%s\" failed", facts.name);
      return false;
    }
    if (report.frames_duplicated > 0) LogFmt(EVT_WARNING, "%d frames duplicated", report.frames_duplicated);
    if (report.frames_dropped > 0) LogFmt(EVT_WARNING, "%d frames dropped", report.frames_dropped);
    for (const auto& note : report.notes) Log(EVT_INFO, note);
    kept.push_back(report.vobus);
    keptNames.push_back(facts.name);

    done += facts.input_bytes;
    remainingBudget -= report.bytes_written - 2048 * report.audio_packs;
    remainingDuration = std::max<int64_t>(remainingDuration - facts.duration_us, 0);
    if (remainingBudget < 0 && i + 1 < titles_.size()) {
      LogFmt(EVT_WARNING, "The target size is used up: %d of %d titles are on the DVD", static_cast<int>(kept.size()),
             static_cast<int>(titles_.size()));
      break;
    }
  }

  TIfoJob ifo;
  ifo.video_ts = output_.Path();
  ifo.auto_start = autoStart_;
  ifo.loop_playback = loop_;
  ifo.sequential_playback = sequential_;
  ifo.titles = kept;
  if (menu_) {
    Notify([this] {
      if (OnTitleStarted) OnTitleStarted(0);
    });
    if (!menuStage_) {
      Log(EVT_ERROR, "No menu encoder is available");
      return false;
    }
    TMenuJob job = *menu_;
    job.video_ts = output_.Path();
    job.pal = standard.pal;
    job.title_names = keptNames;  // only titles that made it onto the disc get buttons
    TMenuResult menu = menuStage_->EncodeMenu(job, control_, *this);
    if (!menu.ok || control_.CancelRequested()) {
      Log(EVT_ERROR, "The menu could not be encoded");
      return false;
    }
    ifo.with_menu = true;
    ifo.menu = menu.vobus;
    ifo.entries_per_page = menu.entries_per_page;
  }
  if (!ifoStage_) {
    Log(EVT_ERROR, "No IFO writer is available");
    return false;
  }
  if (!ifoStage_->WriteIfos(ifo, *this)) {
    Log(EVT_ERROR, "The IFO files could not be written");
    return false;
  }
  return true;
}

}  // namespace vidoria
