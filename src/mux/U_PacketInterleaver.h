#pragma once
// Gathers the encoded packets of all streams into groups (future VOBUs) before they are
// written as packs. Packets are kept ordered by VOB id and decoding time; a group opens
// at a video key frame once the accumulated GOP time exceeds 32000 ticks (or the VOB
// changes), and it is released once every audio stream has buffered enough to cover it.
// Payloads beyond the memory budget are parked in a temporary file.

#include "app/U_LogConsts.h"
#include "mux/U_MuxPacket.h"

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vidoria {

// The media library's "no time" marker.
constexpr int64_t kNoTimeStamp = std::numeric_limits<int64_t>::min();

// Storage for payloads that do not fit the memory budget.
class TParkingStore {
 public:
  virtual ~TParkingStore() = default;
  // Stores `data`, giving its offset; false when not all of it was stored.
  virtual bool Append(std::span<const uint8_t> data, int64_t& offset) = 0;
  // Reads back exactly `data.size()` bytes stored at `offset`; false when it cannot.
  virtual bool ReadAt(int64_t offset, std::span<uint8_t> data) = 0;
};

// "Muxer.Tmp" in the output folder. The file is unlinked as soon as it is open, so
// nothing is left behind whatever way the run ends.
class TTempFileParking : public TParkingStore {
 public:
  static constexpr const char* kFileName = "Muxer.Tmp";
  ~TTempFileParking() override;
  // Creates (truncating) folder/Muxer.Tmp and unlinks it; false with errno set on failure.
  bool Open(const std::filesystem::path& folder);
  bool Append(std::span<const uint8_t> data, int64_t& offset) override;
  bool ReadAt(int64_t offset, std::span<uint8_t> data) override;

 private:
  int fd_ = -1;
  int64_t size_ = 0;
};

// One encoded packet as handed to the multiplexer.
struct TMuxPacketIn {
  int64_t Pts = kNoTimeStamp;  // 90 kHz
  int64_t Dts = kNoTimeStamp;  // 90 kHz, required
  int64_t Duration = 0;        // 90 kHz
  std::span<const uint8_t> Data;
  int32_t StreamIndex = 0;
  const TMuxPacketDescriptor* Descriptor = nullptr;  // required; copied
};

// One buffered packet.
struct TAvPacketContainer {
  int64_t Pts = kNoTimeStamp;
  int64_t Dts = kNoTimeStamp;
  int64_t Duration = 0;
  std::vector<uint8_t> Data;  // empty while parked
  int32_t Size = 0;
  int32_t StreamIndex = 0;
  TMuxPacketDescriptor Descriptor;
  bool Key = false;           // video: I picture; audio and sub-pictures: always
  int64_t GroupDuration = -1; // on a group start: the group's duration once known
  bool Parked = false;
  int64_t FileOffset = 0;
  uint64_t Serial = 0;        // arrival number

  bool IsGroupStart() const { return GroupDuration >= 0; }
};

using TPacketContainerPtr = std::unique_ptr<TAvPacketContainer>;

enum class TGroupResult {
  None,      // nothing to release (yet)
  Released,  // a group moved into the released list
  Failed,    // the run must stop; the reason is logged
};

class TAvPacketInterleaver : public TLoggingObject {
 public:
  static constexpr int64_t kDefaultMemoryBudget = int64_t{200} * 1024 * 1024;
  static constexpr int64_t kMinGroupTime = 32000;  // 90 kHz ticks

  // `expectedAudio`: bit n set for every audio slot (stream id & 7) the title declares.
  explicit TAvPacketInterleaver(uint8_t expectedAudio, int64_t memoryBudget = kDefaultMemoryBudget);

  // Parks payloads in folder/Muxer.Tmp; logs and returns false when it cannot be created.
  bool Open(const std::filesystem::path& folder);
  // Parks payloads in `store`.
  void Open(std::unique_ptr<TParkingStore> store);

  // Buffers a copy of the packet. Refuses (logged, false) a packet without descriptor
  // or decoding time, and fails when its payload cannot be parked.
  bool AddPacket(const TMuxPacketIn& packet);
  // Releases the next group once three group starts are known and every expected audio
  // slot has buffered at least the first group's duration.
  TGroupResult ReleaseGroup();
  // At the end of the stream: releases the next group without waiting for audio. None
  // once everything has been released; Failed when packets remain that no group takes
  // (a stream without video key frames).
  TGroupResult DrainGroup();

  // The packets of the groups released so far, in order; the caller owns them.
  std::vector<TPacketContainerPtr> TakeReleased() { return std::move(released_); }

  size_t PacketCount() const { return packets_.size(); }
  size_t GroupStartCount() const { return groupStarts_.size(); }
  int64_t BufferedBytes() const { return bufferedBytes_; }

 private:
  void Insert(TPacketContainerPtr c);
  // Moves packets from the head into the released list until `stop` is at the head
  // (all of them when `stop` is null).
  bool MoveHeadUntil(const TAvPacketContainer* stop);
  bool Fail(std::string_view message);
  bool FailFile(std::string_view format);  // with the temporary file's name

  uint8_t expectedAudio_;
  int64_t budget_;
  std::unique_ptr<TParkingStore> parking_;
  std::filesystem::path parkingName_;

  std::deque<TPacketContainerPtr> packets_;
  std::deque<TAvPacketContainer*> groupStarts_;  // not owned
  std::vector<TPacketContainerPtr> released_;
  int64_t groupTime_ = 0;
  std::optional<uint16_t> currentVob_;
  std::array<int64_t, 8> audioBuffered_{};
  int64_t bufferedBytes_ = 0;
  uint64_t serial_ = 0;
  bool hadGroup_ = false;
  bool failed_ = false;
};

}  // namespace vidoria
