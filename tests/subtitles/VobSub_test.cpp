// VobSub pairs: the .idx reader, the .sub pack walker and the events they give, checked
// against ffprobe's reading of the same pair, and against broken files.
#include "subtitles/U_Subtitles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>

namespace vidoria {
namespace {

using Bytes = std::vector<uint8_t>;
using test::TempDir;
using test::WriteFile;

// A sub-picture unit of a w x h picture (w even) in alternating colours 1 and 2, shown
// from its start until `stopTicks` (1024/90000 s units).
Bytes MakeUnit(int w, int h, uint16_t stopTicks = 100) {
  Bytes line(static_cast<size_t>(w / 2), 0x56);  // two one-pixel runs per byte: colour 1, colour 2
  Bytes top, bottom;
  for (int y = 0; y < h; ++y) (y % 2 ? bottom : top).insert((y % 2 ? bottom : top).end(), line.begin(), line.end());
  const size_t topAt = 4, bottomAt = topAt + top.size(), ctrl = bottomAt + bottom.size();
  const size_t second = ctrl + 4 + 3 + 3 + 7 + 5 + 1 + 1;
  const size_t size = second + 6;
  auto be16 = [](Bytes& b, size_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  };
  Bytes u;
  be16(u, size);
  be16(u, ctrl);
  u.insert(u.end(), top.begin(), top.end());
  u.insert(u.end(), bottom.begin(), bottom.end());
  be16(u, 0);
  be16(u, second);
  u.insert(u.end(), {0x03, 0x32, 0x10, 0x04, 0xFF, 0xF0});
  const int x2 = w - 1, y2 = h - 1;
  u.insert(u.end(), {0x05, 0x00, static_cast<uint8_t>(x2 >> 8), static_cast<uint8_t>(x2), 0x00,
                     static_cast<uint8_t>(y2 >> 8), static_cast<uint8_t>(y2)});
  u.push_back(0x06);
  be16(u, topAt);
  be16(u, bottomAt);
  u.insert(u.end(), {0x01, 0xFF});
  be16(u, stopTicks);
  be16(u, second);
  u.insert(u.end(), {0x02, 0xFF});
  EXPECT_EQ(u.size(), size);
  return u;
}

// Writes `unit` as 2048-byte MPEG-2 packs of private stream 1, sub-stream `id`.
// Returns the packs; the first PES packet carries the presentation time.
std::vector<Bytes> PackUnit(const Bytes& unit, uint8_t id, int64_t pts90k) {
  std::vector<Bytes> packs;
  size_t done = 0;
  while (done < unit.size()) {
    const bool first = done == 0;
    Bytes p = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    const size_t headerData = first ? 5 : 0;
    const size_t room = kSubPackSize - p.size() - 9 - headerData - 1;
    size_t take = std::min(room, unit.size() - done);
    size_t gap = room - take;
    size_t stuffing = gap < 6 ? gap : 0;  // too small for a padding packet
    size_t pesLength = 3 + headerData + stuffing + 1 + take;
    p.insert(p.end(), {0x00, 0x00, 0x01, 0xBD, static_cast<uint8_t>(pesLength >> 8), static_cast<uint8_t>(pesLength),
                       0x81, static_cast<uint8_t>(first ? 0x80 : 0x00), static_cast<uint8_t>(headerData + stuffing)});
    if (first)
      p.insert(p.end(), {static_cast<uint8_t>(0x21 | ((pts90k >> 29) & 0x0E)), static_cast<uint8_t>(pts90k >> 22),
                         static_cast<uint8_t>(0x01 | ((pts90k >> 14) & 0xFE)), static_cast<uint8_t>(pts90k >> 7),
                         static_cast<uint8_t>(0x01 | ((pts90k << 1) & 0xFE))});
    p.insert(p.end(), stuffing, 0xFF);
    p.push_back(id);
    p.insert(p.end(), unit.begin() + static_cast<std::ptrdiff_t>(done),
             unit.begin() + static_cast<std::ptrdiff_t>(done + take));
    done += take;
    if (gap >= 6) {
      size_t len = gap - 6;
      p.insert(p.end(), {0x00, 0x00, 0x01, 0xBE, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
      p.insert(p.end(), len, 0xFF);
    }
    EXPECT_EQ(p.size(), kSubPackSize);
    packs.push_back(std::move(p));
  }
  return packs;
}

std::string AsString(const std::vector<Bytes>& packs) {
  std::string s;
  for (const auto& p : packs) s.append(p.begin(), p.end());
  return s;
}

const char* kPalette =
    "palette: ffff00, ffffff, 000000, 808080, ff0000, 00ff00, 0000ff, 123456, "
    "abcdef, 000001, 000002, 000003, 000004, 000005, 000006, 000007\n";

struct Unit {
  int stream;
  int64_t ms;
  Bytes data;
};

// A pair of two streams. Interleaved, the second stream's pack sits between the packs
// of the first stream's first unit, so the walker must step over it; otherwise every
// unit's packs follow one another, as most writers lay them out.
struct Pair {
  std::string idx, sub;
  std::vector<Unit> units;  // in .idx order per stream
};

Pair MakePair(const char* size = "720x576", bool interleaved = true) {
  Pair pair;
  Unit a{0, 1000, MakeUnit(720, 12)};   // about 4.3 KiB: three packs
  Unit b{1, 1500, MakeUnit(40, 4)};     // one pack
  Unit c{0, 62003, MakeUnit(100, 10)};  // one pack
  auto pa = PackUnit(a.data, 0x20, a.ms * 90), pb = PackUnit(b.data, 0x21, b.ms * 90),
       pc = PackUnit(c.data, 0x20, c.ms * 90);
  std::vector<Bytes> packs = interleaved ? std::vector<Bytes>{pa[0], pb[0], pa[1], pa[2], pc[0]}
                                        : std::vector<Bytes>{pa[0], pa[1], pa[2], pb[0], pc[0]};
  pair.sub = AsString(packs);
  char line[128];
  pair.idx = std::string("# VobSub index file, v7 (do not modify this line!)\n") + "size: " + size + "\n" + kPalette;
  pair.idx += "id: en, index: 0\n";
  std::snprintf(line, sizeof line, "timestamp: 00:00:01:000, filepos: %09X\n", 0);
  pair.idx += line;
  std::snprintf(line, sizeof line, "timestamp: 00:01:02:003, filepos: %09X\n", 4 * 2048);
  pair.idx += line;
  pair.idx += "id: fr, index: 1\n";
  std::snprintf(line, sizeof line, "timestamp: 00:00:01:500, filepos: %09X\n", (interleaved ? 1 : 3) * 2048);
  pair.idx += line;
  pair.units = {a, c, b};
  return pair;
}

struct Got {
  std::vector<TSttPacket> packets;  // Frame cleared: the events go with the list
  std::vector<int> streams;         // stream index of each packet's event
  std::vector<std::string> log;
};

// Loads a pair attached to a title, every stream with an output stream, and drains the
// packets.
Got Drain(const std::filesystem::path& name, bool* loadAll = nullptr, std::vector<bool> discard = {}) {
  TSttList list;
  Got got;
  list.LogCallback = [&](const void*, TSeverity, const std::string& t) { got.log.push_back(t); };
  TSttFile& file = list.AddFile();
  file.SetFileName(name);
  bool ok = list.LoadAll();
  if (loadAll) *loadAll = ok;
  for (int n = 0; n < file.StreamCount(); ++n) file.AttachOutputStream(n, 1 + n);
  for (size_t i = 0; i < discard.size(); ++i) file.SetStreamDiscarded(static_cast<int>(i), discard[i]);
  TSttPacket packet;
  for (int64_t r; (r = list.NextPacket(packet, true)) >= 0;)
    if (r > 0) {
      got.streams.push_back(packet.Frame->StreamIndex());
      packet.Frame = nullptr;
      got.packets.push_back(packet);
    }
  list.CloseAll();
  return got;
}

TEST(VobSub, ReadsIndexAndUnits) {
  TempDir dir;
  Pair pair = MakePair();
  WriteFile(dir / "Movie.IDX", pair.idx);
  WriteFile(dir / "movie.Sub", pair.sub);

  TSttFile standalone;
  standalone.SetFileName(dir / "Movie.IDX");  // the .sub is found whatever its case
  EXPECT_EQ(standalone.FileType(), STTF_SUBIDX);
  EXPECT_EQ(standalone.FileName(), dir / "movie.Sub");
  EXPECT_EQ(standalone.EventCount(), 3);
  EXPECT_EQ(standalone.StreamCount(), 2);
  EXPECT_EQ(standalone.GetStreamLanguage(0), "en");
  EXPECT_EQ(standalone.GetStreamLanguage(1), "fr");
  EXPECT_EQ(standalone.PictureWidth(), 720);
  EXPECT_EQ(standalone.PictureHeight(), 576);
  ASSERT_TRUE(standalone.HasPalette());
  EXPECT_EQ(standalone.Palette()[0], 0xFFFF00u);
  EXPECT_EQ(standalone.Palette()[7], 0x123456u);

  Got got = Drain(dir / "movie.Sub");
  EXPECT_TRUE(got.log.empty()) << got.log[0];
  ASSERT_EQ(got.packets.size(), 3u);
  // Sorted by time across streams.
  const Unit* expected[] = {&pair.units[0], &pair.units[2], &pair.units[1]};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got.packets[i].Pts, expected[i]->ms * 90);
    EXPECT_EQ(got.packets[i].Duration, 0);
    EXPECT_EQ(got.packets[i].Data, expected[i]->data) << i;
    EXPECT_EQ(got.packets[i].StreamIndex, 1 + expected[i]->stream);
  }
}

TEST(VobSub, DiscardedStreamsAndStandard) {
  TempDir dir;
  Pair pal = MakePair(), ntsc = MakePair("720x480");
  WriteFile(dir / "a.idx", pal.idx);
  WriteFile(dir / "a.sub", pal.sub);
  WriteFile(dir / "b.idx", ntsc.idx);
  WriteFile(dir / "b.sub", ntsc.sub);

  Got got = Drain(dir / "a.idx", nullptr, {true, false});
  ASSERT_EQ(got.packets.size(), 1u);
  EXPECT_EQ(got.streams[0], 1);

  TSttList list;
  list.AddFile().SetFileName(dir / "b.sub");
  bool isPal = true;
  EXPECT_TRUE(list.DetectSubIdxStandard(isPal));
  EXPECT_FALSE(isPal);
  EXPECT_TRUE(list.LoadAll());
  list.AddFile().SetFileName(dir / "a.sub");
  EXPECT_FALSE(list.LoadAll());  // 480 and 576 lines in one title

  TSttList none;
  EXPECT_FALSE(none.DetectSubIdxStandard(isPal));
}

TEST(VobSub, IndexLines) {
  struct Case {
    const char* name;
    std::string body;
    bool ok;
    std::vector<std::tuple<int64_t, int64_t, int>> entries;  // ms, filepos, stream
    int warnings;
  } cases[] = {
      {"id with index 1", "id: fr, index: 1\ntimestamp: 00:00:02:500, filepos: 00000A800\n", true, {{2500, 0xA800, 1}}, 0},
      {"filepos not hexadecimal", "id: en, index: 0\ntimestamp: 00:00:02:500, filepos: 0000G0000\n", true, {}, 1},
      {"no id line: stream 0", "timestamp: 01:00:00:001, filepos: 000000800\n", true, {{3600001, 0x800, 0}}, 0},
      {"index beyond 31 skips its events",
       "id: en, index: 40\ntimestamp: 00:00:01:000, filepos: 0\nid: de, index: 2\ntimestamp: 00:00:03:000, filepos: 0\n",
       true,
       {{3000, 0, 2}},
       1},
      {"huge filepos", "timestamp: 00:00:01:000, filepos: FFFFFFFFFFFFFFFFFFFF\n", true, {}, 1},
      {"1080 lines is not DVD", "size: 1920x1080\n", false, {}, 0},
      {"three-digit prefix of a height is not taken", "size: 720x5760\n", false, {}, 0},
      {"CRLF lines", "size: 720x480\r\nid: en, index: 0\r\ntimestamp: 00:00:01:000, filepos: 000000000\r\n", true,
       {{1000, 0, 0}}, 0},
  };
  for (const auto& c : cases) {
    TIdxContents idx;
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_EQ(ParseIdx(c.body, idx, warnings, error), c.ok) << c.name;
    std::vector<std::tuple<int64_t, int64_t, int>> entries;
    for (auto& e : idx.Entries) entries.emplace_back(e.Start, e.FilePos, e.StreamIndex);
    if (c.ok) {
      EXPECT_EQ(entries, c.entries) << c.name;
    } else {
      EXPECT_FALSE(error.empty()) << c.name;
    }
    EXPECT_EQ(static_cast<int>(warnings.size()), c.warnings) << c.name;
  }
}

TEST(VobSub, BadSubFilesSkipUnitsWithAWarning) {
  Pair pair = MakePair();
  struct Case {
    const char* name;
    std::string idx, sub;
    size_t packets;  // produced
  } cases[] = {
      {"filepos past the end", pair.idx + "timestamp: 00:10:00:000, filepos: 000100000\n", pair.sub, 3},
      {"truncated: the last unit is cut off", pair.idx, pair.sub.substr(0, 4 * 2048 + 100), 2},
      {"truncated inside the multi-pack unit", pair.idx, pair.sub.substr(0, 3 * 2048), 1},
      {"bad pack start code", pair.idx, std::string(2048, '\0') + pair.sub.substr(2048), 2},
      {"bad PES length", pair.idx, [&] {
         std::string s = pair.sub;
         s[14 + 4] = '\x7F';
         return s;
       }(), 2},
      {"unit size below 4", pair.idx, [&] {
         std::string s = pair.sub;
         size_t at = 4 * 2048 + 14 + 9 + 5 + 1;  // first unit byte of the last unit
         s[at] = 0;
         s[at + 1] = 2;
         return s;
       }(), 2},
  };
  for (const auto& c : cases) {
    TempDir dir;
    WriteFile(dir / "x.idx", c.idx);
    WriteFile(dir / "x.sub", c.sub);
    Got got = Drain(dir / "x.idx");
    EXPECT_EQ(got.packets.size(), c.packets) << c.name;
    EXPECT_FALSE(got.log.empty()) << c.name;
  }
}

TEST(VobSub, MissingHalfOfThePair) {
  TempDir dir;
  WriteFile(dir / "only.idx", MakePair().idx);
  std::vector<std::pair<TSeverity, std::string>> log;
  TSttFile file;
  file.LogCallback = [&](const void*, TSeverity s, const std::string& t) { log.emplace_back(s, t); };
  file.SetFileName(dir / "only.idx");
  EXPECT_EQ(file.FileType(), STTF_NONE);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].first, EVT_ERROR);
  EXPECT_EQ(log[0].second, "subtitle file (" + (dir / "only").string() + ".sub or .idx) is missing");
}

TEST(VobSub, UnitsWithoutOutputStreamAreNotMuxed) {
  TempDir dir;
  Pair pair = MakePair();
  WriteFile(dir / "a.idx", pair.idx);
  WriteFile(dir / "a.sub", pair.sub);
  TSttList list;
  std::vector<std::string> log;
  list.LogCallback = [&](const void*, TSeverity, const std::string& t) { log.push_back(t); };
  TSttFile& file = list.AddFile();
  file.SetFileName(dir / "a.idx");
  ASSERT_TRUE(list.LoadAll());
  file.AttachOutputStream(0, 3);  // only the first stream is in the title
  TSttPacket packet;
  std::vector<int64_t> results;
  EXPECT_EQ(list.PeekNextPts(), 1000 * 90);
  for (int64_t r; (r = list.NextPacket(packet, true)) >= 0;) results.push_back(r);
  EXPECT_EQ(list.PeekNextPts(), INT64_MAX);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_GT(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_GT(results[2], 0);
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(file.PacketCount(), 2);
}

// ffprobe reads the same pair: times and unit sizes must agree. (Its reader stops at a
// pack of another stream, so the pair is laid out without interleaving.)
TEST(VobSub, AgreesWithFfprobe) {
  TempDir dir;
  Pair pair = MakePair("720x576", false);
  WriteFile(dir / "p.idx", pair.idx);
  WriteFile(dir / "p.sub", pair.sub);
  Got got = Drain(dir / "p.idx");
  for (int stream = 0; stream < 2; ++stream) {
    std::string out;
    ASSERT_EQ(test::RunCommand("ffprobe -v error -select_streams " + std::to_string(stream) +
                                   " -show_packets -of json '" + (dir / "p.idx").string() + "'",
                               &out),
              0);
    std::vector<std::pair<int64_t, int64_t>> probed, ours;
    std::regex re("\"pts\": (\\d+),[^}]*?\"size\": \"(\\d+)\"");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
      probed.emplace_back(std::stoll((*it)[1]), std::stoll((*it)[2]));
    for (size_t i = 0; i < got.packets.size(); ++i)
      if (got.streams[i] == stream)
        ours.emplace_back(got.packets[i].Pts / 90, static_cast<int64_t>(got.packets[i].Data.size()));
    ASSERT_FALSE(probed.empty()) << out;
    EXPECT_EQ(ours, probed) << stream;
  }
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {

// FFmpeg's DVD muxer lays the same units out its own way (system header, its own
// padding); an index pointing at its packs must give back the very same units.
TEST(VobSub, ReadsUnitsFromPacksWrittenByFfmpeg) {
  TempDir dir;
  Pair pair = MakePair("720x576", false);
  WriteFile(dir / "p.idx", pair.idx);
  WriteFile(dir / "p.sub", pair.sub);
  ASSERT_EQ(test::RunCommand("ffmpeg -v quiet -y -i '" + (dir / "p.idx").string() + "' -map 0:0 -c:s copy -f vob '" +
                             (dir / "f.sub").string() + "'"),
            0);
  std::string out;
  ASSERT_EQ(test::RunCommand("ffprobe -v quiet -show_packets -of compact '" + (dir / "f.sub").string() + "'", &out), 0);
  std::string idx = "size: 720x576\nid: en, index: 0\n";
  std::regex re("pts=(\\d+)\\|[^\\n]*\\|pos=(\\d+)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it) {
    int64_t ms = std::stoll((*it)[1]) / 90, pos = std::stoll((*it)[2]) / 2048 * 2048;
    char line[96];
    std::snprintf(line, sizeof line, "timestamp: %02d:%02d:%02d:%03d, filepos: %09llX\n", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000),
                  static_cast<unsigned long long>(pos));
    idx += line;
  }
  WriteFile(dir / "f.idx", idx);
  Got got = Drain(dir / "f.idx");
  ASSERT_EQ(got.packets.size(), 2u) << out;
  EXPECT_EQ(got.packets[0].Data, pair.units[0].data);
  EXPECT_EQ(got.packets[1].Data, pair.units[1].data);
  EXPECT_EQ(got.packets[1].Pts, pair.units[1].ms * 90);
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {

// The pack walker's fuzzing seed is a well-formed one-pack unit: it must be read, so
// that fuzzing starts from the success path.
TEST(VobSub, FuzzSeedHoldsOneUnit) {
  std::string seed = test::ReadFile(std::filesystem::path(VIDORIA_SOURCE_DIR) / "fuzz/corpus/sub_pack_walker/one_unit.bin");
  ASSERT_GT(seed.size(), 1u);
  std::vector<uint8_t> sub(seed.begin() + 1, seed.end());
  sub.resize(kSubPackSize, 0xFF);
  TMemoryPackSource source(sub.data(), sub.size());
  std::vector<uint8_t> unit;
  std::string error;
  ASSERT_TRUE(ReadSubPictureUnit(source, 0, 0x20, unit, error)) << error;
  EXPECT_EQ(unit.size(), 38u);
  EXPECT_FALSE(ReadSubPictureUnit(source, 0, 0x21, unit, error));
}

}  // namespace
}  // namespace vidoria

namespace vidoria {
namespace {

TEST(VobSub, SettingsLanguagesAndStreamDelay) {
  TempDir dir;
  Pair pair = MakePair();
  WriteFile(dir / "a.idx", pair.idx);
  WriteFile(dir / "a.sub", pair.sub);
  TSttFile user;
  user.SetFileName(dir / "a.idx");
  user.SetStreamLanguage(1, "DEU");
  user.SetStreamDiscarded(0, true);
  user.CodePage = 1255;
  TSttFile cleared;
  cleared.SetFileName(dir / "a.idx");
  cleared.SetStreamLanguage(0, "x");
  EXPECT_EQ(cleared.GetStreamLanguage(0), "");

  TSttList list;
  TSttFile& file = list.AddFile();
  file.Assign(user);
  ASSERT_TRUE(list.LoadAll());
  EXPECT_EQ(file.GetStreamLanguage(0), "en");
  EXPECT_EQ(file.GetStreamLanguage(1), "de");
  EXPECT_TRUE(file.IsStreamDiscarded(0));
  EXPECT_EQ(file.CodePage, 1255u);
  EXPECT_TRUE(file.AttachOutputStream(1, 4));
  EXPECT_FALSE(file.AttachOutputStream(1, 4));
  // The sync delay recorded on an output stream moves its events; a negative one does not.
  file.OutputStream(0).StartTime = 900;
  EXPECT_EQ(list.PeekNextPts(), 1000 * 90 + 900);
  file.OutputStream(0).StartTime = -900;
  EXPECT_EQ(list.PeekNextPts(), 1000 * 90);
}

}  // namespace
}  // namespace vidoria
