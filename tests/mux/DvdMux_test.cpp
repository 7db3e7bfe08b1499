// dvd_mux end to end: packets of media made by the ffmpeg command go in, and the VOB
// files that come out are checked pack by pack, with libdvdread for the navigation
// packs and ffprobe for the whole.

#include "mux/U_DVDMux_50.h"

#include "support/TestSupport.h"

#include "support/DvdRead.h"

#include <gtest/gtest.h>

extern "C" {
#include <dvdread/nav_read.h>
#include <dvdread/nav_types.h>
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <fstream>
#include <map>
#include <unistd.h>

using namespace vidoria;
using test::TempDir;

namespace {

struct TInPacket {
  int Stream = 0;
  int64_t Pts = 0, Dts = 0, Duration = 0;  // 90 kHz
  std::vector<uint8_t> Data;
  TMuxPacketDescriptor Desc;
};

// Picture type from the MPEG-2 picture header in a packet.
TPictureType PictureTypeOf(const std::vector<uint8_t>& d) {
  for (size_t i = 0; i + 5 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0)
      return static_cast<TPictureType>((d[i + 5] >> 3) & 7);
  return PICT_NONE;
}

// Reads every packet of `file` with libavformat. Stream n gets DVD id `ids[n]`.
std::vector<TInPacket> ReadPackets(const std::filesystem::path& file, const std::vector<uint8_t>& ids) {
  std::vector<TInPacket> out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return out;
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(raw, [](AVFormatContext* c) { avformat_close_input(&c); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  std::map<int, int64_t> lastKey;
  while (av_read_frame(ctx.get(), pkt.get()) >= 0) {
    const AVStream* st = ctx->streams[pkt->stream_index];
    const AVRational k90{1, 90000};
    TInPacket p;
    p.Stream = pkt->stream_index;
    p.Duration = av_rescale_q(pkt->duration, st->time_base, k90);
    p.Pts = av_rescale_q(pkt->pts, st->time_base, k90);
    // The first picture may come without decoding time: it precedes the next by a frame.
    p.Dts = pkt->dts == AV_NOPTS_VALUE ? p.Pts - p.Duration : av_rescale_q(pkt->dts, st->time_base, k90);
    p.Data.assign(pkt->data, pkt->data + pkt->size);
    p.Desc.StreamId = ids.at(static_cast<size_t>(pkt->stream_index));
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      p.Desc.Kind = MPK_VIDEO;
      p.Desc.PictureType = PictureTypeOf(p.Data);
      if (p.Desc.PictureType == PICT_I) {
        p.Desc.GopTime = lastKey.count(p.Stream) ? p.Dts - lastKey[p.Stream] : 0;
        lastKey[p.Stream] = p.Dts;
      }
    } else {
      p.Desc.Kind = MPK_AUDIO;
    }
    out.push_back(std::move(p));
    av_packet_unref(pkt.get());
  }
  return out;
}

// A small sub-picture unit: a 6 x 3 picture at (10, 20), shown for 1.5 s.
std::vector<uint8_t> SmallSpu() {
  return {0x00, 0x28, 0x00, 0x09, 0x11, 0x80, 0x74, 0x7C, 0x1A, 0x00, 0x00, 0x00, 0x21, 0x01,
          0x03, 0x20, 0x10, 0x04, 0x7F, 0xF0, 0x05, 0x00, 0xA0, 0x0F, 0x01, 0x40, 0x16, 0x06,
          0x00, 0x04, 0x00, 0x08, 0xFF, 0x00, 0x81, 0x00, 0x21, 0x02, 0xFF, 0xFF};
}

struct TMuxRun {
  bool Ok = false;
  std::vector<std::string> Errors;
  std::shared_ptr<TVobuCollection> Collection = std::make_shared<TVobuCollection>();
};

// Feeds `packets` (in decoding-time order) to a multiplexer writing into `cluster`.
TMuxRun Mux(TFileCluster& cluster, const std::vector<TDvdMuxStream>& streams, std::vector<TInPacket> packets,
            int64_t durationUs = 3000000, const std::string& standard = "pal") {
  TMuxRun run;
  std::stable_sort(packets.begin(), packets.end(), [](const TInPacket& a, const TInPacket& b) { return a.Dts < b.Dts; });
  auto out = cluster.OpenWrite();
  TDvdMux mux;
  mux.LogCallback = [&run](const void*, TSeverity s, const std::string& text) {
    if (s == EVT_ERROR) run.Errors.push_back(text);
  };
  TDvdMuxParams params;
  params.Collection = run.Collection;
  params.Output = out.get();
  params.Streams = streams;
  params.TotalDurationUs = durationUs;
  params.Standard = standard;
  if (!mux.Open(params)) return run;
  for (const TInPacket& p : packets) {
    TMuxPacketIn in;
    in.Pts = p.Pts;
    in.Dts = p.Dts;
    in.Duration = p.Duration;
    in.Data = p.Data;
    in.StreamIndex = p.Stream;
    in.Descriptor = &p.Desc;
    if (!mux.Write(in)) return run;
  }
  run.Ok = mux.Finish();
  return run;
}

std::vector<uint8_t> ReadAll(const TFileCluster& cluster) {
  std::vector<uint8_t> all;
  for (size_t i = 0; i < cluster.Count(); ++i) {
    std::ifstream f(cluster.Item(i).FileName, std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  return all;
}

int64_t TimeStamp(const uint8_t* p) {
  return (int64_t{p[0] & 0x0E} << 29) | (int64_t{p[1]} << 22) | (int64_t{p[2] & 0xFE} << 14) | (int64_t{p[3]} << 7) |
         (p[4] >> 1);
}

int64_t Scr27(const uint8_t* pack) {
  const uint8_t* p = pack + 4;
  const int64_t base = (int64_t{p[0] & 0x38} << 27) | (int64_t{p[0] & 0x03} << 28) | (int64_t{p[1]} << 20) |
                       (int64_t{p[2] & 0xF8} << 12) | (int64_t{p[2] & 0x03} << 13) | (int64_t{p[3]} << 5) | (p[4] >> 3);
  const int64_t ext = (int64_t{p[4] & 0x03} << 7) | (p[5] >> 1);
  return base * 300 + ext;
}

std::string ParseNav(const uint8_t* sector, pci_t& pci, dsi_t& dsi) { return test::ParseNavPack(sector, pci, dsi); }

// What the scanner found in a program stream.
struct TScan {
  std::vector<std::string> Faults;
  size_t NavPacks = 0;
  std::map<int, std::vector<uint8_t>> Payload;           // by stream key: E0, C0+n, 80+n, 88+n, 20+n
  std::map<int, std::vector<std::pair<int, int>>> AudioHeaders;  // AC-3 / DTS: frames, pointer
  std::map<int, std::vector<size_t>> PackPayloadSizes;
  std::map<int, int> PstdPacks;
  struct TNav {
    size_t Sector;
    pci_t Pci;
    dsi_t Dsi;
  };
  std::vector<TNav> Navs;
  std::vector<int> PackKey;  // stream key of every sector; 0xBF for navigation packs
  struct TVideoPack {
    int64_t Scr;  // 90 kHz
    size_t EsOffset, Size;
    int64_t Dts;  // of the first picture beginning in it; -1 without time stamp
    int Vob;
  };
  std::vector<TVideoPack> VideoPacks;                      // packs carrying the P-STD extension
  std::map<int, std::map<int, int64_t>> FirstPts;    // by VOB id, then stream key
};

// Checks the public rules of a DVD program stream and collects each stream's payload.
TScan ScanVob(const std::vector<uint8_t>& vob) {
  TScan scan;
  auto fault = [&scan](size_t sector, const std::string& what) {
    if (scan.Faults.size() < 20) scan.Faults.push_back("sector " + std::to_string(sector) + ": " + what);
  };
  if (vob.size() % 2048) fault(0, "size not whole sectors");
  int64_t lastScr = -1;
  size_t nextNav = 0;
  int lastVob = -1;
  scan.PackKey.assign(vob.size() / 2048, -1);
  for (size_t s = 0; s * 2048 < vob.size(); ++s) {
    const uint8_t* p = vob.data() + s * 2048;
    if (!(p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0xBA)) {
      fault(s, "no pack header");
      continue;
    }
    if (((p[10] << 14) | (p[11] << 6) | (p[12] >> 2)) != 25200) fault(s, "mux rate");
    const int64_t scr = Scr27(p);
    const bool nav = p[14] == 0 && p[15] == 0 && p[16] == 1 && p[17] == 0xBB;
    if (s == nextNav && !nav) fault(s, "VOBU does not start with a navigation pack");
    if (nav) {
      if (s != nextNav) fault(s, "navigation pack inside a VOBU");
      pci_t pci{};
      dsi_t dsi{};
      const std::string complaints = ParseNav(p, pci, dsi);
      if (!complaints.empty()) fault(s, "libdvdread: " + complaints);
      if (dsi.dsi_gi.nv_pck_lbn != s) fault(s, "wrong navigation pack address");
      if (pci.pci_gi.nv_pck_lbn != s) fault(s, "wrong PCI address");
      nextNav = s + dsi.dsi_gi.vobu_ea + 1;
      const int vob = dsi.dsi_gi.vobu_vob_idn;
      if (vob != lastVob) lastScr = -1;  // the clock restarts with every VOB
      lastVob = vob;
      ++scan.NavPacks;
      scan.Navs.push_back({s, pci, dsi});
      if (dsi.dsi_gi.nv_pck_scr != scr / 300) fault(s, "DSI SCR differs from the pack's");
    }
    if (lastScr >= 0 && scr - lastScr < 43885) fault(s, "SCR rises by less than one pack time");
    lastScr = scr;
    if (nav) {
      scan.PackKey[s] = 0xBF;
      continue;
    }
    // PES packet after the pack header; a padding packet may follow.
    const uint8_t* pes = p + 14;
    if (!(pes[0] == 0 && pes[1] == 0 && pes[2] == 1)) {
      fault(s, "no PES packet");
      continue;
    }
    const int id = pes[3];
    const size_t length = static_cast<size_t>(pes[4] << 8 | pes[5]);
    const size_t end = 14 + 6 + length;
    if (end > 2048) {
      fault(s, "PES packet beyond the sector");
      continue;
    }
    if (end < 2048) {
      const uint8_t* pad = p + end;
      if (!(pad[0] == 0 && pad[1] == 0 && pad[2] == 1 && pad[3] == 0xBE) || end + 6 + (pad[4] << 8 | pad[5]) != 2048)
        fault(s, "pack not filled by padding");
    }
    const unsigned flags = pes[7] >> 6;
    const size_t headerLength = pes[8];
    size_t at = 14 + 9 + headerLength;
    int key = id;
    if (id == 0xBD) key = p[at];
    int64_t packDts = -1;
    if (flags >= 2) {
      const int64_t pts = TimeStamp(pes + 9);
      const int64_t dts = flags == 3 ? TimeStamp(pes + 14) : pts;
      packDts = dts;
      if (dts - scr / 300 > 90000) fault(s, "decoding time more than 1 s after the SCR");
      if (!scan.FirstPts[lastVob].count(key)) scan.FirstPts[lastVob][key] = pts;
    }
    if (pes[7] & 1) ++scan.PstdPacks[key];
    scan.PackKey[s] = key;
    if (id == 0xBD) {
      key = p[at];
      if (key >= 0x80 && key < 0x90) {
        scan.AudioHeaders[key].push_back({p[at + 1], p[at + 2] << 8 | p[at + 3]});
        at += 4;
      } else {
        at += 1;
      }
    }
    if (key == 0xE0) scan.VideoPacks.push_back({scr / 300, scan.Payload[key].size(), end - at, packDts, lastVob});
    scan.Payload[key].insert(scan.Payload[key].end(), p + at, p + end);
    scan.PackPayloadSizes[key].push_back(end - at);
  }
  if (nextNav * 2048 != vob.size()) fault(nextNav, "last VOBU does not end with the stream");

  // The player's video buffer (232 KiB): a pack's bytes enter at its SCR, a picture's
  // bytes leave at its decoding time. A picture whose last byte arrives after its
  // decoding time underflows the buffer.
  const std::vector<uint8_t>& es = scan.Payload[0xE0];
  struct TPic {
    size_t Start;
    int64_t Dts = -1;
    int Vob = 0;
  };
  std::vector<TPic> pics;
  for (size_t i = 0; i + 3 < es.size(); ++i)
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0) pics.push_back({i});
  size_t pi = 0;
  for (const auto& vp : scan.VideoPacks) {
    while (pi < pics.size() && pics[pi].Start < vp.EsOffset) ++pi;
    for (size_t k = pi; k < pics.size() && pics[k].Start < vp.EsOffset + vp.Size; ++k) pics[k].Vob = vp.Vob;
    if (vp.Dts >= 0 && pi < pics.size() && pics[pi].Dts < 0) pics[pi].Dts = vp.Dts;
  }
  for (size_t k = 1; k < pics.size(); ++k)
    if (pics[k].Dts < 0) pics[k].Dts = pics[k - 1].Dts + 3600;
  size_t arrived = 0, left = 0, next = 0;  // bytes in and out; next picture to leave
  int currentVob = -1;
  for (size_t k = 0; k < scan.VideoPacks.size(); ++k) {
    const auto& vp = scan.VideoPacks[k];
    if (vp.Vob != currentVob) {  // a new VOB starts with an empty buffer
      currentVob = vp.Vob;
      while (next < pics.size() && pics[next].Start < vp.EsOffset) ++next;
      arrived = left = vp.EsOffset;
    }
    while (next < pics.size() && pics[next].Vob == currentVob && pics[next].Dts <= vp.Scr) {
      const size_t end = next + 1 < pics.size() ? pics[next + 1].Start : es.size();
      if (end > arrived) fault(k, "video buffer underflow at picture " + std::to_string(next));
      left = end;
      ++next;
    }
    arrived = vp.EsOffset + vp.Size;
    if (arrived > left && arrived - left > 237568) fault(k, "video buffer overflow");
  }
  return scan;
}

std::vector<uint8_t> Concat(const std::vector<TInPacket>& packets, int stream) {
  std::vector<uint8_t> all;
  for (const TInPacket& p : packets)
    if (p.Stream == stream) all.insert(all.end(), p.Data.begin(), p.Data.end());
  return all;
}

class DvdMux : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const bool made = test::MakeMedia(
        *dir_ / "in.nut",
        "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
        "-f lavfi -i sine=frequency=660:sample_rate=48000 -t 3 -map 0 -map 1 -map 2 "
        "-c:v mpeg2video -g 12 -bf 2 -b:v 3M -c:a:0 ac3 -b:a:0 192k -ac:a:0 2 -c:a:1 mp2 -b:a:1 192k");
    ASSERT_TRUE(made);
    packets_ = new std::vector<TInPacket>(ReadPackets(*dir_ / "in.nut", {0xE0, 0x80, 0x81}));
    ASSERT_GT(packets_->size(), 100u);
  }
  static void TearDownTestSuite() {
    delete packets_;
    delete dir_;
  }
  static std::vector<TDvdMuxStream> Streams() {
    return {{MPK_VIDEO, AV_CODEC_ID_MPEG2VIDEO, 0, ""},
            {MPK_AUDIO, AV_CODEC_ID_AC3, 2, "en"},
            {MPK_AUDIO, AV_CODEC_ID_MP2, 2, "de"}};
  }
  static TempDir* dir_;
  static std::vector<TInPacket>* packets_;
};
TempDir* DvdMux::dir_ = nullptr;
std::vector<TInPacket>* DvdMux::packets_ = nullptr;

}  // namespace

TEST_F(DvdMux, WritesPlayableVobFilesSplitAtTheMemberSize) {
  TempDir out;
  // 256 sectors per file, so this 3-second title needs several VOB files.
  TFileCluster cluster(256 * 2048);
  cluster.SetPath(out.path().string() + "/");
  cluster.PrepareVobOutput(1, false);

  std::vector<TInPacket> packets = *packets_;
  std::vector<TDvdMuxStream> streams = Streams();
  streams.push_back({MPK_SUBPICTURE, AV_CODEC_ID_DVD_SUBTITLE, 0, "fr"});
  for (int64_t at : {90000, 180000}) {
    TInPacket sp;
    sp.Stream = 3;
    sp.Pts = sp.Dts = at;
    sp.Duration = 135000;
    sp.Data = SmallSpu();
    sp.Desc.Kind = MPK_SUBPICTURE;
    sp.Desc.StreamId = 0x20;
    packets.push_back(sp);
  }
  const TMuxRun run = Mux(cluster, streams, packets);
  ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);

  // The member files: full ones of exactly the member size, each opening with a pack.
  ASSERT_GE(cluster.Count(), 2u);
  size_t used = 0;
  for (size_t i = 0; i < cluster.Count(); ++i) {
    const auto& name = cluster.Item(i).FileName;
    if (!std::filesystem::exists(name) || std::filesystem::file_size(name) == 0) break;
    ++used;
    const auto size = std::filesystem::file_size(name);
    EXPECT_EQ(size % 2048, 0u) << name;
    if (i + 1 < cluster.Count() && std::filesystem::exists(cluster.Item(i + 1).FileName)) {
      EXPECT_EQ(size, 256u * 2048) << name;
    }
  }
  EXPECT_GE(used, 2u);

  const std::vector<uint8_t> vob = ReadAll(cluster);
  const TScan scan = ScanVob(vob);
  for (const std::string& f : scan.Faults) ADD_FAILURE() << f;

  // Every stream comes back byte for byte.
  EXPECT_EQ(scan.Payload.at(0xE0), Concat(packets, 0));
  EXPECT_EQ(scan.Payload.at(0x80), Concat(packets, 1));
  EXPECT_EQ(scan.Payload.at(0xC1), Concat(packets, 2));
  EXPECT_EQ(scan.Payload.at(0x20), Concat(packets, 3));

  // So do ffmpeg's stream copies out of the joined VOB files.
  test::WriteFile(out / "all.vob", std::string(vob.begin(), vob.end()));
  const struct {
    const char* map;
    const char* format;
    int stream;
  } copies[] = {{"0:v:0", "mpeg2video", 0}, {"0:a:0", "ac3", 1}, {"0:a:1", "mp2", 2}};
  for (const auto& c : copies) {
    const auto copy = out / (std::string("copy.") + c.format);
    ASSERT_EQ(test::RunCommand("ffmpeg -v error -y -i \"" + (out / "all.vob").string() + "\" -map " + c.map +
                               " -c copy -f " + c.format + " \"" + copy.string() + "\""),
              0);
    const std::string bytes = test::ReadFile(copy);
    EXPECT_TRUE(std::vector<uint8_t>(bytes.begin(), bytes.end()) == Concat(packets, c.stream)) << c.format;
  }

  // AC-3: the first access unit pointer of every pack lands on a sync word.
  const std::vector<uint8_t>& ac3 = scan.Payload.at(0x80);
  size_t offset = 0;
  const auto& headers = scan.AudioHeaders.at(0x80);
  const auto& sizes = scan.PackPayloadSizes.at(0x80);
  ASSERT_EQ(headers.size(), sizes.size());
  for (size_t i = 0; i < headers.size(); ++i) {
    const auto [frames, pointer] = headers[i];
    if (frames > 0) {
      ASSERT_GE(pointer, 1);
      const size_t sync = offset + static_cast<size_t>(pointer) - 1;
      ASSERT_LT(sync + 1, ac3.size());
      EXPECT_EQ(ac3[sync], 0x0B) << "pack " << i;
      EXPECT_EQ(ac3[sync + 1], 0x77) << "pack " << i;
      // The frame count is the number of sync words that begin in the pack (768-byte frames).
      int starts = 0;
      for (size_t b = offset; b < offset + sizes[i]; ++b)
        if ((b % 768) == 0) ++starts;
      EXPECT_EQ(frames, starts) << "pack " << i;
    }
    offset += sizes[i];
  }

  // Navigation packs: neighbours, reference picture ends and synchronisation point
  // where they should.
  ASSERT_EQ(scan.Navs.size(), run.Collection->Vobus.size());
  for (size_t i = 0; i < scan.Navs.size(); ++i) {
    const auto& n = scan.Navs[i];
    const uint32_t size = n.Dsi.dsi_gi.vobu_ea + 1;
    const bool last = i + 1 == scan.Navs.size();
    EXPECT_EQ(n.Dsi.vobu_sri.next_vobu, last ? 0x3FFFFFFFu : 0x80000000u | size) << i;
    EXPECT_EQ(n.Dsi.vobu_sri.next_video, last ? 0xBFFFFFFFu : 0x80000000u | size) << i;
    if (i > 0) {
      EXPECT_EQ(n.Dsi.vobu_sri.prev_vobu, 0x80000000u | (n.Sector - scan.Navs[i - 1].Sector)) << i;
    } else {
      EXPECT_EQ(n.Dsi.vobu_sri.prev_vobu, 0x3FFFFFFFu);
    }
    EXPECT_EQ(n.Dsi.dsi_gi.vobu_vob_idn, 1);
    EXPECT_EQ(n.Dsi.dsi_gi.vobu_c_idn, 1);
    // The first reference picture ends in a video pack of this VOBU.
    const uint32_t ref = n.Dsi.dsi_gi.vobu_1stref_ea;
    ASSERT_GT(ref, 0u) << i;
    ASSERT_LT(ref, size) << i;
    EXPECT_EQ(scan.PackKey[n.Sector + ref], 0xE0) << i;
    // Audio stream 0 (AC-3) and 1 (MP2): their first packs in the VOBU.
    for (unsigned a = 0; a < 2; ++a) {
      const uint16_t sync = n.Dsi.synci.a_synca[a];
      if (sync != 0x3FFF) {
        ASSERT_LT(sync, size) << i;
        EXPECT_EQ(scan.PackKey[n.Sector + sync], a == 0 ? 0x80 : 0xC1) << i << " audio " << a;
      }
    }
    // Elapsed time in the cell, in frames of 3600 ticks.
    const int64_t frames = (run.Collection->Vobus[i].StartTime - run.Collection->Vobus[0].StartTime) / 3600;
    EXPECT_EQ(n.Pci.pci_gi.e_eltm.second, (frames / 25) / 10 << 4 | (frames / 25) % 10) << i;
    EXPECT_EQ(n.Pci.pci_gi.e_eltm.frame_u, 0x40 | (frames % 25) / 10 << 4 | (frames % 25) % 10) << i;
    EXPECT_EQ(n.Pci.pci_gi.vobu_e_ptm - n.Pci.pci_gi.vobu_s_ptm,
              run.Collection->Vobus[i].EndTime - run.Collection->Vobus[i].StartTime);
  }
  // Sub-picture stream 0: none before its first unit (at 1 s); afterwards the VOBU that
  // holds the unit shown.
  EXPECT_EQ(scan.Navs[0].Dsi.synci.sp_synca[0], 0u);
  EXPECT_EQ(scan.Navs.back().Dsi.synci.sp_synca[0] & 0x80000000u, 0x80000000u);

  // The collection matches the file.
  const TVobuCollection& c = *run.Collection;
  EXPECT_EQ(c.Vobus.size(), scan.NavPacks);
  EXPECT_EQ(c.BytesWritten, static_cast<int64_t>(vob.size()));
  EXPECT_EQ(c.LastSector, static_cast<int32_t>(vob.size() / 2048 - 1));
  ASSERT_EQ(c.Cells.size(), 1u);
  EXPECT_EQ(c.Cells[0].FirstSector, 0u);
  EXPECT_EQ(c.Cells[0].LastSector, vob.size() / 2048 - 1);
  EXPECT_EQ(c.Cells[0].VobuCount, static_cast<int32_t>(c.Vobus.size()));
  EXPECT_EQ(c.AudioStreamCount, 2);
  EXPECT_EQ(c.AudioAttributes(0)[0], 0x04);  // AC-3, language set
  EXPECT_EQ(c.AudioAttributes(1)[0], 0x44);  // MPEG-1, language set
  EXPECT_TRUE(c.SubpicturePresent[0]);
  EXPECT_EQ(c.OverflowCount, 0);
  EXPECT_EQ(c.UnderflowCount, 0);
  EXPECT_NEAR(c.TotalDurationMs(), 3000, 100);
  for (size_t i = 1; i < c.Vobus.size(); ++i) EXPECT_GT(c.Vobus[i].StartSector, c.Vobus[i - 1].StartSector);
  EXPECT_TRUE(c.TimeMap(1));

  // ffprobe reads the first VOB file without a complaint and finds the four streams.
  std::string probe;
  EXPECT_EQ(test::RunCommand("ffprobe -v error -probesize 5000000 -show_entries stream=codec_name -of csv=p=0 \"" +
                                 cluster.Item(0).FileName.string() + "\" 2>&1",
                             &probe),
            0);
  EXPECT_NE(probe.find("mpeg2video"), std::string::npos) << probe;
  EXPECT_NE(probe.find("ac3"), std::string::npos) << probe;
  EXPECT_NE(probe.find("mp2"), std::string::npos) << probe;
  EXPECT_NE(probe.find("dvd_subtitle"), std::string::npos) << probe;
  // dvdauthor's sub-picture extractor finds both units where they were put.
  std::string xml;
  ASSERT_EQ(test::RunCommand("cd \"" + out.path().string() + "\" && spuunmux -o sp \"" +
                                 cluster.Item(0).FileName.string() + "\" >/dev/null 2>&1 && cat sp.xml",
                             &xml),
            0);
  size_t units = 0;
  for (size_t at = xml.find("<spu "); at != std::string::npos; at = xml.find("<spu ", at + 1)) ++units;
  EXPECT_EQ(units, 2u) << xml;
  EXPECT_NE(xml.find("xoffset=\"10\" yoffset=\"20\""), std::string::npos) << xml;
  std::string errors;
  test::RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 \"" + cluster.Item(0).FileName.string() +
                       "\" 2>&1 >/dev/null",
                   &errors);
  EXPECT_EQ(errors, "");
}

// A second VOB id restarts the clock, announces every stream's buffer again and keeps
// audio in step with video (audio is rebased like everything else).
TEST_F(DvdMux, ASecondVobRestartsTheClock) {
  TempDir out;
  TFileCluster cluster;
  cluster.SetPath(out.path().string() + "/");
  cluster.PrepareVobOutput(1, false);
  std::vector<TInPacket> packets = *packets_;
  // VOB 2 from the I picture at 1.44 s on; its times keep running, as a title's do.
  int64_t split = 0;
  for (const TInPacket& p : packets)
    if (p.Desc.PictureType == PICT_I && p.Dts >= 120000 && (split == 0 || p.Dts < split)) split = p.Dts;
  ASSERT_GT(split, 0);
  for (TInPacket& p : packets)
    if (p.Dts >= split) p.Desc.VobId = 2;
  const TMuxRun run = Mux(cluster, Streams(), packets);
  ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
  const TScan scan = ScanVob(ReadAll(cluster));
  for (const std::string& f : scan.Faults) ADD_FAILURE() << f;
  for (int key : {0xE0, 0x80, 0xC1}) EXPECT_EQ(scan.PstdPacks.at(key), 2) << key;
  ASSERT_EQ(run.Collection->Cells.size(), 2u);
  EXPECT_EQ(run.Collection->Cells[1].VobId, 2);
  EXPECT_EQ(run.Collection->Cells[1].VobBase, split);
  EXPECT_EQ(run.Collection->Cells[1].FirstSector, run.Collection->Cells[0].LastSector + 1);
  for (int vob : {1, 2}) {
    const auto& first = scan.FirstPts.at(vob);
    EXPECT_LT(first.at(0xE0), 90000) << "VOB " << vob;
    EXPECT_NEAR(static_cast<double>(first.at(0x80)), static_cast<double>(first.at(0xE0)), 18000) << "VOB " << vob;
  }
}

// DTS frames fill packs whole: one large frame or two small ones each.
TEST_F(DvdMux, DtsFramesFillPacksWhole) {
  for (size_t frame : {TDvdMux::kDtsFrameLarge, TDvdMux::kDtsFrameSmall}) {
    TempDir out;
    TFileCluster cluster;
    cluster.SetPath(out.path().string() + "/");
    cluster.PrepareVobOutput(1, false);
    std::vector<TInPacket> packets;
    for (const TInPacket& p : *packets_)
      if (p.Stream == 0) packets.push_back(p);
    const int64_t duration = frame == TDvdMux::kDtsFrameLarge ? 960 : 480;
    for (int64_t t = 0; t < 270000; t += duration) {
      TInPacket a;
      a.Stream = 1;
      a.Pts = a.Dts = t;
      a.Duration = duration;
      a.Data.assign(frame, static_cast<uint8_t>(t / duration));
      a.Data[0] = 0x7F;
      a.Data[1] = 0xFE;
      a.Desc.Kind = MPK_AUDIO;
      a.Desc.StreamId = 0x88;
      packets.push_back(a);
    }
    const TMuxRun run = Mux(cluster, {Streams()[0], {MPK_AUDIO, AV_CODEC_ID_DTS, 6, ""}}, packets);
    ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
    const TScan scan = ScanVob(ReadAll(cluster));
    for (const std::string& f : scan.Faults) ADD_FAILURE() << f;
    EXPECT_EQ(scan.Payload.at(0x88), Concat(packets, 1));
    const auto& headers = scan.AudioHeaders.at(0x88);
    const auto& sizes = scan.PackPayloadSizes.at(0x88);
    for (size_t i = 0; i < headers.size(); ++i) {
      EXPECT_EQ(headers[i].second, 1) << i;
      EXPECT_EQ(sizes[i], static_cast<size_t>(headers[i].first) * frame) << i;
      // Only the very last pack may hold a single small frame.
      if (i + 1 < headers.size()) {
        EXPECT_EQ(headers[i].first, frame == TDvdMux::kDtsFrameLarge ? 1 : 2) << i;
      }
    }
  }
}

// Inputs the multiplexer cannot take end the run with a logged error.
TEST_F(DvdMux, BadInputsFailWithALoggedError) {
  struct Case {
    const char* name;
    std::vector<TDvdMuxStream> streams;
    std::vector<uint8_t> audio;  // one audio packet after the first second of video
    const char* error;
    uint8_t id = 0x80;
  };
  std::vector<uint8_t> bigAc3(10240, 0);
  bigAc3[0] = 0x0B;
  bigAc3[1] = 0x77;
  const std::vector<TDvdMuxStream> dts = {Streams()[0], {MPK_AUDIO, AV_CODEC_ID_DTS, 6, ""}};
  const std::vector<TDvdMuxStream> ac3 = {Streams()[0], {MPK_AUDIO, AV_CODEC_ID_AC3, 2, ""}};
  const Case cases[] = {
      {"LPCM", {Streams()[0], {MPK_AUDIO, AV_CODEC_ID_PCM_S16BE, 2, ""}}, {}, "PCM muxing not yet supported"},
      {"1000-byte DTS frame", dts, std::vector<uint8_t>(1000, 0), "Wrong DTS frame size"},
      {"10 KB AC-3 packet", ac3, bigAc3, "larger than an AC-3 frame"},
      {"AC-3 packet without sync word", ac3, std::vector<uint8_t>(768, 0), "does not begin with a frame"},
      {"undeclared audio stream", ac3, std::vector<uint8_t>{0x0B, 0x77, 0, 0}, "beyond the 1 audio streams", 0x81},
  };
  for (const Case& c : cases) {
    TempDir out;
    TFileCluster cluster;
    cluster.SetPath(out.path().string() + "/");
    cluster.PrepareVobOutput(1, false);
    std::vector<TInPacket> packets;
    for (const TInPacket& p : *packets_)
      if (p.Stream == 0 && p.Dts < 90000) packets.push_back(p);
    TInPacket a;
    a.Stream = 1;
    a.Pts = a.Dts = 90000;
    a.Duration = 2880;
    a.Data = c.audio.empty() ? std::vector<uint8_t>(100, 0) : c.audio;
    a.Desc.Kind = MPK_AUDIO;
    a.Desc.StreamId = c.id;
    packets.push_back(a);
    const TMuxRun run = Mux(cluster, c.streams, packets);
    EXPECT_FALSE(run.Ok) << c.name;
    ASSERT_FALSE(run.Errors.empty()) << c.name;
    EXPECT_NE(run.Errors[0].find(c.error), std::string::npos) << c.name << ": " << run.Errors[0];
  }
}

TEST_F(DvdMux, OutputProblemsFailWithALoggedError) {
  std::vector<TInPacket> video;
  for (const TInPacket& p : *packets_)
    if (p.Stream == 0) video.push_back(p);
  const std::vector<TDvdMuxStream> streams = {Streams()[0]};
  {
    // An existing output whose size is not whole sectors would misplace every address.
    TempDir out;
    test::WriteFile(out / "VTS_01_1.VOB", std::string(1000, 'x'));
    TFileCluster cluster;
    cluster.SetPath(out.path().string() + "/");
    cluster.PrepareVobOutput(1, false);
    const TMuxRun run = Mux(cluster, streams, video);
    EXPECT_FALSE(run.Ok);
    ASSERT_EQ(run.Errors.size(), 1u);
    EXPECT_NE(run.Errors[0].find("not a whole number of sectors"), std::string::npos) << run.Errors[0];
  }
  {
    // A full disk: the only file may hold 20 sectors.
    TempDir out;
    TFileCluster cluster;
    cluster.AddFile(out / "VTS_01_1.VOB", 20 * 2048);
    const TMuxRun run = Mux(cluster, streams, video);
    EXPECT_FALSE(run.Ok);
    ASSERT_FALSE(run.Errors.empty());
    EXPECT_NE(run.Errors[0].find("Cannot write the VOB files"), std::string::npos) << run.Errors[0];
  }
  {
    // A run appended to existing sectors numbers its VOBUs after them.
    TempDir out;
    test::WriteFile(out / "VIDEO_TS.VOB", std::string(4096, '\0'));
    TFileCluster cluster;
    cluster.SetPath(out.path().string() + "/");
    cluster.PrepareVobOutput(0, true);
    const TMuxRun run = Mux(cluster, streams, video);
    ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
    EXPECT_EQ(run.Collection->Vobus.front().StartSector, 2u);
    EXPECT_EQ(run.Collection->Cells.front().FirstSector, 2u);
  }
}

// A menu still: one picture and its highlight sub-picture. The VOBU lasts half a second,
// the cell keeps the group's duration, and the navigation pack describes the buttons.
TEST_F(DvdMux, AStillIsShownForHalfASecondWithItsButtons) {
  TempDir out;
  TFileCluster cluster;
  cluster.SetPath(out.path().string() + "/");
  cluster.PrepareVobOutput(0, true);
  auto page = std::make_shared<TNavHighlight>();
  TNavButton button;
  button.XStart = 100;
  button.XEnd = 300;
  button.YStart = 200;
  button.YEnd = 250;
  button.Up = button.Down = button.Left = button.Right = 1;
  page->Buttons.push_back(button);

  std::vector<TInPacket> packets = {packets_->front()};
  ASSERT_EQ(packets[0].Desc.PictureType, PICT_I);
  TInPacket sp;
  sp.Stream = 1;
  sp.Pts = sp.Dts = packets[0].Dts - 1;
  sp.Data = SmallSpu();
  sp.Desc.Kind = MPK_SUBPICTURE;
  sp.Desc.StreamId = 0x20;
  sp.Desc.Highlight = page;
  packets.push_back(sp);
  const TMuxRun run = Mux(cluster, {Streams()[0], {MPK_SUBPICTURE, AV_CODEC_ID_DVD_SUBTITLE, 0, ""}}, packets);
  ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
  const TVobuCollection& c = *run.Collection;
  ASSERT_EQ(c.Vobus.size(), 1u);
  EXPECT_EQ(c.Vobus[0].Length(), 43200);
  ASSERT_EQ(c.Cells.size(), 1u);
  EXPECT_EQ(c.Cells[0].Duration, 3600);
  EXPECT_EQ(c.Cells[0].MenuPage, page);
  EXPECT_EQ(c.UnderflowCount, 0);

  const TScan scan = ScanVob(ReadAll(cluster));
  for (const std::string& f : scan.Faults) ADD_FAILURE() << f;
  ASSERT_EQ(scan.Navs.size(), 1u);
  const pci_t& pci = scan.Navs[0].Pci;
  EXPECT_EQ(pci.hli.hl_gi.hli_ss, 1);
  EXPECT_EQ(pci.hli.hl_gi.btn_ns, 1);
  EXPECT_EQ(pci.hli.btnit[0].x_start, 100);
  EXPECT_EQ(pci.hli.btnit[0].y_end, 250);
  EXPECT_EQ(pci.pci_gi.vobu_e_ptm - pci.pci_gi.vobu_s_ptm, 43200u);
  // Alone in its cell: no neighbours and no search targets.
  EXPECT_EQ(scan.Navs[0].Dsi.vobu_sri.next_vobu, 0x3FFFFFFFu);
  EXPECT_EQ(scan.Navs[0].Dsi.vobu_sri.prev_vobu, 0x3FFFFFFFu);
  EXPECT_EQ(scan.Navs[0].Dsi.vobu_sri.fwda[0], 0x3FFFFFFFu);
  EXPECT_EQ(scan.Navs[0].Dsi.vobu_sri.bwda[18], 0x3FFFFFFFu);
}

// The search pointers reach two minutes back and forth within a cell, however many
// VOBUs have been written since.
TEST_F(DvdMux, SearchPointersReachTwoMinutes) {
  TempDir out;
  TFileCluster cluster;
  cluster.SetPath(out.path().string() + "/");
  cluster.PrepareVobOutput(1, false);
  // 160 s of half-second VOBUs, each one small picture: two sectors per VOBU. The
  // multiplexer never looks inside a picture.
  constexpr int kCount = 320;
  std::vector<TInPacket> packets;
  for (int k = 0; k < kCount; ++k) {
    TInPacket p;
    p.Dts = int64_t{45000} * k;
    p.Pts = p.Dts + 3600;
    p.Duration = 3600;
    p.Data.assign(100, static_cast<uint8_t>(k));
    p.Desc.Kind = MPK_VIDEO;
    p.Desc.PictureType = PICT_I;
    p.Desc.GopTime = k ? 45000 : 0;
    packets.push_back(p);
  }
  const TMuxRun run = Mux(cluster, {Streams()[0]}, packets, 160000000);
  ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
  const TScan scan = ScanVob(ReadAll(cluster));
  ASSERT_EQ(scan.Navs.size(), static_cast<size_t>(kCount));
  constexpr int kTwoMinutes = 240;  // VOBUs
  for (int i = 0; i < kCount; ++i) {
    const auto& sri = scan.Navs[static_cast<size_t>(i)].Dsi.vobu_sri;
    const uint32_t back = sri.bwda[18], forward = sri.fwda[0];  // the 120 s entries
    if (i >= kTwoMinutes) {
      ASSERT_EQ(back & 0x80000000u, 0x80000000u) << i;
      EXPECT_EQ(back & 0x3FFFFFFFu, 2u * kTwoMinutes) << i;
    } else {
      EXPECT_EQ(back & 0x80000000u, 0u) << i;
    }
    if (i + kTwoMinutes < kCount) {
      ASSERT_EQ(forward & 0x80000000u, 0x80000000u) << i;
      EXPECT_EQ(forward & 0x3FFFFFFFu, 2u * kTwoMinutes) << i;
    } else {
      EXPECT_EQ(forward & 0x80000000u, 0u) << i;
    }
  }
  // Time map of 4-second units: 40 entries, each the VOBU before the one starting then.
  const auto map = run.Collection->TimeMap(4);
  ASSERT_TRUE(map);
  ASSERT_EQ(map->Entries.size(), 40u);
  EXPECT_EQ(map->Entries[0], scan.Navs[7].Sector);  // VOBU 8 starts at 4 s + one frame
}

// NTSC: 3003-tick frames, the 30-frame code in elapsed times.
TEST_F(DvdMux, NtscRun) {
  TempDir in, out;
  ASSERT_TRUE(test::MakeMedia(in / "ntsc.nut",
                              "-f lavfi -i testsrc=size=720x480:rate=30000/1001 -t 2 -c:v mpeg2video -g 15 -bf 2"));
  const std::vector<TInPacket> packets = ReadPackets(in / "ntsc.nut", {0xE0});
  TFileCluster cluster;
  cluster.SetPath(out.path().string() + "/");
  cluster.PrepareVobOutput(1, false);
  const TMuxRun run = Mux(cluster, {Streams()[0]}, packets, 2000000, "ntsc");
  ASSERT_TRUE(run.Ok) << (run.Errors.empty() ? "" : run.Errors[0]);
  EXPECT_EQ(run.Collection->FrameRate, 30);
  const TScan scan = ScanVob(ReadAll(cluster));
  for (const std::string& f : scan.Faults) ADD_FAILURE() << f;
  ASSERT_GE(scan.Navs.size(), 2u);
  const int64_t frames = (run.Collection->Vobus[1].StartTime - run.Collection->Vobus[0].StartTime) / 3003;
  ASSERT_LT(frames, 30);
  EXPECT_EQ(scan.Navs[1].Pci.pci_gi.e_eltm.frame_u, 0xC0 | (frames / 10) << 4 | frames % 10);
  EXPECT_EQ(scan.Payload.at(0xE0), Concat(packets, 0));
}
