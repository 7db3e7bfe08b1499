#include "input/U_ClusterAvio.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace vidoria {
namespace {
using test::TempDir;

// A member larger than 4 GiB costs nothing on disk as a sparse file.
TEST(ClusterAvio, SeeksAndReadsPast4GiBAcrossMembers) {
  TempDir dir;
  const int64_t big = (int64_t{5} << 30) + 3;
  {
    int fd = ::open((dir / "movie.avi").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, big), 0);
    ASSERT_EQ(::pwrite(fd, "ABCD", 4, big - 4), 4);
    ::close(fd);
  }
  test::WriteFile(dir / "movie.avi.001", "tail");
  TFileCluster cluster;
  cluster.LoadSpannedSet(dir / "movie.avi");
  ASSERT_EQ(cluster.Count(), 2u);

  std::string error;
  auto io = TClusterAvio::Open(cluster, error);
  ASSERT_TRUE(io) << error;
  AVIOContext* pb = io->Context();
  EXPECT_EQ(avio_size(pb), big + 4);
  ASSERT_EQ(avio_seek(pb, big - 4, SEEK_SET), big - 4);
  unsigned char buf[16] = {};
  ASSERT_EQ(avio_read(pb, buf, 8), 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "ABCDtail");
  // The end of the data is the end of the file, not an empty read.
  EXPECT_EQ(avio_read(pb, buf, 8), AVERROR_EOF);
  EXPECT_TRUE(avio_feof(pb));
  EXPECT_LT(avio_seek(pb, -1, SEEK_SET), 0);
}

TEST(ClusterAvio, ChangedMemberIsRefused) {
  TempDir dir;
  test::WriteFile(dir / "a.mpg", "1234");
  TFileCluster cluster;
  cluster.LoadSpannedSet(dir / "a.mpg");
  test::WriteFile(dir / "a.mpg", "123456");
  std::string error;
  EXPECT_FALSE(TClusterAvio::Open(cluster, error));
  EXPECT_NE(error.find("missing or modified"), std::string::npos) << error;
}

}  // namespace
}  // namespace vidoria
