#include "ifo/U_IfoTables.h"

#include "platform/MessageFormat.h"

#include <algorithm>
#include <cctype>

namespace vidoria {

namespace {

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// The writer refuses values wider than their fields; this names the table that did.
bool Finish(const TByteWriter& w, std::string* error, const char* table) {
  if (w.Ok()) return true;
  return Fail(error, SafeFormat("%s: a value does not fit its field", table));
}

uint8_t Bcd(unsigned v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); }

// Patches the end address (4 bytes at `field`) of a table that began at `start`.
bool PatchEndAddress(TByteWriter& w, size_t field, size_t start) {
  return w.PatchU32(field, w.Size() - start - 1);
}

}  // namespace

bool CheckFrameRate(unsigned frameRate, std::string* error) {
  if (frameRate == 25 || frameRate == 30) return true;
  return Fail(error, SafeFormat("Invalid Frame Per Second value %d - Only 25 or 30 allowed", frameRate));
}

int64_t FramesOf(int64_t ticks90k, unsigned frameRate) {
  if (ticks90k <= 0) return 0;
  return ticks90k / 90000 * frameRate + ticks90k % 90000 * frameRate / 90000;
}

bool PutDvdTime(TByteWriter& w, int64_t frames, unsigned frameRate, std::string* error) {
  if (!CheckFrameRate(frameRate, error)) return false;
  if (frames < 0) frames = 0;
  const int64_t seconds = frames / frameRate;
  if (seconds / 3600 > 99) return Fail(error, SafeFormat("Playback time of %d frames exceeds 99 hours", frames));
  w.U8(Bcd(static_cast<unsigned>(seconds / 3600)));
  w.U8(Bcd(static_cast<unsigned>(seconds / 60 % 60)));
  w.U8(Bcd(static_cast<unsigned>(seconds % 60)));
  w.U8(Bcd(static_cast<unsigned>(frames % frameRate)) | (frameRate == 25 ? 0x40 : 0xC0));
  return Finish(w, error, "Playback time");
}

std::array<uint8_t, 2> LanguageCode(std::string_view text) {
  if (text.size() < 2) return {0, 0};
  return {static_cast<uint8_t>(std::tolower(static_cast<unsigned char>(text[0]))),
          static_cast<uint8_t>(std::tolower(static_cast<unsigned char>(text[1])))};
}

bool PatchStreamAttributes(TByteWriter& w, size_t at, const TStreamAttributes& attr, TAttributeBlock kind,
                           std::string* error) {
  static_assert(86 + 6 <= kMenuAttributeBlockSize, "a menu block with one sub-picture stream ends before 512");
  static_assert(512 + kAttributeBlockSize <= 1024, "a title block at 512 ends inside the header");
  const bool menu = kind == TAttributeBlock::Menu;
  const size_t maxAudio = menu ? 1 : 8, maxSub = menu ? 1 : 32;
  if (attr.Audio.size() > maxAudio)
    return Fail(error, SafeFormat("%d audio streams where at most %d are allowed", attr.Audio.size(), maxAudio));
  if (attr.Subpictures.size() > maxSub)
    return Fail(error,
                SafeFormat("%d sub-picture streams where at most %d are allowed", attr.Subpictures.size(), maxSub));
  const TVideoAttributes& v = attr.Video;
  // MPEG-2 (01), TV system, display aspect (11 = 16:9), permitted display modes 00.
  const uint8_t video0 = 0x40 | (v.Pal ? 0x10 : 0x00) | (v.Widescreen ? 0x0C : 0x00);
  w.PatchU8(at, video0);
  w.PatchU8(at + 1, v.FilmMode ? 1 : 0);
  w.PatchU16(at + 2, attr.Audio.size());
  for (size_t i = 0; i < attr.Audio.size(); ++i) w.PatchBytes(at + 4 + 8 * i, attr.Audio[i]);
  w.PatchU16(at + 84, attr.Subpictures.size());
  for (size_t i = 0; i < attr.Subpictures.size(); ++i) w.PatchBytes(at + 86 + 6 * i, attr.Subpictures[i]);
  return Finish(w, error, "Attribute block");
}

bool WriteTitleSearchTable(TByteWriter& w, const TTitleSearchTable& t, std::string* error) {
  if (t.Titles.empty() || t.Titles.size() > 99)
    return Fail(error, SafeFormat("Title search table: %d titles (1 to 99 allowed)", t.Titles.size()));
  const size_t start = w.Size();
  w.U16(t.Titles.size());
  w.U16(0);
  w.U32(0);
  for (const TTitleInfo& title : t.Titles) {
    w.U8(title.PlaybackType);
    w.U8(title.Angles);
    w.U16(title.Chapters);
    w.U16(title.ParentalMask);
    w.U8(title.TitleSet);
    w.U8(title.TitleInSet);
    w.U32(title.TitleSetSector);
  }
  PatchEndAddress(w, start + 4, start);
  return Finish(w, error, "Title search table");
}

bool WriteTitleSetAttributeTable(TByteWriter& w, const TTitleSetAttributeTable& t, std::string* error) {
  const size_t n = t.TitleSets.size();
  if (n == 0 || n > 99)
    return Fail(error, SafeFormat("Title set attribute table: %d title sets (1 to 99 allowed)", n));
  const size_t start = w.Size();
  w.U16(n);
  w.U16(0);
  w.U32(0);
  for (size_t i = 0; i < n; ++i) w.U32(8 + 4 * n + kTitleSetAttributesSize * i);
  for (const TTitleSetAttributes& ts : t.TitleSets) {
    const size_t record = w.Size();
    w.U32(kTitleSetAttributesSize - 1);
    w.U32(ts.Category);
    w.Zeros(kTitleSetAttributesSize - 8);
    // The record copies the title set's header from byte 256 on: menu block at 256,
    // title block at 512.
    if (!PatchStreamAttributes(w, record + 8, ts.Menu, TAttributeBlock::Menu, error) ||
        !PatchStreamAttributes(w, record + 8 + 256, ts.Title, TAttributeBlock::Title, error))
      return false;
  }
  PatchEndAddress(w, start + 4, start);
  return Finish(w, error, "Title set attribute table");
}

bool WritePartOfTitleTable(TByteWriter& w, const TPartOfTitleTable& t, std::string* error) {
  const size_t n = t.Titles.size();
  if (n == 0 || n > 99) return Fail(error, SafeFormat("Part-of-title table: %d titles (1 to 99 allowed)", n));
  const size_t start = w.Size();
  w.U16(n);
  w.U16(0);
  w.U32(0);
  size_t offset = 8 + 4 * n;
  for (const auto& chapters : t.Titles) {
    w.U32(offset);
    offset += 4 * chapters.size();
  }
  for (const auto& chapters : t.Titles)
    for (const TPartOfTitle& c : chapters) {
      w.U16(c.Pgc);
      w.U16(c.Program);
    }
  PatchEndAddress(w, start + 4, start);
  return Finish(w, error, "Part-of-title table");
}

bool WriteCellAddressTable(TByteWriter& w, const TCellAddressTable& t, std::string* error) {
  // Readers check every cell's VOB id against the count, so the count is the
  // highest id rather than whichever cell happens to come last.
  uint16_t vobs = 0;
  for (const TCellAddress& c : t.Cells) vobs = std::max(vobs, c.VobId);
  const size_t start = w.Size();
  w.U16(vobs);
  w.U16(0);
  w.U32(0);
  for (const TCellAddress& c : t.Cells) {
    w.U16(c.VobId);
    w.U8(c.CellId);
    w.U8(0);
    w.U32(c.FirstSector);
    w.U32(c.LastSector);
  }
  PatchEndAddress(w, start + 4, start);
  return Finish(w, error, "Cell address table");
}

bool WriteVobuAddressMap(TByteWriter& w, const TVobuAddressMap& t, std::string* error) {
  const size_t start = w.Size();
  w.U32(0);
  for (uint32_t s : t.VobuSectors) w.U32(s);
  PatchEndAddress(w, start, start);
  return Finish(w, error, "VOBU address map");
}

bool WriteTimeMapTable(TByteWriter& w, const TTimeMapTable& t, std::string* error) {
  for (const TIfoTimeMap& m : t.Maps) {
    if (m.Unit == 0) return Fail(error, "Time map: a unit of 0 seconds");
    if (m.Entries.size() > kMaxTimeMapEntries)
      return Fail(error, SafeFormat("Time map: %d entries (at most %d allowed)", m.Entries.size(),
                                    kMaxTimeMapEntries));
  }
  const size_t start = w.Size();
  w.U16(t.Maps.size());
  w.U16(0);
  w.U32(0);
  size_t offset = 8 + 4 * t.Maps.size();
  for (const TIfoTimeMap& m : t.Maps) {
    w.U32(offset);
    offset += 4 + 4 * m.Entries.size();
  }
  for (const TIfoTimeMap& m : t.Maps) {
    w.U8(m.Unit);
    w.U8(0);
    w.U16(m.Entries.size());
    for (uint32_t e : m.Entries) w.U32(e);
  }
  PatchEndAddress(w, start + 4, start);
  return Finish(w, error, "Time map table");
}

uint8_t TimeMapUnit(int64_t durationMs) {
  constexpr int64_t kSpan = static_cast<int64_t>(kMaxTimeMapEntries) * 1000;
  const int64_t unit = durationMs <= 0 ? 0 : (durationMs + kSpan - 1) / kSpan;
  return static_cast<uint8_t>(std::clamp<int64_t>(unit, 4, 255));
}

}  // namespace vidoria
