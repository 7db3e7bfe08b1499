#include "app/C_Logger.h"

#include "platform/FileLock.h"
#include "platform/XdgPaths.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <typeinfo>

#ifndef VIDORIA_VERSION
#define VIDORIA_VERSION "0.0.0"
#endif

namespace vidoria {
namespace fs = std::filesystem;

namespace {
std::mutex gTextsMutex;
TLogTexts gTexts;

std::string FormatLocalTime(std::chrono::system_clock::time_point t, const char* pattern) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  return status == 0 && d ? std::string(d.get()) : std::string(name);
}
}  // namespace

TLogTexts LogTexts() {
  std::lock_guard lock(gTextsMutex);
  return gTexts;
}

void SetLogTexts(const TLogTexts& texts) {
  std::lock_guard lock(gTextsMutex);
  gTexts = texts;
}

std::string SeverityName(TSeverity s) {
  TLogTexts t = LogTexts();
  switch (s) {
    case EVT_INFO: return t.Info;
    case EVT_WARNING: return t.Warning;
    case EVT_ERROR: return t.Error;
    case EVT_CRITICAL: return t.Critical;
    default: return t.Misc;
  }
}

std::string EntryText(const TLoggedEvent& e) {
  return FormatLocalTime(e.Time, "%Y-%m-%d %H:%M:%S") + "\t" + SeverityName(e.Severity) + "\t" + e.Text;
}

std::string DescribeOperatingSystem() {
  std::string out;
  utsname u{};
  if (uname(&u) == 0) out = std::string(u.sysname) + " " + u.release + " " + u.machine;
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string v = line.substr(12);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'')) v = v.substr(1, v.size() - 2);
    out += out.empty() ? v : " (" + v + ")";
  }
  return out.empty() ? "unknown" : out;
}

// Entries that other threads logged, waiting for the owner thread.
struct TLog::Pending {
  std::mutex mutex;
  std::vector<std::pair<TSeverity, std::string>> queue;
  bool drainPosted = false;
  TLog* owner = nullptr;  // touched on the owner thread only
};

TLog::TLog(TMainThreadDispatcher& dispatcher, std::string programName, fs::path logFolder, bool crashLog)
    : dispatcher_(dispatcher),
      pending_(std::make_shared<Pending>()),
      programName_(std::move(programName)),
      folder_(std::move(logFolder)),
      crashLog_(crashLog) {
  pending_->owner = this;
  std::error_code ec;
  fs::create_directories(folder_, ec);
  LogFileName = folder_ / (programName_ + ".log");
  osDescription_ = DescribeOperatingSystem();
  AddOnOwner(EVT_INFO, LogTexts().SessionStarted);
}

TLog::~TLog() {
  FlushPending();
  pending_->owner = nullptr;
  AddOnOwner(EVT_INFO, LogTexts().SessionClosed);
  if (Autosave) Save(LogFileName);
  if (crashFd_ >= 0) ::close(crashFd_);
  const NotifyEvent* events[] = {&OnCloseWithInfo, &OnCloseWithWarning, &OnCloseWithError, &OnCloseWithCritical};
  for (int s = 0; s < 4; ++s)
    if (occurred_[s] && *events[s]) (*events[s])(*this);
}

fs::path TLog::DefaultLogFolder() { return xdg::StateHome() / "Vidoria"; }

fs::path TLog::CrashLogFile() const {
  std::string name = programName_ + "_crash";
  if (instance_ >= 1) name += "_" + std::to_string(instance_);
  return folder_ / (name + ".log");
}

void TLog::Check(std::string_view text, bool flag) {
  AddEntry(nullptr, EVT_INFO, (flag ? "[X] " : "[ ] ") + TTextStorage::Lookup(text));
}

void TLog::AddEntry(const void*, TSeverity severity, std::string text) {
  if (dispatcher_.IsOwnerThread()) {
    AddOnOwner(severity, std::move(text));
    return;
  }
  bool post = false;
  {
    std::lock_guard lock(pending_->mutex);
    pending_->queue.emplace_back(severity, std::move(text));
    post = !pending_->drainPosted;
    pending_->drainPosted = true;
  }
  if (post) {
    std::weak_ptr<Pending> weak = pending_;
    dispatcher_.Post([weak] {
      if (auto p = weak.lock(); p && p->owner) p->owner->FlushPending();
    });
  }
}

TLogCallback TLog::Callback() {
  return [this](const void* sender, TSeverity severity, const std::string& text) { AddEntry(sender, severity, text); };
}

void TLog::FlushPending() {
  std::vector<std::pair<TSeverity, std::string>> batch;
  {
    std::lock_guard lock(pending_->mutex);
    batch.swap(pending_->queue);
    pending_->drainPosted = false;
  }
  for (auto& [severity, text] : batch) AddOnOwner(severity, std::move(text));
}

void TLog::AddOnOwner(TSeverity severity, std::string text) {
  TLoggedEvent e;
  e.Text = std::move(text);
  e.Time = std::chrono::system_clock::now();
  e.Severity = severity;
  e.Index = static_cast<int32_t>(entries_.size());
  entries_.push_back(e);
  lastEntry_ = entries_.back().Text;
  lastSeverity_ = severity;
  if (severity <= EVT_CRITICAL) occurred_[severity] = true;
  if (crashLog_ && !crashFailed_ && severity != EVT_DEBUG) WriteCrashCopy(entries_.back());
  if (OnLogEntryAdded) OnLogEntryAdded(*this, lastSeverity_, lastEntry_);
}

// The crash copy grows by one line per entry (oldest first) instead of being rewritten
// whole, so a long build does not rewrite the file thousands of times.
void TLog::WriteCrashCopy(const TLoggedEvent& e) {
  std::string line = EntryText(e) + "\n";
  bool ok = true;
  if (crashFd_ < 0) {
    crashFd_ = ::open(CrashLogFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    ok = crashFd_ >= 0;
  }
  if (ok) {
    crashWritten_ = true;
    ok = ::write(crashFd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  if (!ok) {
    crashFailed_ = true;
    ErrorFmt("Log file can't be saved on disk. Please select a different location - Current \"%s\"",
             CrashLogFile().string());
  }
}

void TLog::SetCrashLog(bool on) {
  if (on == crashLog_) return;
  crashLog_ = on;
  if (!on) {
    if (crashFd_ >= 0) ::close(crashFd_);
    crashFd_ = -1;
    if (crashWritten_) {
      std::error_code ec;
      fs::remove(CrashLogFile(), ec);
      crashWritten_ = false;
    }
  }
}

void TLog::SetInstanceNumber(int n) {
  fs::path before = CrashLogFile();
  instance_ = n;
  if (crashWritten_ && before != CrashLogFile()) {
    std::error_code ec;
    fs::rename(before, CrashLogFile(), ec);  // the open descriptor follows the file
  }
}

void TLog::ReportSystem() {
  InfoFmt("OS : %s", osDescription_);
  std::error_code ec;
  InfoFmt("ExeName : \"%s\"", fs::read_symlink("/proc/self/exe", ec).string());
  InfoFmt("Version %s", std::string(VIDORIA_VERSION));
  std::string system = "en";
  std::ifstream in("/etc/default/locale");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("LANG=", 0) == 0) {
      std::string v = line.substr(5);
      v.erase(std::remove(v.begin(), v.end(), '"'), v.end());
      if (v.size() >= 2 && v != "C" && v != "POSIX" && v.rfind("C.", 0) != 0) system = Lower(v.substr(0, 2));
    }
  }
  InfoFmt("System default language : %s", system);
  InfoFmt("User default language : %s", xdg::UserLanguageCode());
}

void TLog::LogException(const std::exception& e) {
  ErrorFmt("Exception %s - %s", Demangle(typeid(e).name()), std::string(e.what()));
}

void TLog::LogException(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const std::exception& e) {
    LogException(e);
  } catch (...) {
    ErrorFmt("Exception %s - %s", std::string("unknown"), std::string("non-standard exception"));
  }
}

int TLog::BuildLines(std::vector<std::string>& lines, TSeveritySet filter, int limit, TLogSortOrder order) const {
  std::vector<const TLoggedEvent*> sorted;
  sorted.reserve(entries_.size());
  for (const auto& e : entries_)
    if (InSet(filter, e.Severity)) sorted.push_back(&e);
  // Arrival order (the index) decides, never the wall clock: a change of daylight saving
  // time during a run must not reorder the file.
  auto byIndex = [](const TLoggedEvent* a, const TLoggedEvent* b) { return a->Index < b->Index; };
  switch (order) {
    case LSO_NEWEST_FIRST:
      std::sort(sorted.begin(), sorted.end(), [&](auto a, auto b) { return byIndex(b, a); });
      break;
    case LSO_OLDEST_FIRST:
      std::sort(sorted.begin(), sorted.end(), byIndex);
      break;
    case LSO_SEVERITY_ASCENDING:
      std::sort(sorted.begin(), sorted.end(), [&](auto a, auto b) {
        return a->Severity != b->Severity ? a->Severity < b->Severity : byIndex(a, b);
      });
      break;
    case LSO_SEVERITY_DESCENDING:
      std::sort(sorted.begin(), sorted.end(), [&](auto a, auto b) {
        return a->Severity != b->Severity ? a->Severity > b->Severity : byIndex(b, a);
      });
      break;
    case LSO_TEXT:
      std::sort(sorted.begin(), sorted.end(), [&](auto a, auto b) {
        std::string la = Lower(a->Text), lb = Lower(b->Text);
        return la != lb ? la < lb : byIndex(a, b);
      });
      break;
  }
  std::vector<std::string> placed;
  placed.reserve(sorted.size() + lines.size());
  for (const auto* e : sorted) placed.push_back(EntryText(*e));
  int count = static_cast<int>(sorted.size());
  placed.insert(placed.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
  lines = std::move(placed);
  if (limit > 0) {
    size_t keep = std::max<size_t>(static_cast<size_t>(limit), entries_.size());
    if (lines.size() > keep) lines.resize(keep);
  }
  return count;
}

bool TLog::WriteLog(const fs::path& file, bool incremental, std::string* error) const {
  std::vector<std::string> lines;
  auto write = [&] {
    BuildLines(lines, LogFileFilter, LogFileSize, LSO_NEWEST_FIRST);
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return WriteFileAtomically(file, text, error);
  };
  if (!incremental) return write();
  // Several instances may end at once: read, prepend and replace under one lock, so
  // no instance's lines are lost.
  TFileLock lock(fs::path(file) += ".lock", TFileLock::Mode::Exclusive);
  std::string old;
  std::error_code ec;
  if (fs::exists(file, ec) && ReadWholeFile(file, old, nullptr)) {
    std::istringstream in(old);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
  }
  lines.insert(lines.begin(), 2, std::string());
  return write();
}

bool TLog::Save(const fs::path& fileName) {
  if (fileName.empty() || entries_.empty()) return false;
  fs::path folder = fileName.has_parent_path() ? fileName.parent_path() : folder_;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (crashLog_) {
    if (crashFd_ >= 0) ::close(crashFd_);
    crashFd_ = -1;
    fs::remove(CrashLogFile(), ec);
    crashWritten_ = false;
  }
  fs::path part = fileName.filename();
  if (LogFileMode == LFM_DECORELOGFILE) {
    part = part.stem().string() + "_" + FormatLocalTime(std::chrono::system_clock::now(), "%d-%m-%y_%H-%M-%S") + ".log";
  }
  bool incremental = LogFileMode == LFM_INCREMENTAL;
  std::string error;
  if (WriteLog(folder / part, incremental, &error)) {
    lastWritten_ = folder / part;
    return true;
  }
  // Last resort: the bare file name in the current folder.
  fs::path fallback = fileName.filename();
  if (WriteLog(fallback, incremental, &error)) {
    lastWritten_ = fallback;
    return true;
  }
  return false;
}

}  // namespace vidoria
