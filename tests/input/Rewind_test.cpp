#include "input/U_av_inputs.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

// Measuring a file must not cost the build its first packets: a Matroska seek back to
// the start lands on the video key frame and skipped the first audio packet.
TEST(InputRewind, MeasuringKeepsEveryPacket) {
  test::TempDir dir;
  const auto file = dir / "t.mkv";
  ASSERT_TRUE(test::MakeMedia(file, "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i "
                                    "sine=d=2:sample_rate=48000 -c:v mpeg4 -c:a ac3"));
  auto count = [&](bool measure) {
    TAv_input_file f;
    f.Cluster.LoadSpannedSet(file);
    EXPECT_TRUE(f.Open());
    if (measure) {
      f.AnalyseSync();
      f.ScanDuration();
    }
    AvPacketPtr p = MakePacket();
    std::pair<int, int64_t> audio{0, kNoTime};
    while (f.ReadPacket(p.get()) >= 0) {
      if (p->stream_index == 1 && audio.first++ == 0) audio.second = p->pts;
      av_packet_unref(p.get());
    }
    return audio;
  };
  EXPECT_EQ(count(true), count(false));
}

}  // namespace
}  // namespace vidoria
