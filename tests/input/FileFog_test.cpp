#include "input/U_FileFog.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

namespace vidoria {
namespace {
namespace fs = std::filesystem;
using test::TempDir;

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(FileCluster, WritesSplitAtThePartSizeAndReadBack) {
  TempDir dir;
  constexpr int64_t kPart = 4096 * 3;
  TFileCluster cluster(kPart);
  cluster.SetPath(dir.path().string());
  cluster.PrepareVobOutput(3, false);
  ASSERT_EQ(cluster.Count(), 9u);
  EXPECT_EQ(cluster.Item(0).FileName.filename(), "VTS_03_1.VOB");
  EXPECT_EQ(cluster.Item(8).FileName.filename(), "VTS_03_9.VOB");
  ASSERT_TRUE(cluster.DeleteFiles());

  const std::string data = Pattern(3 * kPart + 10, 1);
  {
    auto out = cluster.OpenWrite();
    std::mt19937 rng(7);
    size_t done = 0;
    while (done < data.size()) {
      size_t n = std::min<size_t>(data.size() - done, 1 + rng() % 9000);  // chunks cross member borders
      ASSERT_EQ(out->Write(data.data() + done, static_cast<int64_t>(n)), static_cast<int64_t>(n));
      done += n;
    }
    EXPECT_EQ(out->Size(), static_cast<int64_t>(data.size()));
  }
  for (int part = 1; part <= 3; ++part) EXPECT_EQ(fs::file_size(dir / TFileCluster::VobName(3, part)), uint64_t(kPart));
  EXPECT_EQ(fs::file_size(dir / "VTS_03_4.VOB"), 10u);
  EXPECT_FALSE(fs::exists(dir / "VTS_03_5.VOB"));
  EXPECT_EQ(cluster.TotalSize(), static_cast<int64_t>(data.size()));

  TFileCluster input;
  input.LoadSpannedSet(dir / "VTS_03_1.VOB");
  ASSERT_EQ(input.Count(), 4u);
  auto in = input.OpenRead();
  std::string back(data.size() + 100, '\0');
  EXPECT_EQ(in->Read(back.data(), static_cast<int64_t>(back.size())), static_cast<int64_t>(data.size()));
  back.resize(data.size());
  EXPECT_EQ(back, data);
  // Seeking across members, and the cheap "where am I".
  EXPECT_EQ(in->Seek(kPart - 2, TSeekOrigin::Begin), kPart - 2);
  char four[4];
  EXPECT_EQ(in->Read(four, 4), 4);
  EXPECT_EQ(std::string(four, 4), data.substr(kPart - 2, 4));
  EXPECT_EQ(in->Seek(0, TSeekOrigin::Current), kPart + 2);
  EXPECT_EQ(in->Seek(-10, TSeekOrigin::End), static_cast<int64_t>(data.size()) - 10);
  EXPECT_EQ(in->CurrentIndex(), 3u);
}

TEST(FileCluster, FullLastMemberGivesShortCount) {
  TempDir dir;
  TFileCluster cluster(100);
  cluster.SetPath(dir.path().string());
  cluster.PrepareVobOutput(1, true);
  cluster.DeleteFiles();
  auto out = cluster.OpenWrite();
  std::string data(150, 'x');
  EXPECT_EQ(out->Write(data.data(), 150), 100);
  EXPECT_FALSE(out->Error().empty());
}

TEST(FileCluster, WritePastAFileSizeLimitFails) {
  TempDir dir;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    TFileCluster cluster(1 << 20);
    cluster.SetPath(dir.path().string());
    cluster.PrepareVobOutput(1, false);
    cluster.DeleteFiles();
    auto out = cluster.OpenWrite();
    std::string data(100 * 1024, 'x');
    int64_t n = out->Write(data.data(), static_cast<int64_t>(data.size()));
    _exit(n == 64 * 1024 && !out->Error().empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the short write was not reported";
}

TEST(FileCluster, StaleFileThatCouldNotBeDeletedIsNotReused) {
  TempDir dir;
  TFileCluster cluster(1 << 20);
  cluster.SetPath(dir.path().string());
  cluster.PrepareVobOutput(1, false);
  test::WriteFile(cluster.Item(0).FileName, std::string(5000, 'o'));
  // Recorded size 0, as after DeleteFiles; the old bytes must not survive past new data.
  cluster.Item(0).SetFileSize(0);
  {
    auto out = cluster.OpenWrite();
    EXPECT_EQ(out->Write("new", 3), 3);
  }
  EXPECT_EQ(test::ReadFile(cluster.Item(0).FileName), "new");
}

TEST(FileCluster, ReadStreamRefusesChangedMembers) {
  TempDir dir;
  test::WriteFile(dir / "movie.avi", "abc");
  test::WriteFile(dir / "movie.avi.001", "defg");
  TFileCluster cluster;
  cluster.LoadSpannedSet(dir / "movie.avi");
  ASSERT_EQ(cluster.Count(), 2u);
  fs::path changed;
  EXPECT_TRUE(cluster.CheckUnchanged(changed));
  EXPECT_TRUE(changed.empty());
  test::WriteFile(dir / "movie.avi.001", "defgh");
  EXPECT_FALSE(cluster.CheckUnchanged(changed));
  EXPECT_EQ(changed, dir / "movie.avi.001");
  try {
    cluster.OpenRead();
    FAIL() << "expected EStreamError";
  } catch (const EStreamError& e) {
    EXPECT_EQ(std::string(e.what()), "File \"" + (dir / "movie.avi.001").string() + "\" missing or modified");
  }
}

TEST(FileCluster, ShortReadAdvancesOnlyByWhatWasDelivered) {
  TempDir dir;
  test::WriteFile(dir / "a.mpg", "0123456789");
  TFileCluster cluster;
  cluster.LoadSpannedSet(dir / "a.mpg");
  auto in = cluster.OpenRead();
  ::truncate((dir / "a.mpg").c_str(), 4);  // shrinks under the open stream
  char buf[10];
  EXPECT_EQ(in->Read(buf, 10), 4);
  EXPECT_EQ(in->Position(), 4);
}

TEST(FileCluster, SpannedSetRules) {
  struct Case {
    const char* what;
    std::vector<std::string> present;
    std::string chosen;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"VOB parts stop at the first gap", {"VTS_03_2.VOB", "VTS_03_3.VOB", "VTS_03_5.VOB"}, "VTS_03_2.VOB",
       {"VTS_03_2.VOB", "VTS_03_3.VOB"}},
      {"lower-case VOB names keep their case", {"vts_01_1.vob", "vts_01_2.vob"}, "vts_01_1.vob",
       {"vts_01_1.vob", "vts_01_2.vob"}},
      {"menu VOB stands alone", {"VTS_03_0.VOB", "VTS_03_1.VOB"}, "VTS_03_0.VOB", {"VTS_03_0.VOB"}},
      {"VIDEO_TS.VOB stands alone", {"VIDEO_TS.VOB"}, "VIDEO_TS.VOB", {"VIDEO_TS.VOB"}},
      {"missing chosen part gives nothing", {}, "VTS_01_1.VOB", {}},
      {"numbered extensions", {"movie.avi", "movie.avi.001", "movie.avi.002", "movie.avi.004"}, "movie.avi",
       {"movie.avi", "movie.avi.001", "movie.avi.002"}},
      {"numbered names", {"film.01.avi", "film.02.avi", "film.03.avi"}, "film.01.avi",
       {"film.01.avi", "film.02.avi", "film.03.avi"}},
      {"numbered names grow wider", {"film.9.avi", "film.10.avi"}, "film.9.avi", {"film.9.avi", "film.10.avi"}},
      {"ten digits are not a part number", {"a.1234567890.avi", "a.1234567891.avi"}, "a.1234567890.avi",
       {"a.1234567890.avi"}},
      {"digits without a dot", {"clip1.avi", "clip2.avi"}, "clip1.avi", {"clip1.avi"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const auto& f : c.present) test::WriteFile(dir / f, f);
    TFileCluster cluster;
    cluster.LoadSpannedSet(dir / c.chosen);
    std::vector<std::string> got;
    for (size_t i = 0; i < cluster.Count(); ++i) got.push_back(cluster.Item(i).FileName.filename().string());
    if (c.expected.empty() && got.size() == 1 && !fs::exists(dir / c.chosen)) got.clear();
    EXPECT_EQ(got, c.expected);
  }
}

TEST(FileCluster, PathKeepsATrailingSlashAndFallsBackToTheFirstFile) {
  TFileCluster c;
  c.SetPath("/media/dvd");
  EXPECT_EQ(c.Path(), "/media/dvd/");
  TFileCluster in;
  in.AddFile("/videos/a.mkv", -1);
  EXPECT_EQ(in.Path(), "/videos/");
  TFileCluster empty;
  empty.SetPath("");
  EXPECT_EQ(empty.Path(), "");
}

}  // namespace
}  // namespace vidoria
