#include "app/C_Logger.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <thread>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string TextOf(const std::string& line) { return line.substr(line.rfind('\t') + 1); }

TEST(Log, EntriesFromManyThreadsArriveOnceAndInOrder) {
  TempDir dir;
  TMainThreadDispatcher dispatcher;
  TLog log(dispatcher, "t", dir.path(), false);
  log.Autosave = false;
  constexpr int kThreads = 4, kPerThread = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) log.InfoFmt("%d:%d", t, i);
    });
  // The owner drains while the workers are still logging.
  while (log.Count() < 1 + kThreads * kPerThread) dispatcher.WaitAndDrain(std::chrono::milliseconds(5));
  for (auto& th : threads) th.join();
  dispatcher.Drain();
  ASSERT_EQ(log.Count(), 1u + kThreads * kPerThread);
  std::vector<int> next(kThreads, 0);
  for (size_t i = log.Count() - 1; i-- > 0;) {  // oldest first, banner skipped
    const auto& e = log.Entry(i);
    int t = 0, n = 0;
    ASSERT_EQ(std::sscanf(e.Text.c_str(), "%d:%d", &t, &n), 2) << e.Text;
    ASSERT_EQ(n, next[t]) << "thread " << t << " out of order or duplicated";
    ++next[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);
}

TEST(Log, WorkerEntryWaitsForTheOwnerAndDestructionDrainsIt) {
  TempDir dir;
  TMainThreadDispatcher dispatcher;
  {
    TLog log(dispatcher, "t", dir.path(), false);
    std::thread([&] { log.Warning("from the worker"); }).join();
    EXPECT_NE(log.LastLogEntry(), "from the worker");
    // Not drained: the destructor must still place it before the closing banner.
  }
  auto lines = Lines(test::ReadFile(dir / "t.log"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(TextOf(lines[0]), LogTexts().SessionClosed);
  EXPECT_EQ(TextOf(lines[1]), "from the worker");
  EXPECT_NE(lines[1].find("\twarning\t"), std::string::npos);
  dispatcher.Drain();  // the stale drain request finds the log gone and does nothing
}

TEST(Log, FormattingFailuresKeepTheFormat) {
  TempDir dir;
  TMainThreadDispatcher dispatcher;
  TLog log(dispatcher, "t", dir.path(), false);
  log.Autosave = false;
  log.ErrorFmt("%d of %d", 1);
  EXPECT_EQ(log.LastLogEntry(), "%d of %d");
  EXPECT_EQ(log.LastLogSeverity(), EVT_ERROR);
  log.Check("Burn", true);
  EXPECT_EQ(log.LastLogEntry(), "[X] Burn");
  TLoggingObject reporter;
  reporter.LogCallback = log.Callback();
  reporter.LogFmt(EVT_WARNING, "Stream %d has %s", 2, std::string("no codec"));
  EXPECT_EQ(log.LastLogEntry(), "Stream 2 has no codec");
}

TEST(Log, IncrementalFileKeepsThisRunAndCutsTheOldest) {
  TempDir dir;
  std::string old;
  for (int i = 0; i < 6000; ++i) old += "old " + std::to_string(i) + "\n";
  test::WriteFile(dir / "t.log", old);
  TMainThreadDispatcher dispatcher;
  {
    TLog log(dispatcher, "t", dir.path(), false);
    log.LogFileMode = LFM_INCREMENTAL;
    log.LogFileSize = 5000;
    for (int i = 0; i < 98; ++i) log.InfoFmt("new %d", i);  // + two banners = 100 entries
  }
  auto lines = Lines(test::ReadFile(dir / "t.log"));
  ASSERT_EQ(lines.size(), 5000u);
  EXPECT_EQ(TextOf(lines[0]), LogTexts().SessionClosed);
  EXPECT_EQ(TextOf(lines[1]), "new 97");
  EXPECT_EQ(TextOf(lines[99]), LogTexts().SessionStarted);
  EXPECT_EQ(lines[100], "");
  EXPECT_EQ(lines[101], "");
  EXPECT_EQ(lines[102], "old 0");
  EXPECT_EQ(lines[4999], "old 4897");
}

TEST(Log, IncrementalFileLosesNoLinesWhenInstancesSaveAtOnce) {
  TempDir dir;
  constexpr int kInstances = 4;
  std::vector<std::thread> instances;
  for (int n = 0; n < kInstances; ++n)
    instances.emplace_back([&, n] {
      TMainThreadDispatcher dispatcher;  // each instance has its own main thread
      TLog log(dispatcher, "t", dir.path(), false);
      log.LogFileMode = LFM_INCREMENTAL;
      for (int i = 0; i < 50; ++i) log.InfoFmt("instance %d line %d", n, i);
    });
  for (auto& t : instances) t.join();
  std::map<std::string, int> seen;
  for (const auto& l : Lines(test::ReadFile(dir / "t.log")))
    if (!l.empty()) ++seen[TextOf(l)];
  for (int n = 0; n < kInstances; ++n)
    for (int i = 0; i < 50; ++i) EXPECT_EQ((seen["instance " + std::to_string(n) + " line " + std::to_string(i)]), 1);
}

TEST(Log, SaveModesAndCrashCopy) {
  TempDir dir;
  TMainThreadDispatcher dispatcher;
  fs::path crash;
  {
    TLog log(dispatcher, "t", dir.path(), true);
    log.SetInstanceNumber(2);
    crash = log.CrashLogFile();
    EXPECT_EQ(crash.filename(), "t_crash_2.log");
    log.Info("first");
    log.Info("second");
    auto lines = Lines(test::ReadFile(crash));
    ASSERT_EQ(lines.size(), 3u) << "the copy is written while the program runs";
    EXPECT_EQ(TextOf(lines[2]), "second");
    log.LogFileMode = LFM_DECORELOGFILE;
    EXPECT_FALSE(log.Save(""));
  }
  EXPECT_FALSE(fs::exists(crash)) << "a normal end removes the crash copy";
  int decorated = 0;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("t_", 0) == 0 && e.path().extension() == ".log") ++decorated;
  EXPECT_EQ(decorated, 1) << "one time-stamped file";
}

TEST(Log, BuildLinesOrders) {
  TempDir dir;
  TMainThreadDispatcher dispatcher;
  TLog log(dispatcher, "t", dir.path(), false);
  log.Autosave = false;
  log.Error("b");
  log.Info("C");
  log.Warning("a");
  auto texts = [&](TLogSortOrder order, TSeveritySet filter) {
    std::vector<std::string> lines{"kept"};
    log.BuildLines(lines, filter, 0, order);
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(TextOf(l));
    return out;
  };
  const auto banner = LogTexts().SessionStarted;
  EXPECT_EQ(texts(LSO_NEWEST_FIRST, kAllSeverities), (std::vector<std::string>{"a", "C", "b", banner, "kept"}));
  EXPECT_EQ(texts(LSO_OLDEST_FIRST, SeverityBit(EVT_ERROR) | SeverityBit(EVT_WARNING)),
            (std::vector<std::string>{"b", "a", "kept"}));
  EXPECT_EQ(texts(LSO_SEVERITY_DESCENDING, kAllSeverities), (std::vector<std::string>{"b", "a", "C", banner, "kept"}));
  EXPECT_EQ(texts(LSO_TEXT, kAllSeverities), (std::vector<std::string>{banner, "a", "b", "C", "kept"}));
}

}  // namespace
}  // namespace vidoria
