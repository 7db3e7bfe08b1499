#include "mux/U_NavPack.h"
#include "mux/U_VOB.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace vidoria;

namespace {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  std::istringstream in(hex);
  std::string b;
  while (in >> b) out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
  return out;
}

std::vector<uint8_t> Pes(const TMPEG2_video_pack& p) {
  std::vector<uint8_t> out;
  EXPECT_EQ(p.Write(out), p.HeaderSize());
  return out;
}

constexpr int64_t kBase = 0x123456789;  // uses all 33 bits

}  // namespace

TEST(PackHeader, EncodesScrMuxRateAndStuffing) {
  struct {
    int64_t scr;
    const char* bytes;
  } cases[] = {
      {0, "00 00 01 BA 44 00 04 00 04 01 01 89 C3 F8"},
      {kBase * 300 + 299, "00 00 01 BA 66 34 57 3C 4E 57 01 89 C3 F8"},
  };
  for (const auto& c : cases) {
    TMPEG2_program_pack p;
    EXPECT_TRUE(p.SetScr(c.scr));
    std::vector<uint8_t> out;
    EXPECT_EQ(p.Write(out, false), 14u);
    EXPECT_EQ(out, Bytes(c.bytes)) << c.scr;
  }
  // Whole pack times round to the nearest 27 MHz tick: 7 packs are exactly 307200 ticks.
  EXPECT_EQ(ScrOfPackCount(7), 307200);
  EXPECT_EQ(ScrOfPackCount(1), 43886);
}

TEST(PackHeader, SystemHeaderCarriesTheDeclaredAudioBound) {
  TMPEG2_program_pack p;
  ASSERT_TRUE(p.SetAudioBound(2));
  EXPECT_FALSE(p.SetAudioBound(64));
  std::vector<uint8_t> out;
  EXPECT_EQ(p.Write(out, true), 38u);
  const std::vector<uint8_t> sys(out.begin() + 14, out.end());
  EXPECT_EQ(sys, Bytes("00 00 01 BB 00 12 80 C4 E1 08 E1 7F B9 E0 E8 B8 C0 20 BD E0 3A BF E0 02"));
}

TEST(PesHeader, EveryVariantMatchesItsGoldenBytes) {
  struct Case {
    const char* name;
    std::function<void(TMPEG2_video_pack&)> set;
    const char* bytes;
  } cases[] = {
      {"no time stamp", [](TMPEG2_video_pack&) {}, "00 00 01 E0 07 EC 81 00 00"},
      {"PTS", [](TMPEG2_video_pack& p) { p.SetPts(kBase); }, "00 00 01 E0 07 EC 81 80 05 29 8D 15 CF 13"},
      {"PTS and DTS", [](TMPEG2_video_pack& p) { p.SetPtsDts(kBase, 0x0FEDCBA98); },
       "00 00 01 E0 07 EC 81 C0 0A 39 8D 15 CF 13 17 FB 73 75 31"},
      {"PTS, DTS, video P-STD",
       [](TMPEG2_video_pack& p) {
         p.SetPtsDts(kBase, 0x0FEDCBA98);
         p.SetPstdBuffer(kPstdVideo);
       },
       "00 00 01 E0 07 EC 81 C1 0D 39 8D 15 CF 13 17 FB 73 75 31 1E 60 E8"},
      {"MPEG audio, PTS, P-STD",
       [](TMPEG2_video_pack& p) {
         p.SetStreamId(kStreamIdMpegAudio + 1);
         p.SetPts(5);
         p.SetPstdBuffer(kPstdMpegAudio);
       },
       "00 00 01 C1 07 EC 81 81 08 21 00 01 00 0B 1E 40 20"},
      {"private 1, P-STD without time stamp",
       [](TMPEG2_video_pack& p) {
         p.SetStreamId(kStreamIdPrivate1);
         p.SetPstdBuffer(kPstdPrivate1);
       },
       "00 00 01 BD 07 EC 81 01 03 1E 60 3A"},
      {"later DTS pack: PTS and stuffing",
       [](TMPEG2_video_pack& p) {
         p.SetStreamId(kStreamIdPrivate1);
         p.SetPts(5);
         p.SetStuffing(3);
       },
       "00 00 01 BD 07 EC 81 80 08 21 00 01 00 0B FF FF FF"},
      {"short packet", [](TMPEG2_video_pack& p) { p.SetLength(100); }, "00 00 01 E0 00 64 81 00 00"},
  };
  for (const Case& c : cases) {
    TMPEG2_video_pack p;
    p.SetCopyStatus(true);
    c.set(p);
    EXPECT_EQ(Pes(p), Bytes(c.bytes)) << c.name;
  }
}

// The payload room of each kind of pack follows from its header sizes.
TEST(PesHeader, PayloadRoomOfEachKindOfPack) {
  auto room = [](std::function<void(TMPEG2_video_pack&)> set, size_t substream) {
    TMPEG2_video_pack p;
    set(p);
    return PackPayloadRoom(p.HeaderSize(), substream);
  };
  auto none = [](TMPEG2_video_pack&) {};
  auto pts = [](TMPEG2_video_pack& p) { p.SetPts(0); };
  auto ptsDts = [](TMPEG2_video_pack& p) { p.SetPtsDts(0, 0); };
  auto ptsPstd = [](TMPEG2_video_pack& p) {
    p.SetPts(0);
    p.SetPstdBuffer(kPstdPrivate1);
  };
  auto ptsStuffing = [](TMPEG2_video_pack& p) {
    p.SetPts(0);
    p.SetStuffing(3);
  };
  EXPECT_EQ(room(none, 0), 2025u);         // video without time stamp
  EXPECT_EQ(room(pts, 0), 2020u);          // video with PTS, MPEG audio
  EXPECT_EQ(room(ptsDts, 0), 2015u);       // first picture of a VOBU
  EXPECT_EQ(room(pts, 4), 2016u);          // AC-3
  EXPECT_EQ(room(ptsPstd, 4), 2013u);      // AC-3 or DTS, first pack of the VOB
  EXPECT_EQ(room(ptsStuffing, 4), 2013u);  // DTS, later packs
  EXPECT_EQ(room(pts, 1), 2019u);          // first pack of a sub-picture unit
  EXPECT_EQ(room(none, 1), 2024u);         // later sub-picture packs
}

TEST(PesHeader, TimeStampBeyond33BitsWrapsAndIsReported) {
  TMPEG2_video_pack p;
  p.SetCopyStatus(true);
  EXPECT_FALSE(p.SetPts((int64_t{1} << 33) + 5));
  EXPECT_EQ(Pes(p), Bytes("00 00 01 E0 07 EC 81 80 05 21 00 01 00 0B"));
}

TEST(SubstreamHeaders, WriteIdFrameCountAndPointer) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(AppendAc3SubstreamHeader(out, 1, 2, 0x0123));
  EXPECT_TRUE(AppendDtsSubstreamHeader(out, 0, 1, 1));
  EXPECT_TRUE(AppendSubpictureSubstreamHeader(out, 31));
  EXPECT_EQ(out, Bytes("81 02 01 23 88 01 00 01 3F"));
  EXPECT_FALSE(AppendAc3SubstreamHeader(out, 8, 1, 1));
  EXPECT_FALSE(AppendSubpictureSubstreamHeader(out, 32));
  EXPECT_EQ(out.size(), 9u);
}

namespace {

// The packets of one 2048-byte pack: (start code, length of packet incl. header).
std::vector<std::pair<uint8_t, size_t>> ParsePack(const std::vector<uint8_t>& s, size_t at) {
  std::vector<std::pair<uint8_t, size_t>> out;
  EXPECT_EQ(s[at + 3], 0xBA);
  size_t pos = at + 14 + (s[at + 13] & 7);
  while (pos < at + kSectorSize) {
    EXPECT_TRUE(s[pos] == 0 && s[pos + 1] == 0 && s[pos + 2] == 1) << "no start code at " << pos - at;
    if (!(s[pos] == 0 && s[pos + 1] == 0 && s[pos + 2] == 1)) break;
    const size_t len = 6 + (size_t{s[pos + 4]} << 8 | s[pos + 5]);
    out.push_back({s[pos + 3], len});
    pos += len;
  }
  EXPECT_EQ(pos, at + kSectorSize);
  return out;
}

}  // namespace

TEST(ClosePack, FillsTheSectorWithAValidPacketLayout) {
  for (size_t free : {0u, 5u, 6u, 13u, 14u}) {
    SCOPED_TRACE(free);
    std::vector<uint8_t> s(kSectorSize, 0x77);  // a previous sector
    const size_t start = s.size();
    TMPEG2_program_pack pack;
    pack.Write(s, false);
    TMPEG2_video_pack pes(kStreamIdPrivate1);
    pes.SetCopyStatus(true);
    pes.SetPts(90000);
    pes.Write(s);
    AppendAc3SubstreamHeader(s, 0, 1, 1);
    const size_t payload = kSectorSize - (s.size() - start) - free;
    for (size_t i = 0; i < payload; ++i) s.push_back(static_cast<uint8_t>(i));
    ASSERT_TRUE(ClosePack(s, start));
    ASSERT_EQ(s.size(), start + kSectorSize);
    const auto packets = ParsePack(s, start);
    const size_t headerLength = s[start + 22];
    const size_t payloadAt = start + 14 + 9 + headerLength + 4;
    for (size_t i = 0; i < payload; ++i) ASSERT_EQ(s[payloadAt + i], static_cast<uint8_t>(i));
    if (free >= 6) {
      ASSERT_EQ(packets.size(), 2u);
      EXPECT_EQ(packets[0].second, kSectorSize - 14 - free);
      std::vector<uint8_t> padding{0x00, 0x00, 0x01, 0xBE, 0x00, static_cast<uint8_t>(free - 6)};
      padding.resize(free, 0xFF);
      EXPECT_EQ(std::vector<uint8_t>(s.end() - static_cast<ptrdiff_t>(free), s.end()), padding);
      EXPECT_EQ(headerLength, 5u);
    } else {
      ASSERT_EQ(packets.size(), 1u);
      EXPECT_EQ(packets[0].second, kSectorSize - 14);
      EXPECT_EQ(headerLength, 5u + free);
      for (size_t i = 0; i < free; ++i) EXPECT_EQ(s[start + 14 + 9 + 5 + i], 0xFF);
    }
  }
}

TEST(ClosePack, RefusesSomethingThatIsNotAPesPack) {
  std::vector<uint8_t> s;
  TMPEG2_program_pack pack;
  pack.Write(s, true);  // system header where a PES packet should be
  s.resize(100, 0);
  EXPECT_FALSE(ClosePack(s, 0));
  std::vector<uint8_t> over(kSectorSize + 1, 0);
  EXPECT_FALSE(ClosePack(over, 0));
  EXPECT_FALSE(ClosePack(over, over.size() + 1));
}

namespace {

struct TPicture {
  std::vector<uint8_t> data;  // with any sequence/GOP header before it
  int type = 0;               // 1 I, 2 P, 3 B
  int tref = 0;
};

// Splits an MPEG-2 video elementary stream into pictures: headers that precede a
// picture start code belong to that picture.
std::vector<TPicture> SplitPictures(const std::string& es) {
  std::vector<size_t> starts;  // picture start code positions
  std::vector<size_t> units;   // every sequence/GOP/picture start
  for (size_t i = 0; i + 4 < es.size(); ++i) {
    if (es[i] || es[i + 1] || es[i + 2] != 1) continue;
    const uint8_t code = static_cast<uint8_t>(es[i + 3]);
    if (code == 0x00 || code == 0xB3 || code == 0xB8) units.push_back(i);
    if (code == 0x00) starts.push_back(i);
  }
  std::vector<TPicture> pics;
  size_t begin = 0;
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t next = k + 1 < starts.size() ? starts[k + 1] : es.size();
    // the picture ends where the next picture's leading headers begin
    size_t end = next;
    for (size_t u : units)
      if (u > starts[k] && u < end) {
        end = u;
        break;
      }
    TPicture p;
    p.data.assign(es.begin() + begin, es.begin() + end);
    const uint8_t* h = reinterpret_cast<const uint8_t*>(es.data()) + starts[k] + 4;
    p.tref = (h[0] << 2) | (h[1] >> 6);
    p.type = (h[1] >> 3) & 7;
    pics.push_back(std::move(p));
    begin = end;
  }
  return pics;
}

}  // namespace

// A program stream built from these packs (a navigation pack before each GOP, each
// picture starting a new PES packet, closed packs in between) reads back cleanly with
// ffprobe, with the time stamps that were written.
TEST(ProgramStream, FfprobeReadsPacksWithTheirTimeStamps) {
  test::TempDir dir;
  ASSERT_TRUE(test::MakeMedia(dir / "v.m2v", "-f lavfi -i testsrc=size=352x288:rate=25 -t 2 -c:v mpeg2video "
                                              "-g 12 -bf 2 -b:v 4M -f mpeg2video"));
  const auto pics = SplitPictures(test::ReadFile(dir / "v.m2v"));
  ASSERT_GE(pics.size(), 40u);

  std::vector<uint8_t> ps;
  int64_t packs = 0;
  TMPEG2_program_pack pack;
  pack.SetAudioBound(0);
  std::map<int64_t, int64_t> written;  // pts -> dts
  const int64_t offset = 7200;
  int gopStart = 0;
  for (size_t i = 0; i < pics.size(); ++i) {
    const TPicture& p = pics[i];
    if (p.type == 1) {
      gopStart = static_cast<int>(i);
      std::vector<uint8_t> sector(kSectorSize);
      TMPEG2_Nav_Pack nav;
      pack.SetScr(ScrOfPackCount(packs++));
      ASSERT_TRUE(nav.WriteSector(sector, pack));
      ps.insert(ps.end(), sector.begin(), sector.end());
    }
    // Display position: the GOP's first coded picture plus the temporal reference.
    const int64_t pts = offset + (gopStart + p.tref) * 3600 + 3600;
    const int64_t dts = offset + static_cast<int64_t>(i) * 3600;
    written[pts] = dts;
    size_t done = 0;
    bool first = true;
    while (done < p.data.size()) {
      const size_t start = ps.size();
      pack.SetScr(ScrOfPackCount(packs++));
      pack.Write(ps, false);
      TMPEG2_video_pack pes(kStreamIdVideo);
      pes.SetCopyStatus(true);
      if (first && pts != dts) pes.SetPtsDts(pts, dts);
      else if (first) pes.SetPts(pts);
      if (first && i == 0) pes.SetPstdBuffer(kPstdVideo);
      pes.Write(ps);
      const size_t room = kSectorSize - (ps.size() - start);
      const size_t n = std::min(room, p.data.size() - done);
      ps.insert(ps.end(), p.data.begin() + static_cast<ptrdiff_t>(done),
                p.data.begin() + static_cast<ptrdiff_t>(done + n));
      done += n;
      ASSERT_TRUE(ClosePack(ps, start));
      first = false;
    }
  }
  ps.insert(ps.end(), {0x00, 0x00, 0x01, 0xB9});
  {
    std::ofstream out(dir / "t.vob", std::ios::binary);
    out.write(reinterpret_cast<const char*>(ps.data()), static_cast<std::streamsize>(ps.size()));
  }
  std::string output;
  const std::string cmd = "ffprobe -v error -show_entries packet=pts,dts -of csv=p=0 " + (dir / "t.vob").string() +
                          " 2>&1";
  ASSERT_EQ(test::RunCommand(cmd, &output), 0) << output;
  std::istringstream lines(output);
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    int64_t pts = -1, dts = -1;
    ASSERT_EQ(sscanf(line.c_str(), "%ld,%ld", &pts, &dts), 2) << "unexpected output: " << line;
    ASSERT_TRUE(written.count(pts)) << line;
    EXPECT_EQ(dts, written[pts]) << line;
    ++count;
  }
  EXPECT_EQ(count, pics.size());
}
