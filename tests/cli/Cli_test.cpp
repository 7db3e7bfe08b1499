#include "cli/U_Cli.h"

#include "project/U_ProjectFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vidoria {
namespace {
namespace fs = std::filesystem;

struct CliRun {
  test::TempDir dir;
  test::ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
  test::ScopedEnv state{"XDG_STATE_HOME", (dir / "state").string()};
  std::atomic<bool> interrupted{false};
  std::string out, err;

  int operator()(std::vector<std::string> args) {
    args.insert(args.begin(), "vidoria-cli");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream o, e;
    int rc = cli::Run(static_cast<int>(argv.size()), argv.data(), o, e, interrupted);
    out = o.str();
    err = e.str();
    return rc;
  }
};

TEST(Cli, UsageErrorsExitWithTwo) {
  CliRun run;
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"build"},
      {"build", "--standard", "secam", "a.mkv"},
      {"build", "--sub", "x.srt", "a.mkv"},
      {"build", "--size", "big", "a.mkv"},
      {"build", "notes.txt"},
      {"build", (run.dir / "missing.mkv").string()},
      {"probe", (run.dir / "missing.mkv").string()},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(run(args), cli::kExitUsage) << ::testing::PrintToString(args);
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_EQ(run({"--help"}), cli::kExitOk);
  EXPECT_NE(run.out.find("Video files: avi"), std::string::npos) << "the help lists the supported types";
}

TEST(Cli, ProbeAndSave) {
  CliRun run;
  const fs::path clip = run.dir / "holiday.mkv";
  ASSERT_TRUE(test::MakeMedia(clip, "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -f lavfi -i sine=d=2 "
                                    "-c:v mpeg4 -c:a mp2 -metadata:s:a:0 language=ger"));
  test::WriteFile(run.dir / "holiday.srt", "1\n00:00:00,500 --> 00:00:01,500\nHallo\n");
  ASSERT_EQ(run({"probe", clip.string()}), cli::kExitOk) << run.err;
  EXPECT_NE(run.out.find("video mpeg4 320x240 25.000 fps, aspect 1.33"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("language ger"), std::string::npos) << run.out;

  ASSERT_EQ(run({"save", clip.string(), "--sub", (run.dir / "holiday.srt").string() + ":de", "--no-menu", "--chapters",
                 "0.01", "--audio-delay", "-200", "--audio-lang", "fr", "-o", (run.dir / "p").string()}),
            cli::kExitOk)
      << run.err;
  TVideo_segments_collection project;
  TMenuStorage menu;
  TLoggingObject log;
  auto loaded = LoadProject(run.dir / "p.vidproj", project, menu, log);
  ASSERT_TRUE(loaded.loaded) << loaded.error;
  ASSERT_EQ(project.Count(), 1u);
  EXPECT_FALSE(menu.present());
  EXPECT_EQ(project[0].External_Subts.Count(), 1u);
  EXPECT_EQ(project[0].External_Subts[0].language, "de");
  EXPECT_EQ(project[0].Chapters.Count(), 3u) << "every 0.6 s of a 2 s clip";
  EXPECT_EQ(project[0].AudioStream(0)->delay, -200000);
  EXPECT_EQ(project[0].AudioStream(0)->language, "fr");

  // The saved project builds like the files themselves.
  ASSERT_EQ(run({"build", (run.dir / "p.vidproj").string(), "-o", (run.dir / "work").string()}), cli::kExitOk)
      << run.err;
  const fs::path dvd = run.dir / "work" / "holiday";
  EXPECT_EQ(run.out, dvd.string() + "\n");
  std::string listing;
  ASSERT_EQ(test::RunCommand("lsdvd -s '" + dvd.string() + "' 2>/dev/null", &listing), 0) << listing;
  EXPECT_NE(listing.find("Title: 01"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Language: de"), std::string::npos) << "the attached subtitle file: " << listing;
}

}  // namespace
}  // namespace vidoria

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace vidoria {
namespace {

TEST(Cli, InterruptCancelsWithExitCode130) {
  CliRun run;
  const fs::path clip = run.dir / "long.mkv";
  ASSERT_TRUE(test::MakeMedia(clip, "-f lavfi -i testsrc=size=720x576:rate=25:duration=10 -c:v mpeg4 -q:v 5"));
  // Ctrl-C already pressed when the job starts: the build is cancelled at its first
  // packet, whatever the machine's speed.
  run.interrupted = true;
  int rc = run({"build", clip.string(), "--no-menu", "-o", (run.dir / "work").string()});
  EXPECT_EQ(rc, cli::kExitCancelled) << run.err;
  EXPECT_NE(run.err.find("cancelled"), std::string::npos);
  EXPECT_FALSE(fs::exists(run.dir / "work" / "long" / "VIDEO_TS" / "VIDEO_TS.IFO")) << "nothing claims to be complete";
}

// The real program, interrupted from outside while it writes the first title.
TEST(Cli, SigintMidBuildExitsWith130AndLeavesNoCompleteFolder) {
  CliRun run;
  const fs::path clip = run.dir / "long.mkv";
  ASSERT_TRUE(test::MakeMedia(clip, "-f lavfi -i testsrc=size=352x288:rate=25:duration=60 -c:v mpeg4 -q:v 5"));
  const fs::path vob = run.dir / "work" / "long" / "VIDEO_TS" / "VTS_01_1.VOB";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string out = (run.dir / "work").string();
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execl(VIDORIA_CLI_BINARY, "vidoria-cli", "build", clip.c_str(), "--no-menu", "-o", out.c_str(), nullptr);
    _exit(127);
  }
  // Interrupt once the title's VOB exists (its writing starts, buffered, seconds before
  // the end of this clip); give up after a minute.
  bool writing = false;
  for (int i = 0; i < 3000 && !writing; ++i) {
    writing = fs::exists(vob);
    if (!writing) ::usleep(20000);
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) FAIL() << "the build ended before it could be interrupted";
  }
  ASSERT_TRUE(writing) << "the title never started";
  ::kill(child, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), cli::kExitCancelled);
  EXPECT_FALSE(fs::exists(run.dir / "work" / "long" / "VIDEO_TS" / "VIDEO_TS.IFO")) << "nothing claims to be complete";
}

TEST(Cli, FullDiskFailsTheBuildWithExitCode1) {
  CliRun run;
  const fs::path clip = run.dir / "clip.mkv";
  ASSERT_TRUE(test::MakeMedia(clip, "-f lavfi -i testsrc=size=720x576:rate=25:duration=8 -c:v mpeg4 -q:v 3"));
  const fs::path errFile = run.dir / "stderr.txt";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{512 * 1024, 512 * 1024};  // any file past 512 KiB is refused, as on a full disk
    ::setrlimit(RLIMIT_FSIZE, &lim);
    int rc = run({"build", clip.string(), "--no-menu", "-o", (run.dir / "work").string()});
    test::WriteFile(errFile, run.err.substr(0, 4000));
    _exit(rc);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), cli::kExitFailed) << test::ReadFile(errFile);
  EXPECT_NE(test::ReadFile(errFile).find("File too large"), std::string::npos) << "the reason, not silence";
}

}  // namespace
}  // namespace vidoria
