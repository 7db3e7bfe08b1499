#include "mux/U_PacketInterleaver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace vidoria {

// ---------------------------------------------------------------- temporary file

TTempFileParking::~TTempFileParking() {
  if (fd_ >= 0) ::close(fd_);
}

bool TTempFileParking::Open(const std::filesystem::path& folder) {
  const std::filesystem::path name = folder / kFileName;
  fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  ::unlink(name.c_str());
  size_ = 0;
  return true;
}

bool TTempFileParking::Append(std::span<const uint8_t> data, int64_t& offset) {
  if (fd_ < 0) return false;
  offset = size_;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(size_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  size_ += static_cast<int64_t>(done);
  return true;
}

bool TTempFileParking::ReadAt(int64_t offset, std::span<uint8_t> data) {
  if (fd_ < 0 || offset < 0 || offset + static_cast<int64_t>(data.size()) > size_) return false;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pread(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------- interleaver

namespace {

// Order of the packet list: VOB id, then decoding time. The time is compared by the
// signed difference of its low 32 bits, so a clock that wraps still sorts.
bool KeyLess(const TAvPacketContainer& a, const TAvPacketContainer& b) {
  if (a.Descriptor.VobId != b.Descriptor.VobId) return a.Descriptor.VobId < b.Descriptor.VobId;
  const uint32_t diff = static_cast<uint32_t>(a.Dts) - static_cast<uint32_t>(b.Dts);
  return static_cast<int32_t>(diff) < 0;
}

}  // namespace

TAvPacketInterleaver::TAvPacketInterleaver(uint8_t expectedAudio, int64_t memoryBudget)
    : expectedAudio_(expectedAudio), budget_(memoryBudget) {
  if (memoryBudget < 0) throw std::invalid_argument("negative memory budget");
}

bool TAvPacketInterleaver::Open(const std::filesystem::path& folder) {
  auto file = std::make_unique<TTempFileParking>();
  parkingName_ = folder / TTempFileParking::kFileName;
  if (!file->Open(folder)) {
    LogFmt(EVT_ERROR, "Cannot create the temporary file \"%s\": %s", parkingName_.string(), std::strerror(errno));
    failed_ = true;
    return false;
  }
  parking_ = std::move(file);
  return true;
}

void TAvPacketInterleaver::Open(std::unique_ptr<TParkingStore> store) {
  parking_ = std::move(store);
  parkingName_ = TTempFileParking::kFileName;
}

bool TAvPacketInterleaver::Fail(std::string_view message) {
  Log(EVT_ERROR, message);
  failed_ = true;
  return false;
}

bool TAvPacketInterleaver::FailFile(std::string_view format) {
  LogFmt(EVT_ERROR, format, parkingName_.string());
  failed_ = true;
  return false;
}

void TAvPacketInterleaver::Insert(TPacketContainerPtr c) {
  // After every packet with a key not greater: equal keys keep their arrival order.
  auto at = std::upper_bound(packets_.begin(), packets_.end(), c,
                             [](const TPacketContainerPtr& a, const TPacketContainerPtr& b) { return KeyLess(*a, *b); });
  packets_.insert(at, std::move(c));
}

bool TAvPacketInterleaver::AddPacket(const TMuxPacketIn& packet) {
  if (failed_) return false;
  if (!packet.Descriptor) return Fail("Packet without multiplexer descriptor");
  if (packet.Dts == kNoTimeStamp) return Fail("Packet without decoding time");
  if (packet.Data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    return Fail("Packet too large");

  auto c = std::make_unique<TAvPacketContainer>();
  const TMuxPacketDescriptor& d = *packet.Descriptor;
  c->Pts = packet.Pts;
  c->Dts = packet.Dts;
  c->Duration = packet.Duration;
  c->Size = static_cast<int32_t>(packet.Data.size());
  c->StreamIndex = packet.StreamIndex;
  c->Descriptor = d;
  c->Key = d.Kind != MPK_VIDEO || d.PictureType == PICT_I;
  c->Serial = serial_++;

  if (bufferedBytes_ + c->Size <= budget_) {
    c->Data.assign(packet.Data.begin(), packet.Data.end());
    bufferedBytes_ += c->Size;
  } else {
    if (!parking_) return Fail("No temporary file to hold packets beyond the memory budget");
    if (!parking_->Append(packet.Data, c->FileOffset))
      return FailFile("Cannot write to the temporary file \"%s\"");
    c->Parked = true;
  }

  TAvPacketContainer* added = c.get();
  Insert(std::move(c));

  if (d.Kind == MPK_VIDEO && added->Key) {
    groupTime_ += d.GopTime;
    if (!currentVob_ || *currentVob_ != d.VobId || groupTime_ > kMinGroupTime) {
      if (!groupStarts_.empty()) {
        TAvPacketContainer* earlier = groupStarts_.back();
        int64_t duration = groupTime_;
        if (duration == 0) {
          // No GOP times: measure from the decoding times instead.
          auto it = std::find_if(packets_.begin(), packets_.end(),
                                 [added](const TPacketContainerPtr& p) { return p.get() == added; });
          const TAvPacketContainer* before = it == packets_.begin() ? earlier : std::prev(it)->get();
          duration = std::max<int64_t>(0, before->Dts - earlier->Dts);
        }
        earlier->GroupDuration = duration;
      }
      groupStarts_.push_back(added);
      currentVob_ = d.VobId;
      groupTime_ = 0;
      hadGroup_ = true;
    }
  } else if (d.Kind == MPK_AUDIO) {
    const unsigned slot = d.StreamId & 7;
    expectedAudio_ |= static_cast<uint8_t>(1u << slot);
    audioBuffered_[slot] += packet.Duration;
  }
  return true;
}

bool TAvPacketInterleaver::MoveHeadUntil(const TAvPacketContainer* stop) {
  while (!packets_.empty() && packets_.front().get() != stop) {
    TPacketContainerPtr c = std::move(packets_.front());
    packets_.pop_front();
    if (c->Descriptor.Kind == MPK_AUDIO) audioBuffered_[c->Descriptor.StreamId & 7] -= c->Duration;
    if (c->Parked) {
      c->Data.resize(static_cast<size_t>(c->Size));
      if (!parking_ || !parking_->ReadAt(c->FileOffset, c->Data))
        return FailFile("Cannot read back from the temporary file \"%s\"");
      c->Parked = false;
    } else {
      bufferedBytes_ -= c->Size;
    }
    released_.push_back(std::move(c));
  }
  if (stop && packets_.empty()) return Fail("Packet order lost in the interleaver");
  return true;
}

TGroupResult TAvPacketInterleaver::ReleaseGroup() {
  if (failed_) return TGroupResult::Failed;
  if (groupStarts_.size() < 3) return TGroupResult::None;
  const int64_t first = groupStarts_[0]->GroupDuration;
  for (unsigned slot = 0; slot < 8; ++slot)
    if ((expectedAudio_ >> slot) & 1u)
      if (audioBuffered_[slot] < first) return TGroupResult::None;
  if (!MoveHeadUntil(groupStarts_[1])) return TGroupResult::Failed;
  groupStarts_.pop_front();
  return TGroupResult::Released;
}

TGroupResult TAvPacketInterleaver::DrainGroup() {
  if (failed_) return TGroupResult::Failed;
  if (groupStarts_.empty()) {
    if (!packets_.empty() || !hadGroup_) {
      Fail("No video key frame to start a VOBU: nothing can be multiplexed");
      return TGroupResult::Failed;
    }
    return TGroupResult::None;
  }
  if (groupStarts_.size() == 1) {
    TAvPacketContainer* start = groupStarts_.front();
    const TAvPacketContainer& last = *packets_.back();
    start->GroupDuration = std::max<int64_t>(0, last.Dts + last.Duration - start->Dts);
    if (!MoveHeadUntil(nullptr)) return TGroupResult::Failed;
    groupStarts_.clear();
    return TGroupResult::Released;
  }
  if (!MoveHeadUntil(groupStarts_[1])) return TGroupResult::Failed;
  groupStarts_.pop_front();
  return TGroupResult::Released;
}

}  // namespace vidoria
