#pragma once
// The program's log: entries with severities from any thread, kept on the thread that
// created the log, written to a log file at the end of the run and mirrored into a
// crash copy while the program runs.

#include "app/U_LogConsts.h"
#include "platform/Dispatcher.h"

#include <array>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vidoria {

// Orders of BuildLines.
enum TLogSortOrder : uint8_t {
  LSO_NEWEST_FIRST = 0,
  LSO_OLDEST_FIRST = 1,
  LSO_SEVERITY_ASCENDING = 2,
  LSO_SEVERITY_DESCENDING = 3,
  LSO_TEXT = 4,
};

// Process-wide words of the text form; a language switch replaces them.
struct TLogTexts {
  std::string Misc = "misc", Info = "info", Warning = "warning", Error = "error", Critical = "critical";
  std::string SessionStarted = "******************** Report session started ********************";
  std::string SessionClosed = "******************** Report session closed *********************";
};
TLogTexts LogTexts();
void SetLogTexts(const TLogTexts& texts);
std::string SeverityName(TSeverity severity);

// "YYYY-MM-DD hh:mm:ss<TAB>severity<TAB>text", local time.
std::string EntryText(const TLoggedEvent& e);

class TLog {
 public:
  using AddEvent = std::function<void(TLog& log, TSeverity severity, const std::string& text)>;
  using NotifyEvent = std::function<void(TLog& log)>;

  // The creating thread must own `dispatcher`. `programName` names the log files
  // ("vidoria" -> vidoria.log, vidoria_crash.log) inside `logFolder`.
  explicit TLog(TMainThreadDispatcher& dispatcher, std::string programName = "vidoria",
                std::filesystem::path logFolder = DefaultLogFolder(), bool crashLog = true);
  ~TLog();
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // $XDG_STATE_HOME/Vidoria
  static std::filesystem::path DefaultLogFolder();

  void Info(std::string_view text) { AddEntry(nullptr, EVT_INFO, TTextStorage::Lookup(text)); }
  void Warning(std::string_view text) { AddEntry(nullptr, EVT_WARNING, TTextStorage::Lookup(text)); }
  void Error(std::string_view text) { AddEntry(nullptr, EVT_ERROR, TTextStorage::Lookup(text)); }
  template <typename... A> void InfoFmt(std::string_view f, const A&... a) { Fmt(EVT_INFO, f, a...); }
  template <typename... A> void WarningFmt(std::string_view f, const A&... a) { Fmt(EVT_WARNING, f, a...); }
  template <typename... A> void ErrorFmt(std::string_view f, const A&... a) { Fmt(EVT_ERROR, f, a...); }
  // "[X] text" or "[ ] text", used to list settings at the start of a build.
  void Check(std::string_view text, bool flag);

  // The generic entry; callable from any thread. From another thread the entry reaches
  // the log when the owner thread next drains its dispatcher.
  void AddEntry(const void* sender, TSeverity severity, std::string text);
  // A callback for TLoggingObject::LogCallback that feeds this log.
  TLogCallback Callback();

  // OS, program path, version and languages.
  void ReportSystem();
  void LogException(const std::exception& e);
  void LogException(std::exception_ptr e);

  // Writes the log file in the current mode. Nothing happens for an empty name or an
  // empty log. Returns false when nothing could be written.
  bool Save(const std::filesystem::path& fileName);
  // Places the text forms of the entries whose severity is in `filter`, sorted by
  // `order`, in front of `lines`; with `limit` > 0 the list is then cut from the end to
  // max(limit, Count()) lines. Returns the number placed.
  int BuildLines(std::vector<std::string>& lines, TSeveritySet filter, int limit, TLogSortOrder order) const;

  // 0 is the newest entry.
  size_t Count() const { return entries_.size(); }
  const TLoggedEvent& Entry(size_t index) const { return entries_[entries_.size() - 1 - index]; }

  // Runs the entries queued by other threads now; the owner thread only.
  void FlushPending();

  const std::string& LastLogEntry() const { return lastEntry_; }
  TSeverity LastLogSeverity() const { return lastSeverity_; }
  const std::filesystem::path& LastWrittenFile() const { return lastWritten_; }
  const std::filesystem::path& LogFolder() const { return folder_; }
  std::filesystem::path CrashLogFile() const;
  const std::string& OsDescription() const { return osDescription_; }
  bool Occurred(TSeverity s) const { return s <= EVT_CRITICAL && occurred_[s]; }

  bool CrashLog() const { return crashLog_; }
  // Switching the crash copy off removes the copy this log wrote so far.
  void SetCrashLog(bool on);

  std::filesystem::path LogFileName;
  TLogFileMode LogFileMode = LFM_NORMAL;
  int32_t LogFileSize = 0;  // line limit of the written file; 0 = none
  TSeveritySet LogFileFilter = kAllSeverities;
  bool Autosave = true;
  int InstanceNumber() const { return instance_; }
  // Instances 1 and up keep a crash copy of their own; a copy already begun moves along.
  void SetInstanceNumber(int n);

  AddEvent OnLogEntryAdded;
  NotifyEvent OnCloseWithInfo, OnCloseWithWarning, OnCloseWithError, OnCloseWithCritical;

 private:
  struct Pending;
  template <typename... A> void Fmt(TSeverity s, std::string_view f, const A&... a) {
    AddEntry(nullptr, s, FormatMessage(TTextStorage::Lookup(f), f, a...));
  }
  void AddOnOwner(TSeverity severity, std::string text);
  void WriteCrashCopy(const TLoggedEvent& e);
  bool WriteLog(const std::filesystem::path& file, bool incremental, std::string* error) const;

  TMainThreadDispatcher& dispatcher_;
  std::shared_ptr<Pending> pending_;
  std::string programName_;
  std::filesystem::path folder_;
  std::vector<TLoggedEvent> entries_;  // oldest first
  std::string lastEntry_;
  TSeverity lastSeverity_ = EVT_INFO;
  std::array<bool, 4> occurred_{};
  bool crashLog_ = true;
  bool crashFailed_ = false;
  bool crashWritten_ = false;
  int crashFd_ = -1;
  int instance_ = 0;
  std::filesystem::path lastWritten_;
  std::string osDescription_;
};

// "uname" plus the PRETTY_NAME of /etc/os-release.
std::string DescribeOperatingSystem();

}  // namespace vidoria
