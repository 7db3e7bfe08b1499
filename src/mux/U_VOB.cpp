#include "mux/U_VOB.h"

#include "common/U_BitWriter.h"

#include <array>
#include <iterator>

namespace vidoria {

namespace {

constexpr unsigned kMuxRate = 25200;  // units of 50 bytes/s: 10.08 Mbit/s

bool InTimeStampRange(int64_t v) { return v >= 0 && static_cast<uint64_t>(v) <= kTimeStampMask; }

// The 5-byte PTS/DTS field: 4-bit prefix, then the 33 bits in three marker-separated parts.
void PutTimeStamp(TBitWriter& w, unsigned prefix, uint64_t t) {
  w.PutBits(prefix, 4);
  w.PutBits((t >> 30) & 0x7, 3);
  w.PutBits(1, 1);
  w.PutBits((t >> 15) & 0x7FFF, 15);
  w.PutBits(1, 1);
  w.PutBits(t & 0x7FFF, 15);
  w.PutBits(1, 1);
}

}  // namespace

// ---------------------------------------------------------------- pack header

void TMPEG2_program_pack::Reset() {
  scr_ = 0;
  audioBound_ = 0;
}

bool TMPEG2_program_pack::SetScr(int64_t scr27MHz) {
  const int64_t period = static_cast<int64_t>(kTimeStampMask + 1) * 300;
  const bool fits = scr27MHz >= 0 && scr27MHz < period;
  scr_ = ((scr27MHz % period) + period) % period;
  return fits;
}

bool TMPEG2_program_pack::SetAudioBound(unsigned count) {
  if (count > 63) return false;
  audioBound_ = count;
  return true;
}

size_t TMPEG2_program_pack::Serialize(std::span<uint8_t> out, bool withSystemHeader) const {
  const size_t size = Size(withSystemHeader);
  if (out.size() < size) return 0;
  TBitWriter w(out.first(size));
  const uint64_t base = ScrBase();
  const unsigned ext = static_cast<unsigned>(scr_ % 300);
  w.PutU32(0x000001BA);
  w.PutBits(1, 2);  // '01': MPEG-2 pack header
  w.PutBits((base >> 30) & 0x7, 3);
  w.PutBits(1, 1);
  w.PutBits((base >> 15) & 0x7FFF, 15);
  w.PutBits(1, 1);
  w.PutBits(base & 0x7FFF, 15);
  w.PutBits(1, 1);
  w.PutBits(ext, 9);
  w.PutBits(1, 1);
  w.PutBits(kMuxRate, 22);
  w.PutBits(3, 2);     // markers
  w.PutBits(0x1F, 5);  // reserved
  w.PutBits(0, 3);     // pack stuffing length
  if (withSystemHeader) {
    w.PutU32(0x000001BB);
    w.PutU16(kSystemHeaderSize - 6);
    w.PutBits(1, 1);
    w.PutBits(kMuxRate, 22);  // rate bound
    w.PutBits(1, 1);
    w.PutBits(audioBound_, 6);
    w.PutBits(0, 1);  // fixed flag
    w.PutBits(0, 1);  // CSPS flag
    w.PutBits(1, 1);  // system audio lock
    w.PutBits(1, 1);  // system video lock
    w.PutBits(1, 1);  // marker
    w.PutBits(1, 5);  // video bound
    w.PutBits(0, 1);  // packet rate restriction
    w.PutBits(0x7F, 7);
    // Buffer bounds: stream id, '11', scale, 13-bit size.
    const struct {
      uint8_t id;
      TPstdBuffer buf;
    } bounds[] = {{0xB9, kPstdVideo}, {0xB8, kPstdMpegAudio}, {0xBD, kPstdPrivate1}, {0xBF, {true, 2}}};
    for (const auto& b : bounds) {
      w.PutU8(b.id);
      w.PutBits(3, 2);
      w.PutBits(b.buf.Scale1024 ? 1 : 0, 1);
      w.PutBits(b.buf.Size, 13);
    }
  }
  return w.Ok() ? size : 0;
}

size_t TMPEG2_program_pack::Write(std::vector<uint8_t>& buffer, bool withSystemHeader) const {
  const size_t at = buffer.size();
  buffer.resize(at + Size(withSystemHeader));
  const size_t n = Serialize(std::span<uint8_t>(buffer).subspan(at), withSystemHeader);
  buffer.resize(at + n);
  return n;
}

// ---------------------------------------------------------------- PES header

void TMPEG2_video_pack::Reset() {
  length_ = kFullPesLength;
  copyStatus_ = false;
  ptsDtsFlags_ = 0;
  pts_ = dts_ = 0;
  pstd_ = false;
  stuffing_ = 0;
}

bool TMPEG2_video_pack::SetPts(int64_t pts) {
  ptsDtsFlags_ = 2;
  pts_ = static_cast<uint64_t>(pts) & kTimeStampMask;
  return InTimeStampRange(pts);
}

bool TMPEG2_video_pack::SetPtsDts(int64_t pts, int64_t dts) {
  ptsDtsFlags_ = 3;
  pts_ = static_cast<uint64_t>(pts) & kTimeStampMask;
  dts_ = static_cast<uint64_t>(dts) & kTimeStampMask;
  return InTimeStampRange(pts) && InTimeStampRange(dts);
}

bool TMPEG2_video_pack::SetPstdBuffer(TPstdBuffer buffer) {
  if (buffer.Size > 0x1FFF) return false;
  pstd_ = true;
  pstdBuffer_ = buffer;
  return true;
}

bool TMPEG2_video_pack::SetStuffing(unsigned count) {
  if (count > 32) return false;
  stuffing_ = count;
  return true;
}

unsigned TMPEG2_video_pack::HeaderDataLength() const {
  unsigned n = ptsDtsFlags_ == 3 ? 10 : ptsDtsFlags_ == 2 ? 5 : 0;
  if (pstd_) n += 3;  // extension flags + P-STD field
  return n + stuffing_;
}

size_t TMPEG2_video_pack::Serialize(std::span<uint8_t> out) const {
  const size_t size = HeaderSize();
  if (out.size() < size) return 0;
  TBitWriter w(out.first(size));
  w.PutBits(0x000001, 24);
  w.PutU8(streamId_);
  w.PutU16(length_);
  w.PutBits(2, 2);  // '10'
  w.PutBits(0, 2);  // not scrambled
  w.PutBits(0, 1);  // priority
  w.PutBits(0, 1);  // data alignment
  w.PutBits(0, 1);  // copyright
  w.PutBits(copyStatus_ ? 1 : 0, 1);
  w.PutBits(ptsDtsFlags_, 2);
  w.PutBits(0, 5);  // ESCR, ES rate, trick mode, additional copy info, CRC
  w.PutBits(pstd_ ? 1 : 0, 1);
  w.PutU8(HeaderDataLength());
  if (ptsDtsFlags_ == 2) PutTimeStamp(w, 0x2, pts_);
  if (ptsDtsFlags_ == 3) {
    PutTimeStamp(w, 0x3, pts_);
    PutTimeStamp(w, 0x1, dts_);
  }
  if (pstd_) {
    // Only the P-STD buffer flag among the extension flags, then three reserved ones.
    w.PutU8(0x1E);
    w.PutBits(1, 2);
    w.PutBits(pstdBuffer_.Scale1024 ? 1 : 0, 1);
    w.PutBits(pstdBuffer_.Size, 13);
  }
  w.Fill(0xFF, stuffing_);
  return w.Ok() ? size : 0;
}

size_t TMPEG2_video_pack::Write(std::vector<uint8_t>& buffer) const {
  const size_t at = buffer.size();
  buffer.resize(at + HeaderSize());
  const size_t n = Serialize(std::span<uint8_t>(buffer).subspan(at));
  buffer.resize(at + n);
  return n;
}

// ---------------------------------------------------------------- sub-stream headers

namespace {
bool AppendAudioHeader(std::vector<uint8_t>& buffer, uint8_t base, unsigned stream, unsigned frames,
                       unsigned firstAccessUnit) {
  std::array<uint8_t, 4> bytes{};
  TBitWriter w(bytes);
  if (stream > 7) return false;
  w.PutU8(base + stream);
  w.PutU8(frames);
  w.PutU16(firstAccessUnit);
  if (!w.Ok()) return false;
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
  return true;
}
}  // namespace

bool AppendAc3SubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream, unsigned frames,
                              unsigned firstAccessUnit) {
  return AppendAudioHeader(buffer, 0x80, stream, frames, firstAccessUnit);
}

bool AppendDtsSubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream, unsigned frames,
                              unsigned firstAccessUnit) {
  return AppendAudioHeader(buffer, 0x88, stream, frames, firstAccessUnit);
}

bool AppendSubpictureSubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream) {
  if (stream > 31) return false;
  buffer.push_back(static_cast<uint8_t>(0x20 + stream));
  return true;
}

// ---------------------------------------------------------------- closing a pack

bool ClosePack(std::vector<uint8_t>& buffer, size_t sectorStart) {
  // Offsets within the sector of the PES packet that follows the pack header.
  constexpr size_t kPes = kPackHeaderSize;
  constexpr size_t kPesLengthAt = kPes + 4;
  constexpr size_t kHeaderDataLengthAt = kPes + 8;
  if (sectorStart > buffer.size()) return false;
  const size_t used = buffer.size() - sectorStart;
  if (used < kPes + 9 || used > kSectorSize) return false;
  const uint8_t* pes = buffer.data() + sectorStart + kPes;
  if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || pes[3] < 0xBD) return false;

  const size_t free = kSectorSize - used;
  auto setPesLength = [&](size_t length) {
    buffer[sectorStart + kPesLengthAt] = static_cast<uint8_t>(length >> 8);
    buffer[sectorStart + kPesLengthAt + 1] = static_cast<uint8_t>(length);
  };
  if (free >= 6) {
    // A padding packet takes the rest: 6 header bytes and free - 6 bytes FF.
    setPesLength(used - kPes - 6);
    const size_t padding = free - 6;
    const uint8_t header[] = {0x00, 0x00, 0x01, kStreamIdPadding, static_cast<uint8_t>(padding >> 8),
                              static_cast<uint8_t>(padding)};
    buffer.insert(buffer.end(), std::begin(header), std::end(header));
    buffer.insert(buffer.end(), padding, 0xFF);
    return true;
  }
  // Too little room for a padding packet: lengthen the PES header by stuffing bytes,
  // which sit at the end of the header, before the payload.
  const size_t headerDataLength = buffer[sectorStart + kHeaderDataLengthAt];
  const size_t stuffingAt = sectorStart + kPes + 9 + headerDataLength;
  if (stuffingAt > buffer.size()) return false;
  if (free > 0) {
    buffer[sectorStart + kHeaderDataLengthAt] = static_cast<uint8_t>(headerDataLength + free);
    buffer.insert(buffer.begin() + static_cast<std::ptrdiff_t>(stuffingAt), free, 0xFF);
  }
  setPesLength(kSectorSize - kPes - 6);
  return true;
}

}  // namespace vidoria
