#include "engine/U_av_convert_50.h"

#include "EngineFakes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vidoria {
namespace {
using namespace std::chrono_literals;
using test::FakeIfo;
using test::FakeMenu;
using test::FakeTitle;
using test::Journal;

// Waits (draining the main-thread queue) until `done` holds; false after 20 s.
template <typename Pred>
bool WaitFor(TMainThreadDispatcher& d, Pred done) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    d.WaitAndDrain(2ms);
  }
  return true;
}

struct Harness {
  Harness() : engine(dispatcher) {
    engine.LogCallback = [this](const void*, TSeverity s, const std::string& t) {
      log.Add(std::string(s == EVT_ERROR ? "E " : s == EVT_WARNING ? "W " : "I ") + t);
    };
    engine.OnStarted = [this] { events.Add("started"); };
    engine.OnFinished = [this](bool ok) {
      ++finishes;
      events.Add(ok ? "finished ok" : "finished failed");
    };
    engine.OnTitleStarted = [this](int n) { events.Add("title started " + std::to_string(n)); };
    auto m = std::make_unique<FakeMenu>(journal);
    auto i = std::make_unique<FakeIfo>(journal);
    menu = m.get();
    ifo = i.get();
    engine.SetStages(std::move(m), std::move(i));
    engine.SetOutputFolder(dir.path() / "VIDEO_TS");
    engine.SetTargetSize(4400 * kMiB);
  }

  FakeTitle& AddTitle(const std::string& name, double fps = 25.0) {
    auto t = std::make_unique<FakeTitle>(journal, name, fps);
    FakeTitle& ref = *t;
    engine.AddTitle(std::move(t));
    return ref;
  }

  bool RunToEnd() {
    EXPECT_TRUE(engine.Start());
    bool ended = WaitFor(dispatcher, [&] { return finishes.load() > 0; });
    EXPECT_TRUE(ended) << "the job did not end";
    engine.WaitUntilFinished();
    dispatcher.Drain();
    return engine.Succeeded();
  }

  test::TempDir dir;
  TMainThreadDispatcher dispatcher;
  Journal journal, log;  // what the stages did (worker), what was logged
  Journal events;        // the events, as the main thread saw them
  std::atomic<int> finishes{0};
  FakeMenu* menu = nullptr;
  FakeIfo* ifo = nullptr;
  AvConverter engine;
};

class ConverterTest : public ::testing::Test, public Harness {};

TEST_F(ConverterTest, StagesRunInOrderAndWriteTheVobs) {
  AddTitle("one");
  AddTitle("two");
  engine.SetMenu(TMenuJob{});
  EXPECT_TRUE(RunToEnd());
  EXPECT_EQ(journal.Items(), (std::vector<std::string>{"title one PAL", "title two PAL", "menu", "ifo with menu"}));
  EXPECT_EQ(events.Items(), (std::vector<std::string>{"started", "title started 1", "title started 2",
                                                     "title started 0", "finished ok"}));
  EXPECT_EQ(finishes, 1);
  EXPECT_EQ(std::filesystem::file_size(dir / "VIDEO_TS" / "VTS_01_1.VOB"), 4u * 2048);
  EXPECT_EQ(std::filesystem::file_size(dir / "VIDEO_TS" / "VTS_02_1.VOB"), 4u * 2048);
  EXPECT_EQ(menu->names, (std::vector<std::string>{"one", "two"}));
}

TEST_F(ConverterTest, OneStandardForTheWholeDisc) {
  AddTitle("film", 23.976);
  AddTitle("clip", 25.0);
  EXPECT_TRUE(RunToEnd());
  EXPECT_TRUE(journal.Contains("title film NTSC"));
  EXPECT_TRUE(journal.Contains("title clip NTSC")) << "the first title decides for all";
}

TEST_F(ConverterTest, SubIdxFileOfALaterTitleDecidesTheStandard) {
  AddTitle("film", 23.976);
  AddTitle("clip", 23.976).facts.subidx_height = 576;
  EXPECT_TRUE(RunToEnd());
  EXPECT_TRUE(journal.Contains("title film PAL"));
  EXPECT_TRUE(log.Contains("force the video standard to PAL"));
}

TEST_F(ConverterTest, CancelMidTitleEndsPromptlyWithOneFailedFinish) {
  std::atomic<bool> inside{false};
  AddTitle("endless").convert = [&](const TTitleDecisions&, TFileCluster&, TTitleContext& ctx) {
    TTitleReport r;
    while (ctx.control.Poll()) {
      inside = true;
      std::this_thread::sleep_for(1ms);
    }
    return r;
  };
  AddTitle("never");
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(WaitFor(dispatcher, [&] { return inside.load(); }));
  engine.Cancel();
  ASSERT_TRUE(WaitFor(dispatcher, [&] { return finishes.load() > 0; }));
  engine.WaitUntilFinished();
  EXPECT_FALSE(engine.Succeeded());
  EXPECT_EQ(finishes, 1);
  EXPECT_FALSE(journal.Contains("title never"));
  EXPECT_FALSE(journal.Contains("ifo"));
}

TEST_F(ConverterTest, CancelWhilePausedReleasesThePause) {
  std::atomic<int> polls{0};
  AddTitle("endless").convert = [&](const TTitleDecisions&, TFileCluster&, TTitleContext& ctx) {
    while (ctx.control.Poll()) ++polls;
    return TTitleReport{};
  };
  ASSERT_TRUE(engine.Start());
  ASSERT_TRUE(WaitFor(dispatcher, [&] { return polls.load() > 10; }));
  engine.SetPaused(true);
  std::this_thread::sleep_for(20ms);
  int frozen = polls.load();
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(polls.load(), frozen + 1) << "a paused job stops at its next poll";
  engine.Cancel();
  ASSERT_TRUE(WaitFor(dispatcher, [&] { return finishes.load() > 0; }));
  engine.WaitUntilFinished();
  EXPECT_FALSE(engine.Succeeded());
  EXPECT_FALSE(engine.Paused());
  EXPECT_EQ(finishes, 1);
}

TEST_F(ConverterTest, CancelDuringATitlesSetUpIsNotLost) {
  // The cancel arrives while the title prepares its output, before its loop polls.
  AddTitle("one").convert = [&](const TTitleDecisions&, TFileCluster& out, TTitleContext& ctx) {
    engine.Cancel();
    return FakeTitle::WritePackets(out, ctx, 4);
  };
  AddTitle("two");
  EXPECT_FALSE(RunToEnd());
  EXPECT_FALSE(journal.Contains("title two"));
  EXPECT_EQ(finishes, 1);
}

TEST_F(ConverterTest, FailuresAnywhereFailTheBuild) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> arrange;
  };
  const Case cases[] = {
      {"last title fails",
       [](Harness& t) {
         t.AddTitle("good");
         t.AddTitle("bad").convert = [](auto&, auto&, auto&) { return TTitleReport{}; };
       }},
      {"a stage throws",
       [](Harness& t) {
         t.AddTitle("boom").convert = [](auto&, auto&, TTitleContext&) -> TTitleReport {
           throw std::runtime_error("decoder exploded");
         };
       }},
      {"menu fails",
       [](Harness& t) {
         t.AddTitle("one");
         t.engine.SetMenu(TMenuJob{});
         t.menu->fail = true;
       }},
      {"IFO write fails",
       [](Harness& t) {
         t.AddTitle("one");
         t.ifo->fail = true;
       }},
      {"audio leaves no room for video",
       [](Harness& t) { t.AddTitle("dts").facts.audio_bitrate = 6 * 1536000; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness t;
    c.arrange(t);
    EXPECT_FALSE(t.RunToEnd());
    EXPECT_EQ(t.finishes, 1);
    EXPECT_TRUE(t.log.Contains("E ")) << "an error explains it";
  }
  Harness thrown;
  thrown.AddTitle("boom").convert = [](auto&, auto&, TTitleContext&) -> TTitleReport {
    throw std::runtime_error("decoder exploded");
  };
  thrown.RunToEnd();
  EXPECT_TRUE(thrown.log.Contains("Exception raised in conversion Thread with message \"decoder exploded\""));
}

// 49 titles one to a page need 49 + 49 + 3 program chains, one more than a menu
// holds: refused before the first title is converted.
TEST_F(ConverterTest, AMenuBeyondTheProgramChainTableIsRefusedBeforeEncoding) {
  for (int i = 0; i < 49; ++i) AddTitle("t" + std::to_string(i));
  TMenuJob menuJob;
  menuJob.entries_per_page = 1;
  engine.SetMenu(menuJob);
  EXPECT_FALSE(RunToEnd());
  EXPECT_TRUE(journal.Items().empty());
  EXPECT_TRUE(log.Contains("E A menu of 49 titles on 49 pages needs 101 program chains"));
}

TEST_F(ConverterTest, BudgetOverrunAuthorsOnlyTheTitlesDone) {
  engine.SetTargetSize(10 * kMiB);
  engine.SetMenu(TMenuJob{});
  AddTitle("big").convert = [](auto&, TFileCluster& out, TTitleContext& ctx) {
    TTitleReport r = FakeTitle::WritePackets(out, ctx, 1);
    r.bytes_written = 20 * kMiB;  // far beyond the budget
    return r;
  };
  AddTitle("skipped");
  EXPECT_TRUE(RunToEnd());
  EXPECT_FALSE(journal.Contains("title skipped"));
  EXPECT_EQ(menu->names, std::vector<std::string>{"big"}) << "no button for a title that is not on the disc";
  EXPECT_EQ(ifo->titles, 1u);
  EXPECT_TRUE(log.Contains("W The target size is used up: 1 of 2 titles"));
}

TEST_F(ConverterTest, ProgressAndPriority) {
  std::vector<int64_t> done;
  engine.OnProgress = [&](int64_t total, int64_t, int64_t d) {
    EXPECT_EQ(total, 2000);
    done.push_back(d);
  };
  AddTitle("one");
  AddTitle("two");
  engine.SetPriority(tpLowest);
  EXPECT_TRUE(RunToEnd());
  ASSERT_EQ(done.size(), 8u);
  EXPECT_EQ(done.front(), 2048);
  EXPECT_EQ(done.back(), 1000 + 4 * 2048) << "finished titles count by their input bytes";
  EXPECT_EQ(engine.Priority(), tpLowest);
}

}  // namespace
}  // namespace vidoria
