#pragma once
// Program-stream packs as a DVD VOB holds them: every sector is one 2048-byte pack.
//
// TMPEG2_program_pack writes the pack header (with its system clock reference) and the
// system header that only navigation packs carry; TMPEG2_video_pack writes a PES
// packet header for any elementary stream (the stream id selects which). The
// sub-stream headers of private stream 1 and the rule that closes a pack that is not
// full complete the set. All fields are big-endian and written with TBitWriter.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vidoria {

constexpr size_t kSectorSize = 2048;
constexpr size_t kPackHeaderSize = 14;
constexpr size_t kSystemHeaderSize = 24;
// PES packet length of a pack that the PES packet fills: 2048 - 14 - 6.
constexpr uint16_t kFullPesLength = 2028;

constexpr uint8_t kStreamIdVideo = 0xE0;
constexpr uint8_t kStreamIdPrivate1 = 0xBD;
constexpr uint8_t kStreamIdPadding = 0xBE;
constexpr uint8_t kStreamIdPrivate2 = 0xBF;
constexpr uint8_t kStreamIdMpegAudio = 0xC0;  // + stream number

// One pack of 2048 bytes at 10.08 Mbit/s lasts 307200/7 ticks of the 27 MHz clock.
constexpr int64_t kPackTimeNum27MHz = 307200;
constexpr int64_t kPackTimeDen = 7;
// The 27 MHz clock value after `packs` whole pack times, rounded to the nearest tick.
constexpr int64_t ScrOfPackCount(int64_t packs) {
  return (packs * kPackTimeNum27MHz + kPackTimeDen / 2) / kPackTimeDen;
}

constexpr uint64_t kTimeStampMask = (uint64_t{1} << 33) - 1;

// Pack header, and the system header written after it in navigation packs.
class TMPEG2_program_pack {
 public:
  TMPEG2_program_pack() { Reset(); }

  // SCR 0, audio bound 0.
  void Reset();

  // System clock reference as a count of 27 MHz ticks. Its 90 kHz base is a 33-bit
  // field and wraps as the clock does; returns false (the wrapped value is still
  // taken) when the value is negative or beyond that range, so the caller can report it.
  bool SetScr(int64_t scr27MHz);
  int64_t Scr() const { return scr_; }
  // The 90 kHz part of the SCR as written (33 bits).
  uint64_t ScrBase() const { return static_cast<uint64_t>(scr_ / 300) & kTimeStampMask; }

  // Audio streams of the program, declared up front so that every system header of a
  // stream is identical. At most 63 (the field is six bits; DVD allows 8).
  bool SetAudioBound(unsigned count);
  unsigned AudioBound() const { return audioBound_; }

  size_t Size(bool withSystemHeader) const {
    return kPackHeaderSize + (withSystemHeader ? kSystemHeaderSize : 0);
  }
  // Serialises into `out`; returns the byte count, 0 when `out` is too small.
  size_t Serialize(std::span<uint8_t> out, bool withSystemHeader) const;
  // Appends to `buffer`; returns the byte count.
  size_t Write(std::vector<uint8_t>& buffer, bool withSystemHeader) const;

 private:
  int64_t scr_ = 0;
  unsigned audioBound_ = 0;
};

// P-STD buffer sizes announced in the first pack of each stream of a VOB.
struct TPstdBuffer {
  bool Scale1024;  // false: units of 128 bytes
  uint16_t Size;   // 13 bits
};
constexpr TPstdBuffer kPstdVideo{true, 232};
constexpr TPstdBuffer kPstdMpegAudio{false, 32};
constexpr TPstdBuffer kPstdPrivate1{true, 58};

// PES packet header. Used for every stream of a VOB, with its stream id.
class TMPEG2_video_pack {
 public:
  TMPEG2_video_pack() { Reset(); }
  explicit TMPEG2_video_pack(uint8_t streamId) : streamId_(streamId) { Reset(); }

  // Keeps the stream id; length 2028, no time stamps, no extension, no stuffing.
  void Reset();

  void SetStreamId(uint8_t id) { streamId_ = id; }
  uint8_t StreamId() const { return streamId_; }
  void SetLength(uint16_t length) { length_ = length; }
  uint16_t Length() const { return length_; }
  void SetCopyStatus(bool original) { copyStatus_ = original; }

  // Time stamps are 33-bit fields of the 90 kHz clock. A value outside 0..2^33-1 is
  // written with its upper bits dropped, and the setter returns false.
  bool SetPts(int64_t pts);
  bool SetPtsDts(int64_t pts, int64_t dts);
  void ClearTimeStamps() { ptsDtsFlags_ = 0; }
  unsigned PtsDtsFlags() const { return ptsDtsFlags_; }

  // The PES extension carrying the P-STD buffer size; false when the size exceeds 13 bits.
  bool SetPstdBuffer(TPstdBuffer buffer);
  void ClearPstdBuffer() { pstd_ = false; }

  // Stuffing bytes (FF) at the end of the header; at most 32.
  bool SetStuffing(unsigned count);

  size_t HeaderSize() const { return 9 + HeaderDataLength(); }
  size_t Serialize(std::span<uint8_t> out) const;
  size_t Write(std::vector<uint8_t>& buffer) const;

 private:
  unsigned HeaderDataLength() const;

  uint8_t streamId_ = kStreamIdVideo;
  uint16_t length_ = kFullPesLength;
  bool copyStatus_ = false;
  unsigned ptsDtsFlags_ = 0;
  uint64_t pts_ = 0, dts_ = 0;
  bool pstd_ = false;
  TPstdBuffer pstdBuffer_{true, 0};
  unsigned stuffing_ = 0;
};

// Private-stream-1 sub-stream headers, appended right after the PES header.
// AC-3 (80 + n) and DTS (88 + n): id, number of frames that begin in the packet, and
// the first access unit pointer (offset of the first frame start in the payload + 1).
bool AppendAc3SubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream, unsigned frames,
                              unsigned firstAccessUnit);
bool AppendDtsSubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream, unsigned frames,
                              unsigned firstAccessUnit);
// Sub-picture stream n (0 to 31): the single id byte 20 + n.
bool AppendSubpictureSubstreamHeader(std::vector<uint8_t>& buffer, unsigned stream);

// Closes the pack that begins at `sectorStart` of `buffer` and ends at the buffer's end:
// a pack header followed by one PES packet. The PES packet length is set to what was
// written, and the rest of the sector is filled so that the stream stays valid: a
// padding packet when 6 or more bytes are free, stuffing bytes in the PES header when
// fewer (the payload moves up). Returns false when the sector does not hold such a
// pack or is already over-full.
bool ClosePack(std::vector<uint8_t>& buffer, size_t sectorStart);

// Payload room of a pack whose PES header has `headerSize` bytes and is followed by a
// sub-stream header of `substreamSize` bytes.
constexpr size_t PackPayloadRoom(size_t headerSize, size_t substreamSize = 0) {
  return kSectorSize - kPackHeaderSize - headerSize - substreamSize;
}

}  // namespace vidoria
