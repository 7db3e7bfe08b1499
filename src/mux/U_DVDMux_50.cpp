#include "mux/U_DVDMux_50.h"

#include "mux/U_VOB.h"

#include <algorithm>
#include <limits>

namespace vidoria {

namespace {

// Largest payload of any pack: a PES header without optional fields.
constexpr size_t kMaxPackPayload = kSectorSize - kPackHeaderSize - 9;
// Video buffer of the decoder model (232 KiB); the SCR waits for pictures to leave
// once it holds more than the threshold.
constexpr int64_t kVideoBufferSize = 237568;
constexpr int64_t kVideoBufferThreshold = 229376;
constexpr int64_t kVobuOpenThreshold = 213811;
// VOBUs are kept this long (90 kHz) so that the forward search pointers find their targets.
constexpr int64_t kSearchWindow = 120 * 90000;
constexpr int64_t kMaxStampLead = 90000;  // a pack arrives at most 1 s before its time

bool IsMpegAudio(AVCodecID codec) { return codec != AV_CODEC_ID_AC3 && codec != AV_CODEC_ID_DTS; }

}  // namespace

struct TDvdMux::TVobu {
  std::vector<uint8_t> Sectors = std::vector<uint8_t>(kSectorSize, 0);  // sector 0: navigation pack
  uint32_t StartSector = 0;
  int64_t StartTime = 0;  // title time line
  int64_t Duration = 0;
  int64_t Scr = 0;  // of the navigation pack, 27 MHz
  uint32_t UopMask = 0;
  size_t Cell = 0, IndexInCell = 0;
  uint16_t VobId = 0;
  uint8_t CellId = 0;
  int64_t CellStart = 0, VobBase = 0;
  uint32_t NextValue = kSriNone, PrevValue = kSriNone;
  std::vector<TPictureRecord> Pictures;  // coding order
  std::array<int32_t, 8> AudioFirst;
  std::array<uint32_t, 32> SpSync{};
  std::shared_ptr<const TNavHighlight> MenuPage;
  int64_t MenuPtm = 0;

  TVobu() { AudioFirst.fill(-1); }
  uint32_t SectorCount() const { return static_cast<uint32_t>(Sectors.size() / kSectorSize); }
};

TDvdMux::TDvdMux() = default;
TDvdMux::~TDvdMux() = default;

bool TDvdMux::Fail(std::string_view message) {
  Log(EVT_ERROR, message);
  failed_ = true;
  return false;
}

// ---------------------------------------------------------------- open

bool TDvdMux::Open(const TDvdMuxParams& params) {
  if (opened_) return Fail("The multiplexer is already open");
  if (!params.Collection || !params.Output) return Fail("The multiplexer needs an output and a VOBU collection");
  params_ = params;
  collection_ = params.Collection;
  if (params.Standard == "ntsc") {
    frameRate_ = 30;
    frameDuration_ = 3003;  // trunc(90000 * 100 / 2997)
  } else {
    frameRate_ = 25;
    frameDuration_ = 3600;
  }
  collection_->SetFrameRate(frameRate_);

  uint8_t declared = 0;
  for (size_t i = 0; i < params.Streams.size(); ++i) {
    const TDvdMuxStream& s = params.Streams[i];
    if (s.Kind != MPK_AUDIO) continue;
    if (AudioCodingOf(s.Codec) == AC_LPCM) return Fail("PCM muxing not yet supported");
    ++audioBound_;
  }
  if (audioBound_ > TVobuCollection::kAudioSlots)
    return FailFmt("%d audio streams: a DVD title holds at most 8", static_cast<int64_t>(audioBound_));
  declared = static_cast<uint8_t>((1u << audioBound_) - 1);

  TFileClusterRWStream& out = *params.Output;
  TFileCluster& cluster = out.Cluster();
  for (size_t i = 0; i < cluster.Count(); ++i)
    if (cluster.Item(i).MaxSize % static_cast<int64_t>(kSectorSize) != 0)
      return FailFmt("VOB file \"%s\" is limited to %d bytes, not whole sectors", cluster.Item(i).FileName.string(),
                     cluster.Item(i).MaxSize);
  const int64_t size = out.Seek(0, TSeekOrigin::End);
  const std::string name = cluster.Count() ? cluster.Item(0).FileName.string() : std::string();
  if (size < 0 || size % static_cast<int64_t>(kSectorSize) != 0)
    return FailFmt("The output \"%s\" already holds %d bytes, which is not a whole number of sectors", name, size);
  nextSector_ = size / static_cast<int64_t>(kSectorSize);

  interleaver_ = std::make_unique<TAvPacketInterleaver>(declared, params.MemoryBudget);
  interleaver_->LogCallback = LogCallback;
  std::filesystem::path folder = params.TempFolder;
  if (folder.empty() && cluster.Count()) folder = cluster.Item(0).FileName.parent_path();
  if (folder.empty()) folder = ".";
  if (!interleaver_->Open(folder)) {
    failed_ = true;
    return false;
  }
  vobVideoEnd_ = params.TotalDurationUs * 9 / 100;
  opened_ = true;
  return true;
}

// ---------------------------------------------------------------- packets in

bool TDvdMux::CheckPacket(const TMuxPacketIn& packet, TStreamState*& state, bool& drop) {
  drop = false;
  if (!packet.Descriptor) return Fail("Packet without multiplexer descriptor");
  const TMuxPacketDescriptor& d = *packet.Descriptor;
  if (packet.StreamIndex < 0 || static_cast<size_t>(packet.StreamIndex) >= params_.Streams.size())
    return FailFmt("Packet of unknown stream #%d", static_cast<int64_t>(packet.StreamIndex));
  const TDvdMuxStream& info = params_.Streams[static_cast<size_t>(packet.StreamIndex)];
  if (info.Kind != d.Kind)
    return FailFmt("Packet of stream #%d is not of the stream's kind", static_cast<int64_t>(packet.StreamIndex));
  const int64_t size = static_cast<int64_t>(packet.Data.size());

  unsigned slot = 0;
  if (d.Kind == MPK_AUDIO) {
    slot = d.StreamId & 7u;
    if (slot >= audioBound_)
      return FailFmt("Audio stream id %d lies beyond the %d audio streams of the title", static_cast<int64_t>(d.StreamId),
                     static_cast<int64_t>(audioBound_));
    if (info.Codec == AV_CODEC_ID_DTS) {
      if (packet.Data.size() != kDtsFrameSmall && packet.Data.size() != kDtsFrameLarge)
        return Fail("Wrong DTS frame size");
    } else if (info.Codec == AV_CODEC_ID_AC3) {
      if (size > kMaxAc3Frame)
        return FailFmt("AC-3 packet of %d bytes on stream #%d is larger than an AC-3 frame", size,
                       static_cast<int64_t>(packet.StreamIndex));
      if (size < 2 || packet.Data[0] != 0x0B || packet.Data[1] != 0x77)
        return FailFmt("AC-3 packet on stream #%d does not begin with a frame", static_cast<int64_t>(packet.StreamIndex));
    } else if (size > kMaxAudioPacket || size == 0) {
      return FailFmt("Audio packet of %d bytes on stream #%d cannot be multiplexed", size,
                     static_cast<int64_t>(packet.StreamIndex));
    }
  } else if (d.Kind == MPK_SUBPICTURE) {
    if (d.StreamId < 0x20 || d.StreamId > 0x3F)
      return FailFmt("Sub-picture stream id %d out of range", static_cast<int64_t>(d.StreamId));
    slot = d.StreamId - 0x20u;
    if (size > static_cast<int64_t>(kMaxSubPictureUnit) || size < 4) {
      LogFmt(EVT_WARNING, "Sub-picture unit of %d bytes on stream #%d dropped: a player holds at most %d", size,
             static_cast<int64_t>(packet.StreamIndex), static_cast<int64_t>(kMaxSubPictureUnit));
      drop = true;
      return true;
    }
  } else if (size == 0) {
    drop = true;
    return true;
  }

  TStreamState& s = streams_[packet.StreamIndex];
  if (!s.Seen) {
    s.Seen = true;
    s.Kind = d.Kind;
    s.Codec = info.Codec;
    s.Slot = slot;
    if (d.Kind == MPK_AUDIO) collection_->RegisterAudioStream(slot, info.Codec, info.Channels, info.Language);
    if (d.Kind == MPK_SUBPICTURE) collection_->RegisterSubpictureStream(slot, info.Language);
  } else if (s.Slot != slot) {
    return FailFmt("Stream #%d changed its DVD stream id", static_cast<int64_t>(packet.StreamIndex));
  }
  state = &s;
  return true;
}

bool TDvdMux::Write(const TMuxPacketIn& packet) {
  if (!opened_) return Fail("The multiplexer is not open");
  if (failed_ || finished_) return false;
  TStreamState* state = nullptr;
  bool drop = false;
  if (!CheckPacket(packet, state, drop)) return false;
  if (drop) return true;
  if (!interleaver_->AddPacket(packet)) {
    failed_ = true;
    return false;
  }
  for (;;) {
    const TGroupResult r = interleaver_->ReleaseGroup();
    if (r == TGroupResult::Failed) {
      failed_ = true;
      return false;
    }
    if (r == TGroupResult::None) return true;
    if (!WriteGroup(interleaver_->TakeReleased())) return false;
  }
}

bool TDvdMux::Finish() {
  if (!opened_) return Fail("The multiplexer is not open");
  if (failed_ || finished_) return false;
  finished_ = true;
  for (;;) {
    const TGroupResult r = interleaver_->DrainGroup();
    if (r == TGroupResult::Failed) {
      failed_ = true;
      return false;
    }
    if (r == TGroupResult::None) break;
    if (!WriteGroup(interleaver_->TakeReleased())) return false;
  }
  if (vobus_.empty()) return Fail("Nothing was multiplexed");
  if (!FlushVobu(true)) return false;
  nextSector_ = vobus_.back()->StartSector + vobus_.back()->SectorCount();
  CloseCell();
  return FinaliseVobus(true);
}

// ---------------------------------------------------------------- groups and VOBUs

bool TDvdMux::WriteGroup(std::vector<TPacketContainerPtr> packets) {
  auto start = std::find_if(packets.begin(), packets.end(), [](const TPacketContainerPtr& p) { return p->IsGroupStart(); });
  if (start == packets.end()) return Fail("Assertion failure: a released group has no video key frame to open a VOBU");
  if (!OpenVobu(**start, packets)) return false;
  for (const TPacketContainerPtr& p : packets)
    if (!WritePacket(*p)) return false;
  return true;
}

bool TDvdMux::OpenVobu(const TAvPacketContainer& start, const std::vector<TPacketContainerPtr>& packets) {
  const TMuxPacketDescriptor& d = start.Descriptor;
  const bool newVob = !haveCell_ || d.VobId != vobId_;
  TVobu* old = nullptr;
  if (!vobus_.empty()) {
    // Audio still buffered stays with its VOB, whose clock its time stamps follow.
    if (!FlushVobu(newVob)) return false;
    old = vobus_.back().get();
    nextSector_ = old->StartSector + old->SectorCount();
  }
  if (nextSector_ > std::numeric_limits<uint32_t>::max() / 2) return Fail("The VOB file set is too large");
  auto v = std::make_unique<TVobu>();
  v->StartSector = static_cast<uint32_t>(nextSector_);
  if (old) {
    old->NextValue = kSriValid | old->SectorCount();
    v->PrevValue = kSriValid | old->SectorCount();
  }

  const int64_t iDts = start.Dts;
  std::vector<TCell>& cells = collection_->Cells;
  if (!haveCell_ || d.VobId != vobId_ || d.CellId != cellId_) {
    const bool first = !haveCell_;
    if (haveCell_) CloseCell();
    if (newVob) {
      vobBase_ = iDts;
      scrPacks_ = 0;
      scrBase_ = 0;
      fullness_ = 0;
      pictures_.clear();
      for (auto& [index, s] : streams_) s.PstdDone = false;
      if (offset_ == kNoTimeStamp) {
        // Time to send the navigation pack and the video that precedes the first
        // audio (and the packet after that audio), so that the first pictures are
        // in the decoder before they are due; within bounds.
        int64_t packs = 1;
        auto add = [&packs](const TAvPacketContainer& p) { packs += (p.Size + 2014) / 2015; };
        size_t i = 0;
        while (i < packets.size() && packets[i]->Descriptor.Kind != MPK_AUDIO) add(*packets[i++]);
        while (i < packets.size() && packets[i]->Descriptor.Kind == MPK_AUDIO) ++i;
        if (i < packets.size()) add(*packets[i]);
        offset_ = std::clamp<int64_t>(ScrOfPackCount(packs) / 300 + 1, frameDuration_ / 2, 6 * frameDuration_);
      }
    }
    TCell cell;
    cell.CellId = d.CellId;
    cell.VobId = d.VobId;
    cell.FirstSector = v->StartSector;
    cell.StartTime = iDts + frameDuration_;
    cell.VobBase = vobBase_;
    cells.push_back(cell);
    if (first) {
      vobVideoStart_ = offset_ + frameDuration_;
      vobVideoEnd_ += offset_ + frameDuration_;
    }
    haveCell_ = true;
    vobId_ = d.VobId;
    cellId_ = d.CellId;
  }
  TCell& cell = cells.back();
  v->StartTime = iDts + frameDuration_;
  v->Duration = start.GroupDuration;
  AdvanceScrFor(kVobuOpenThreshold);
  v->Scr = TakeScr(Rebase(iDts));
  v->UopMask = d.UopMask;
  v->Cell = cells.size() - 1;
  v->IndexInCell = static_cast<size_t>(cell.VobuCount);
  v->VobId = d.VobId;
  v->CellId = d.CellId;
  v->CellStart = cell.StartTime;
  v->VobBase = vobBase_;
  v->MenuPage = menuPage_;
  v->MenuPtm = menuPtm_;
  if (v->MenuPage && !cell.MenuPage) cell.MenuPage = v->MenuPage;
  ++cell.VobuCount;
  cell.LastVobuSector = v->StartSector;
  cellPositions_[v->Cell].push_back({v->StartSector, v->StartTime});
  for (auto& [index, s] : streams_) s.CurrentPicture = -1;
  vobus_.push_back(std::move(v));
  return FinaliseVobus(false);
}

void TDvdMux::CloseCell() {
  if (collection_->Cells.empty() || vobus_.empty()) return;
  TCell& cell = collection_->Cells.back();
  const TVobu& last = *vobus_.back();
  cell.LastSector = static_cast<uint32_t>(nextSector_ - 1);
  cell.Duration = (last.StartTime - cell.StartTime) + last.Duration;
}

bool TDvdMux::FlushVobu(bool endOfVob) {
  TVobu& v = *vobus_.back();
  for (auto& [index, s] : streams_)
    if (s.Kind == MPK_VIDEO)
      while (!s.Queue.empty())
        if (!EmitPack(s, s.Queue.size())) return false;
  if (endOfVob)
    for (auto& [index, s] : streams_)
      if (s.Kind == MPK_AUDIO)
        while (!s.Queue.empty())
          if (!EmitPack(s, s.Queue.size())) return false;
  // The sub-picture a player shows at this VOBU's start, as known now.
  for (unsigned i = 0; i < 32; ++i) {
    uint32_t value = 0;
    if (spSeen_[i]) {
      if (spFirstVobuSector_[i] == v.StartSector || spLastEnd_[i] < v.StartTime)
        value = kSyncNone;
      else
        value = kSriValid | static_cast<uint32_t>(v.StartSector - spLastVobuSector_[i]);
    }
    v.SpSync[i] = value;
  }
  return true;
}

bool TDvdMux::FinaliseVobus(bool all) {
  while (!vobus_.empty()) {
    if (!all) {
      if (vobus_.size() < 2) break;
      const TVobu& oldest = *vobus_.front();
      const TVobu& newest = *vobus_.back();
      if (newest.StartTime - oldest.StartTime <= kSearchWindow && newest.Cell == oldest.Cell) break;
    }
    if (!FinaliseOldest()) return false;
  }
  return true;
}

bool TDvdMux::FinaliseOldest() {
  TVobu& v = *vobus_.front();
  const bool lastInCell = vobus_.size() < 2 || vobus_[1]->Cell != v.Cell;
  int64_t duration = v.Duration;
  // A still: one picture shown for about half a second.
  if (lastInCell && v.Pictures.size() == 1) duration = int64_t{frameDuration_} * (45000 / frameDuration_);

  TMPEG2_Nav_Pack nav;
  nav.SetFrameRate(frameRate_);
  nav.SetLbn(v.StartSector);
  nav.SetCellElapsedFrames((v.StartTime - v.CellStart) / frameDuration_);
  nav.SetUopMask(v.UopMask);
  const int64_t startPtm = v.StartTime + offset_ - v.VobBase;
  nav.SetVobuStartPtm(static_cast<uint32_t>(startPtm));
  nav.SetVobuEndPtm(static_cast<uint32_t>(startPtm + duration));
  if (v.MenuPage && !nav.SetHighlight(*v.MenuPage, static_cast<uint32_t>(v.MenuPtm + offset_ - v.VobBase)))
    return Fail("Menu page whose buttons cannot be described in a navigation pack");

  nav.SetScrBase(static_cast<uint32_t>(v.Scr / 300));
  nav.SetVobuEndAddress(v.SectorCount() - 1);
  std::array<uint32_t, 3> ends{};
  size_t found = 0;
  for (const TPictureRecord& p : v.Pictures) {
    if (found == 3) break;
    if ((p.Type == PICT_I || p.Type == PICT_P) && p.EndSector >= 0) ends[found++] = static_cast<uint32_t>(p.EndSector);
  }
  nav.SetReferenceEndAddresses(ends);
  nav.SetVobCell(v.VobId, v.CellId);
  nav.SetVobVideoStartPtm(static_cast<uint32_t>(vobVideoStart_));
  nav.SetVobVideoEndPtm(static_cast<uint32_t>(vobVideoEnd_));
  nav.SetNextVobu(lastInCell ? kSriNone : v.NextValue);
  nav.SetNextVideo(lastInCell ? kSriNoVideo : v.NextValue);
  nav.SetPrevVobu(v.IndexInCell == 0 ? kSriNone : v.PrevValue);
  nav.SetPrevVideo(v.IndexInCell == 0 ? kSriNoVideo : v.PrevValue);
  const std::vector<TVobuPosition>& cell = cellPositions_[v.Cell];
  nav.SetForwardPointers(ForwardPointers(cell, v.IndexInCell));
  nav.SetBackwardPointers(BackwardPointers(cell, v.IndexInCell));
  for (unsigned slot = 0; slot < audioBound_; ++slot)
    nav.SetAudioSync(slot, v.AudioFirst[slot] >= 0 ? static_cast<uint16_t>(v.AudioFirst[slot]) : 0x3FFF);
  for (unsigned i = 0; i < 32; ++i) nav.SetSubpictureSync(i, v.SpSync[i]);

  TMPEG2_program_pack header;
  header.SetScr(v.Scr);
  header.SetAudioBound(audioBound_);
  if (!nav.WriteSector(std::span<uint8_t>(v.Sectors.data(), kSectorSize), header))
    return Fail("Assertion failure: navigation pack does not fill its sector");
  if (v.Sectors.size() % kSectorSize != 0) return Fail("Assertion failure: VOBU is not a whole number of sectors");

  const int64_t bytes = static_cast<int64_t>(v.Sectors.size());
  TFileClusterRWStream& out = *params_.Output;
  if (out.Write(v.Sectors.data(), bytes) != bytes) {
    const std::string reason = out.Error().empty() ? std::string("the VOB files are full") : out.Error();
    return FailFmt("Cannot write the VOB files: %s", reason);
  }
  collection_->AddVobu({v.CellId, v.StartSector, v.VobId, v.StartTime, v.StartTime + duration}, v.SectorCount());
  collection_->BytesWritten += bytes;
  if (lastInCell) cellPositions_.erase(v.Cell);
  vobus_.pop_front();
  return true;
}

// ---------------------------------------------------------------- packets out

bool TDvdMux::WritePacket(const TAvPacketContainer& p) {
  auto it = streams_.find(p.StreamIndex);
  if (it == streams_.end()) return Fail("Assertion failure: packet of a stream never seen");
  TStreamState& s = it->second;
  switch (s.Kind) {
    case MPK_VIDEO: return WriteVideo(s, p);
    case MPK_AUDIO: return WriteAudio(s, p);
    case MPK_SUBPICTURE: return WriteSubpicture(s, p);
  }
  return Fail("Assertion failure: packet of unknown kind");
}

bool TDvdMux::WriteVideo(TStreamState& s, const TAvPacketContainer& p) {
  TVobu& v = *vobus_.back();
  // A 4-byte packet is a sequence end code, not a picture.
  if (p.Data.size() > 4) {
    v.Pictures.push_back({p.Descriptor.PictureType, -1, -1});
    const int64_t pts = p.Pts == kNoTimeStamp ? p.Dts : p.Pts;
    s.Starts.push_back({s.Queue.size(), Rebase(pts), Rebase(p.Dts), static_cast<int>(v.Pictures.size() - 1)});
    pictures_.push_back({Rebase(p.Dts), static_cast<int64_t>(p.Data.size())});
  }
  s.Queue.insert(s.Queue.end(), p.Data.begin(), p.Data.end());
  while (s.Queue.size() >= kMaxPackPayload)
    if (!EmitPack(s, s.Queue.size())) return false;
  return true;
}

bool TDvdMux::WriteAudio(TStreamState& s, const TAvPacketContainer& p) {
  const int64_t pts = Rebase(p.Pts == kNoTimeStamp ? p.Dts : p.Pts);
  if (pts < 0) {
    LogFmt(EVT_WARNING, "Audio packet at %d (90 kHz) lies before the start of its VOB: dropped", p.Pts);
    return true;
  }
  if (s.Codec == AV_CODEC_ID_DTS) {
    // Whole frames only: one large or two small ones per pack.
    if (!s.Queue.empty() && s.Queue.size() + p.Data.size() > kDtsFrameLarge)
      if (!EmitPack(s, s.Queue.size())) return false;
    s.Starts.push_back({s.Queue.size(), pts, pts, -1});
    s.Queue.insert(s.Queue.end(), p.Data.begin(), p.Data.end());
    if (s.Queue.size() >= 2 * kDtsFrameSmall) return EmitPack(s, s.Queue.size());
    return true;
  }
  s.Starts.push_back({s.Queue.size(), pts, pts, -1});
  s.Queue.insert(s.Queue.end(), p.Data.begin(), p.Data.end());
  while (s.Queue.size() >= kMaxPackPayload)
    if (!EmitPack(s, s.Queue.size())) return false;
  return true;
}

bool TDvdMux::WriteSubpicture(TStreamState& s, const TAvPacketContainer& p) {
  TVobu& v = *vobus_.back();
  const int64_t time = p.Pts == kNoTimeStamp ? p.Dts : p.Pts;
  if (p.Descriptor.Highlight) {
    menuPage_ = p.Descriptor.Highlight;
    menuPtm_ = time;
    v.MenuPage = menuPage_;
    v.MenuPtm = menuPtm_;
    TCell& cell = collection_->Cells.back();
    if (!cell.MenuPage) cell.MenuPage = menuPage_;
  }
  const unsigned i = s.Slot;
  if (!spSeen_[i]) spFirstVobuSector_[i] = v.StartSector;
  spSeen_[i] = true;
  spLastVobuSector_[i] = v.StartSector;
  spLastEnd_[i] = p.Duration > 0 ? time + p.Duration : std::numeric_limits<int64_t>::max();
  s.Starts.push_back({s.Queue.size(), Rebase(time), Rebase(time), -1});
  s.Queue.insert(s.Queue.end(), p.Data.begin(), p.Data.end());
  while (!s.Queue.empty())
    if (!EmitPack(s, s.Queue.size())) return false;
  return true;
}

bool TDvdMux::EmitPack(TStreamState& s, size_t limit) {
  TVobu& v = *vobus_.back();
  std::vector<uint8_t>& buf = v.Sectors;
  if (buf.size() % kSectorSize != 0) return Fail("Sector boundary problem.");
  const size_t packStart = buf.size();
  const int64_t sector = static_cast<int64_t>(packStart / kSectorSize);

  TMPEG2_video_pack pes;
  pes.SetCopyStatus(true);
  size_t substream = 0;
  const bool dts = s.Kind == MPK_AUDIO && s.Codec == AV_CODEC_ID_DTS;
  if (s.Kind == MPK_VIDEO) {
    pes.SetStreamId(kStreamIdVideo);
  } else if (s.Kind == MPK_AUDIO && IsMpegAudio(s.Codec)) {
    pes.SetStreamId(static_cast<uint8_t>(kStreamIdMpegAudio + s.Slot));
  } else {
    pes.SetStreamId(kStreamIdPrivate1);
    substream = s.Kind == MPK_SUBPICTURE ? 1 : 4;
  }
  if (!s.PstdDone) {
    pes.SetPstdBuffer(s.Kind == MPK_VIDEO ? kPstdVideo : pes.StreamId() == kStreamIdPrivate1 ? kPstdPrivate1 : kPstdMpegAudio);
  } else if (dts) {
    pes.SetStuffing(3);  // keeps room for exactly one large DTS frame
  }

  // Stamped with the first picture or frame that begins in the pack.
  const TStart* stamp = nullptr;
  if (!s.Starts.empty()) {
    const TStart& first = s.Starts.front();
    const bool ok = s.Kind == MPK_VIDEO && first.Dts != first.Pts ? pes.SetPtsDts(first.Pts, first.Dts)
                                                                   : pes.SetPts(first.Pts);
    if (!ok) return FailFmt("Time stamp %d lies outside the VOB's clock", first.Pts);
    if (first.Offset < std::min(PackPayloadRoom(pes.HeaderSize(), substream), limit))
      stamp = &first;
    else
      pes.ClearTimeStamps();
  }
  const size_t room = PackPayloadRoom(pes.HeaderSize(), substream);
  const size_t n = std::min({room, limit, s.Queue.size()});
  if (n == 0) return Fail("Assertion failure: empty pack");

  const bool headIsStart = !s.Starts.empty() && s.Starts.front().Offset == 0;
  int64_t t = headIsStart ? s.Starts.front().Dts : s.CurrentDts;
  if (stamp) t = std::max(t, stamp->Dts);
  const int64_t scr = TakeScr(t);
  TMPEG2_program_pack header;
  if (!header.SetScr(scr)) return FailFmt("System clock %d out of range", scr);
  header.SetAudioBound(audioBound_);
  header.Write(buf, false);
  pes.Write(buf);

  size_t frames = 0;
  while (frames < s.Starts.size() && s.Starts[frames].Offset < n) ++frames;
  if (s.Kind == MPK_AUDIO && !IsMpegAudio(s.Codec)) {
    const unsigned pointer = frames ? static_cast<unsigned>(s.Starts.front().Offset + 1) : 0;
    const bool ok = dts ? AppendDtsSubstreamHeader(buf, s.Slot, static_cast<unsigned>(frames), pointer)
                        : AppendAc3SubstreamHeader(buf, s.Slot, static_cast<unsigned>(frames), pointer);
    if (!ok) return Fail("Assertion failure: audio sub-stream header");
  } else if (s.Kind == MPK_SUBPICTURE) {
    AppendSubpictureSubstreamHeader(buf, s.Slot);
  }
  buf.insert(buf.end(), s.Queue.begin(), s.Queue.begin() + static_cast<std::ptrdiff_t>(n));
  if (!ClosePack(buf, packStart) || buf.size() - packStart != kSectorSize) return Fail("Sector boundary problem.");

  // Bookkeeping: which pictures this pack holds bytes of.
  if (s.Kind == MPK_VIDEO && !headIsStart && s.CurrentPicture >= 0)
    v.Pictures[static_cast<size_t>(s.CurrentPicture)].EndSector = sector;
  for (size_t k = 0; k < frames; ++k) {
    const TStart& f = s.Starts.front();
    s.CurrentDts = f.Dts;
    s.CurrentPicture = f.Picture;
    if (f.Picture >= 0) {
      TPictureRecord& rec = v.Pictures[static_cast<size_t>(f.Picture)];
      if (rec.StartSector < 0) rec.StartSector = sector;
      rec.EndSector = sector;
    }
    s.Starts.pop_front();
  }
  for (TStart& f : s.Starts) f.Offset -= n;
  s.Queue.erase(s.Queue.begin(), s.Queue.begin() + static_cast<std::ptrdiff_t>(n));
  s.PstdDone = true;

  if (s.Kind == MPK_VIDEO) {
    PicturesLeave(scrBase_ + static_cast<int64_t>(n) * 72 / 1008);
    fullness_ += static_cast<int64_t>(n);
    if (fullness_ > kVideoBufferSize) {
      ++collection_->OverflowCount;
      collection_->LargestOverflow =
          std::max(collection_->LargestOverflow, static_cast<int32_t>(fullness_ - kVideoBufferSize));
    }
    AdvanceScrFor(kVideoBufferThreshold);
  } else if (s.Kind == MPK_AUDIO) {
    ++collection_->AudioPackCount;
    if (v.AudioFirst[s.Slot] < 0) v.AudioFirst[s.Slot] = static_cast<int32_t>(sector);
  } else {
    ++collection_->SubpicturePackCount;
  }
  return true;
}

// ---------------------------------------------------------------- clock and buffer model

int64_t TDvdMux::Scr27() const { return ScrOfPackCount(scrPacks_); }

void TDvdMux::SetScrAtLeast(int64_t scr27, bool roundUp) {
  const int64_t scaled = scr27 * kPackTimeDen;
  int64_t packs = roundUp ? (scaled + kPackTimeNum27MHz - 1) / kPackTimeNum27MHz
                          : (scaled + kPackTimeNum27MHz / 2) / kPackTimeNum27MHz;
  if (scaled < 0) packs = 0;
  scrPacks_ = std::max(scrPacks_, packs);
}

int64_t TDvdMux::TakeScr(int64_t t) {
  // A pack is not sent more than a second ahead of its time.
  if (t - Scr27() / 300 > kMaxStampLead) SetScrAtLeast((t + frameDuration_ - kMaxStampLead) * 300, false);
  const int64_t scr = Scr27();
  scrBase_ = scr / 300;
  PicturesLeave(scrBase_);
  ++scrPacks_;
  return scr;
}

void TDvdMux::PicturesLeave(int64_t time) {
  while (!pictures_.empty() && pictures_.front().Dts <= time) {
    fullness_ -= pictures_.front().Size;
    if (fullness_ < 0) {
      // The picture was due before all of it had arrived.
      ++collection_->UnderflowCount;
      collection_->LargestUnderflow = std::max(collection_->LargestUnderflow, static_cast<int32_t>(-fullness_));
      fullness_ = 0;
    }
    pictures_.pop_front();
  }
}

void TDvdMux::AdvanceScrFor(int64_t threshold) {
  // Too full: the next pack waits until enough pictures have been decoded.
  int64_t sum = 0;
  for (const TPictInBuffer& pic : pictures_) {
    if (fullness_ - sum <= threshold) break;
    if (pic.Dts * 300 > Scr27() + ScrOfPackCount(1)) SetScrAtLeast(pic.Dts * 300, true);
    sum += pic.Size;
  }
}

}  // namespace vidoria
