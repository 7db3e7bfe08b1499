#include "mux/U_PacketInterleaver.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace vidoria;

namespace {

struct TSource {
  std::vector<uint8_t> data;
  TMuxPacketDescriptor desc;
  int64_t dts = 0, duration = 0;
};

TMuxPacketDescriptor Video(TPictureType type, int64_t gopTime, uint16_t vob = 1) {
  TMuxPacketDescriptor d;
  d.Kind = MPK_VIDEO;
  d.StreamId = 192;
  d.PictureType = type;
  d.GopTime = type == PICT_I ? gopTime : 0;
  d.VobId = vob;
  return d;
}

TMuxPacketDescriptor Audio(uint8_t slot) {
  TMuxPacketDescriptor d;
  d.Kind = MPK_AUDIO;
  d.StreamId = static_cast<uint8_t>(0x80 + slot);
  return d;
}

bool Add(TAvPacketInterleaver& il, const TSource& s) {
  TMuxPacketIn p;
  p.Dts = s.dts;
  p.Pts = s.dts;
  p.Duration = s.duration;
  p.Data = s.data;
  p.Descriptor = &s.desc;
  return il.AddPacket(p);
}

struct TErrors {
  std::vector<std::string> texts;
  void Attach(TLoggingObject& o) {
    o.LogCallback = [this](const void*, TSeverity s, const std::string& t) {
      if (s == EVT_ERROR) texts.push_back(t);
    };
  }
};

// Releases what can be released, then drains; returns the groups in order.
std::vector<std::vector<TPacketContainerPtr>> Groups(TAvPacketInterleaver& il, bool drain) {
  std::vector<std::vector<TPacketContainerPtr>> groups;
  while (il.ReleaseGroup() == TGroupResult::Released) groups.push_back(il.TakeReleased());
  if (drain)
    while (il.DrainGroup() == TGroupResult::Released) groups.push_back(il.TakeReleased());
  return groups;
}

// A store that fails its n-th write or read.
class TFailingStore : public TParkingStore {
 public:
  TFailingStore(int failWrite, int failRead) : failWrite_(failWrite), failRead_(failRead) {}
  bool Append(std::span<const uint8_t> data, int64_t& offset) override {
    if (writes_++ == failWrite_) return false;
    offset = static_cast<int64_t>(bytes_.size());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return true;
  }
  bool ReadAt(int64_t offset, std::span<uint8_t> data) override {
    if (reads_++ == failRead_) return false;
    std::copy_n(bytes_.begin() + offset, data.size(), data.begin());
    return true;
  }

 private:
  int failWrite_, failRead_, writes_ = 0, reads_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace

TEST(PacketInterleaver, IntraOnlyVideoAt25FpsFormsGroupsOfNinePictures) {
  TAvPacketInterleaver il(0);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(Add(il, {{1, 2, 3}, Video(PICT_I, 3600), i * 3600, 3600}));
  const auto groups = Groups(il, true);
  ASSERT_EQ(groups.size(), 5u);
  for (size_t g = 0; g < 4; ++g) {
    ASSERT_EQ(groups[g].size(), 9u);
    EXPECT_EQ(groups[g][0]->GroupDuration, 32400);
  }
  EXPECT_EQ(groups[4].size(), 4u);
  EXPECT_EQ(groups[4][0]->GroupDuration, 4 * 3600);  // last group: up to the end of its last packet
}

TEST(PacketInterleaver, FirstKeyFrameOpensAGroupAndAVobChangeAlwaysDoes) {
  TAvPacketInterleaver il(0);
  // VOB id 0 first: the first key frame still opens the first group.
  const std::pair<uint16_t, int64_t> frames[] = {{0, 0}, {0, 3600}, {1, 0}, {1, 3600}, {2, 0}, {2, 3600}};
  for (auto [vob, dts] : frames) ASSERT_TRUE(Add(il, {{9}, Video(PICT_I, 3600, vob), dts, 3600}));
  EXPECT_EQ(il.GroupStartCount(), 3u);
  const auto groups = Groups(il, true);
  ASSERT_EQ(groups.size(), 3u);
  for (const auto& g : groups) {
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0]->Descriptor.VobId, g[1]->Descriptor.VobId);
  }
}

TEST(PacketInterleaver, WaitsUntilEveryAudioStreamCoversTheFirstGroup) {
  TAvPacketInterleaver il(0b10);  // slot 1 declared
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(Add(il, {{1}, Video(PICT_I, 3600), i * 3600, 3600}));
  EXPECT_EQ(il.ReleaseGroup(), TGroupResult::None);  // no audio yet
  ASSERT_TRUE(Add(il, {{2}, Audio(1), 0, 32400 - 1}));
  EXPECT_EQ(il.ReleaseGroup(), TGroupResult::None);
  ASSERT_TRUE(Add(il, {{2}, Audio(1), 32399, 1}));
  EXPECT_EQ(il.ReleaseGroup(), TGroupResult::Released);
  EXPECT_EQ(il.TakeReleased().size(), 11u);  // nine pictures and both audio packets
}

TEST(PacketInterleaver, EqualKeysKeepTheirArrivalOrderAndPacketsNeedADts) {
  TAvPacketInterleaver il(0);
  TErrors errors;
  errors.Attach(il);
  ASSERT_TRUE(Add(il, {{1}, Video(PICT_I, 3600), 0, 3600}));
  for (uint8_t n = 0; n < 5; ++n) ASSERT_TRUE(Add(il, {{n}, Audio(0), 1800, 100}));
  auto groups = Groups(il, true);
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].size(), 6u);
  for (uint8_t n = 0; n < 5; ++n) EXPECT_EQ(groups[0][n + 1]->Data, std::vector<uint8_t>{n});

  TAvPacketInterleaver refuse(0);
  errors.Attach(refuse);
  TSource noDts{{1}, Video(PICT_I, 3600), kNoTimeStamp, 0};
  EXPECT_FALSE(Add(refuse, noDts));
  TMuxPacketIn noDescriptor;
  noDescriptor.Dts = 0;
  TAvPacketInterleaver refuse2(0);
  errors.Attach(refuse2);
  EXPECT_FALSE(refuse2.AddPacket(noDescriptor));
  EXPECT_EQ(errors.texts.size(), 2u);
}

TEST(PacketInterleaver, AStreamWithoutVideoIsAnError) {
  for (bool withAudio : {false, true}) {
    TAvPacketInterleaver il(0);
    TErrors errors;
    errors.Attach(il);
    if (withAudio) {
      ASSERT_TRUE(Add(il, {{1}, Audio(0), 0, 2880}));
    }
    EXPECT_EQ(il.DrainGroup(), TGroupResult::Failed);
    EXPECT_EQ(errors.texts.size(), 1u);
  }
}

TEST(PacketInterleaver, TemporaryFileIsGoneWhileInUse) {
  test::TempDir dir;
  TAvPacketInterleaver il(0, 0);  // every payload is parked
  ASSERT_TRUE(il.Open(dir.path()));
  EXPECT_FALSE(std::filesystem::exists(dir / "Muxer.Tmp"));
  for (int i = 0; i < 12; ++i)
    ASSERT_TRUE(Add(il, {std::vector<uint8_t>(1000, static_cast<uint8_t>(i)), Video(PICT_I, 3600), i * 3600, 3600}));
  EXPECT_EQ(il.BufferedBytes(), 0);
  const auto groups = Groups(il, true);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[1][2]->Data, std::vector<uint8_t>(1000, 11));

  TAvPacketInterleaver bad(0);
  TErrors errors;
  errors.Attach(bad);
  EXPECT_FALSE(bad.Open(dir / "missing" / "folder"));
  EXPECT_EQ(errors.texts.size(), 1u);
}

// Random streams of video (GOPs of I, P and B pictures), three audio streams and a
// sub-picture stream, with a budget of a few packets: every packet comes out once,
// unchanged, in key order, and every group opens with a key frame.
TEST(PacketInterleaver, RandomStreamsComeOutWholeInGroupsThatStartAtKeyFrames) {
  std::mt19937 rng(11);
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE(run);
    test::TempDir dir;
    TAvPacketInterleaver il(0b1011, 3000);
    ASSERT_TRUE(il.Open(dir.path()));
    std::map<uint64_t, std::vector<uint8_t>> sent;  // by arrival number
    uint64_t serial = 0;
    std::vector<std::vector<TPacketContainerPtr>> groups;
    auto add = [&](TSource s) {
      s.data.resize(rng() % 1500);
      for (auto& b : s.data) b = static_cast<uint8_t>(rng());
      sent[serial++] = s.data;
      ASSERT_TRUE(Add(il, s));
      for (auto& g : Groups(il, false)) groups.push_back(std::move(g));
    };
    const int pictures = 50 + static_cast<int>(rng() % 300);
    const int gop = 1 + static_cast<int>(rng() % 15);
    int64_t audio[3] = {0, 0, 0};
    const uint8_t slots[3] = {0, 1, 3};
    uint16_t vob = 1;
    for (int i = 0; i < pictures; ++i) {
      if (rng() % 200 == 0) ++vob;
      const bool key = i % gop == 0;
      add({{}, Video(key ? PICT_I : (rng() % 2 ? PICT_P : PICT_B), gop * 3600, vob), i * 3600, 3600});
      for (int a = 0; a < 3; ++a)
        while (audio[a] < (i + 1) * 3600 + static_cast<int64_t>(rng() % 20000)) {
          TMuxPacketDescriptor d = Audio(slots[a]);
          d.VobId = vob;
          add({{}, d, audio[a], 2880});
          audio[a] += 2880;
        }
      if (rng() % 40 == 0) {
        TMuxPacketDescriptor d;
        d.Kind = MPK_SUBPICTURE;
        d.StreamId = 0x20;
        d.VobId = vob;
        add({{}, d, i * 3600, 90000});
      }
    }
    for (auto& g : Groups(il, true)) groups.push_back(std::move(g));
    EXPECT_EQ(il.PacketCount(), 0u);
    EXPECT_EQ(il.DrainGroup(), TGroupResult::None);

    size_t received = 0;
    const TAvPacketContainer* previous = nullptr;
    for (size_t g = 0; g < groups.size(); ++g) {
      ASSERT_FALSE(groups[g].empty());
      size_t starts = 0;
      for (const auto& p : groups[g]) {
        if (p->IsGroupStart()) {
          ++starts;
          EXPECT_EQ(p->Descriptor.Kind, MPK_VIDEO);
          EXPECT_TRUE(p->Key);
        }
        EXPECT_FALSE(p->Parked);
        ASSERT_TRUE(sent.count(p->Serial));
        EXPECT_EQ(p->Data, sent[p->Serial]);
        sent.erase(p->Serial);
        if (previous) {
          const bool ordered = previous->Descriptor.VobId < p->Descriptor.VobId ||
                               (previous->Descriptor.VobId == p->Descriptor.VobId &&
                                (previous->Dts < p->Dts || (previous->Dts == p->Dts && previous->Serial < p->Serial)));
          EXPECT_TRUE(ordered) << "group " << g;
        }
        previous = p.get();
        ++received;
      }
      EXPECT_EQ(starts, 1u) << "group " << g;
      // Video before the group's key frame only in the first group.
      if (g > 0) {
        EXPECT_TRUE(groups[g][0]->IsGroupStart() || groups[g][0]->Descriptor.Kind != MPK_VIDEO);
      }
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(received, serial);
  }
}

TEST(PacketInterleaver, AFailingTemporaryStreamStopsTheRun) {
  for (auto [failWrite, failRead] : {std::pair{3, -1}, std::pair{-1, 2}}) {
    TAvPacketInterleaver il(0, 0);
    TErrors errors;
    errors.Attach(il);
    il.Open(std::make_unique<TFailingStore>(failWrite, failRead));
    bool addFailed = false;
    for (int i = 0; i < 30 && !addFailed; ++i)
      addFailed = !Add(il, {{1, 2, 3}, Video(PICT_I, 3600), i * 3600, 3600});
    TGroupResult last = TGroupResult::None;
    while (!addFailed && (last = il.ReleaseGroup()) == TGroupResult::Released) il.TakeReleased();
    EXPECT_TRUE(addFailed || last == TGroupResult::Failed);
    EXPECT_EQ(il.DrainGroup(), TGroupResult::Failed);
    EXPECT_FALSE(errors.texts.empty());
  }
}
