#pragma once
// The DVD build job: per title it decides bitrate, aspect, standard and frame rate and
// runs the title conversion; then it encodes the menu and writes the IFO files. The job
// runs on its own worker thread; the front ends (command line, desktop window) set it
// up with PrepareDvdBuild and follow it through its events.

#include "app/U_LogConsts.h"
#include "engine/U_TitleDecisions.h"
#include "ifo/U_IfoJob.h"
#include "input/U_FileFog.h"
#include "platform/Dispatcher.h"
#include "project/U_VTHelper.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vidoria {

class TVobuCollection;

// Cancel and pause, shared by the main thread and the worker. The worker polls once per
// packet; a pause holds it there, and a cancel releases a pause.
class TJobControl {
 public:
  void RequestCancel();
  bool CancelRequested() const { return cancel_.load(); }
  void SetPaused(bool paused);
  bool Paused() const { return paused_.load(); }
  // Waits while paused; false once a cancel was requested.
  bool Poll();
  void Reset();

 private:
  std::atomic<bool> cancel_{false};
  std::atomic<bool> paused_{false};
  std::mutex mutex_;
  std::condition_variable resumed_;
};

// Everything a title conversion decides before it starts.
struct TTitleDecisions {
  int title_number = 1;  // 1-based: the title set's number
  int width = 720;
  int height = 576;
  bool pal = true;
  bool widescreen = false;
  float display_aspect = 4.0f / 3.0f;
  TVideoRates rates;
  TFrameRateDecision frame_rate;
  int max_b_frames = 2;
  int audio_sample_rate = 48000;
  int mux_packet_size = 2048;
  int64_t mux_rate = 10080000;
  int qmin = 2;
};

// What a finished title reports back.
struct TTitleReport {
  bool ok = false;
  int64_t bytes_written = 0;   // all packs of the title's VOB files
  int64_t audio_packs = 0;     // of which audio packs (2048 bytes each)
  int64_t frames_duplicated = 0;
  int64_t frames_dropped = 0;
  std::vector<std::string> notes;  // further lines for the log (buffer model, subtitles)
  std::shared_ptr<TVobuCollection> vobus;  // kept for the IFO files
};

// Services the job hands a running title.
struct TTitleContext {
  TJobControl& control;
  const TLoggingObject& log;
  std::function<void(int64_t titleBytesRead)> progress;  // after each key picture
  std::function<void(const std::string&)> status;        // the status line
};

// One DVD title: its opened input files and how they are converted.
class IConversionTitle {
 public:
  virtual ~IConversionTitle() = default;
  virtual const TTitleFacts& Facts() const = 0;
  // Prepares the output and converts the title into `output` (nine VOB members, empty).
  // Polls ctx.control once per packet and stops, not ok, after a cancel.
  virtual TTitleReport Convert(const TTitleDecisions& decisions, TFileCluster& output, TTitleContext& ctx) = 0;
  // Closes the input files.
  virtual void Close() = 0;
};

struct TMenuJob {
  std::filesystem::path video_ts;   // output folder
  bool pal = true;
  std::vector<std::string> title_names;
  std::string title;
  std::string background;
  int entries_per_page = 4;
  TFontDesc title_font, items_font;
  TRgb normal_color, selected_color, action_color;
};

struct TMenuResult {
  bool ok = false;
  std::shared_ptr<TVobuCollection> vobus;
  std::vector<int> entries_per_page;  // title entries of each page, in page order
};

class IMenuStage {
 public:
  virtual ~IMenuStage() = default;
  // Renders the pages and encodes VIDEO_TS.VOB into job.video_ts.
  virtual TMenuResult EncodeMenu(const TMenuJob& job, TJobControl& control, const TLoggingObject& log) = 0;
};

class AvConverter : public TLoggingObject {
 public:
  explicit AvConverter(TMainThreadDispatcher& dispatcher);
  ~AvConverter() override;  // cancels a running job and waits for its thread
  AvConverter(const AvConverter&) = delete;
  AvConverter& operator=(const AvConverter&) = delete;

  // ---- set-up (main thread, while idle) ----
  void Reset();
  void AddTitle(std::unique_ptr<IConversionTitle> title);
  size_t TitleCount() const { return titles_.size(); }
  void SetStages(std::unique_ptr<IMenuStage> menu, std::unique_ptr<IIfoStage> ifo);
  void SetVideoStandard(e_video_standard s) { standard_ = s; }
  void SetTvScreen(e_tv_screen s) { screen_ = s; }
  void SetQMin(int qmin) { qmin_ = qmin; }
  void SetTargetSize(int64_t bytes) { targetSize_ = bytes; }
  void SetIncludeOriginals(bool on) { includeOriginals_ = on; }
  bool IncludeOriginals() const { return includeOriginals_; }
  void SetOutputFolder(const std::filesystem::path& videoTs);
  std::filesystem::path OutputFolder() const;
  // The menu, when the disc gets one; a job without it authors titles only.
  void SetMenu(std::optional<TMenuJob> menu) { menu_ = std::move(menu); }
  void SetPlayOptions(bool autoStart, bool loop, bool sequential);

  // ---- size queries ----
  int64_t AudioBytes() const;
  int64_t OriginalsBytes() const;
  int64_t TotalDuration() const;
  // Target size less the audio (and the originals when included); never negative.
  int64_t VideoBudget() const;

  // ---- control (main thread) ----
  // Starts the worker; false while a job runs.
  bool Start();
  void Cancel();
  void SetPaused(bool paused);
  bool Paused() const { return control_.Paused(); }
  // Applies a priority to the worker now (or when it starts). False, with a warning in
  // the log, when the system refused it; Priority() tells the state in force.
  bool SetPriority(TThreadPriority p);
  TThreadPriority Priority() const { return priority_.load(); }
  bool Running() const { return running_.load(); }
  bool Succeeded() const { return succeeded_.load(); }
  // Waits for the worker's end (main thread), draining the dispatcher meanwhile.
  void WaitUntilFinished();

  // Forward FFmpeg's own messages (up to "info") to the log while a job runs.
  void SetEngineLog(bool on);

  // ---- events ----
  // All of them run on the main thread, posted through the dispatcher in the order the
  // worker raised them; set them before Start. The engine's log callback (LogCallback)
  // is called on the worker and must be thread-safe, as TLog's is.
  std::function<void()> OnStarted;
  std::function<void(bool succeeded)> OnFinished;  // once per job, also after a failure
  std::function<void(int title)> OnTitleStarted;   // 1-based; 0 for the menu
  std::function<void(int width, int height, int aspectX, int aspectY, int fps)> OnVideoFormat;
  // Input bytes: of the whole job, of the current title, and done so far.
  std::function<void(int64_t total, int64_t title, int64_t done)> OnProgress;
  std::function<void(const std::string&)> OnStatusText;

  // The body of the job; runs on the worker. Public for tests that drive it directly.
  bool Run();

 private:
  void ThreadMain();
  void ApplyPriority();
  void Finish(bool succeeded);
  // Posts an event to the main thread; it is dropped if the engine is gone by then.
  void Notify(std::function<void()> event) {
    dispatcher_.Post([alive = std::weak_ptr<char>(alive_), e = std::move(event)] {
      if (alive.lock()) e();
    });
  }

  TMainThreadDispatcher& dispatcher_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  std::vector<std::unique_ptr<IConversionTitle>> titles_;
  std::unique_ptr<IMenuStage> menuStage_;
  std::unique_ptr<IIfoStage> ifoStage_;
  std::optional<TMenuJob> menu_;
  bool autoStart_ = true, loop_ = true, sequential_ = true;
  TFileCluster output_;
  e_video_standard standard_ = vs_automatic;
  e_tv_screen screen_ = tvs_automatic;
  int qmin_ = 2;
  int64_t targetSize_ = 4300 * kMiB;
  bool includeOriginals_ = false;

  TJobControl control_;
  std::atomic<bool> running_{false};
  std::atomic<bool> succeeded_{false};
  std::atomic<bool> finished_{true};
  std::atomic<TThreadPriority> priority_{tpNormal};
  std::atomic<int> workerTid_{0};
  std::mutex priorityMutex_;
  std::jthread worker_;
};

}  // namespace vidoria
