#include "engine/U_TitleSubtitles.h"

#include "common/U_DVDPalette.h"
#include "input/U_AvUtils.h"

namespace vidoria {

TTitleSubtitles::TTitleSubtitles() : palette_(std::make_shared<TDVDPalette>()) {
  // Every title palette starts with black and white; text colours follow.
  palette_->Add(kBlack);
  palette_->Add(kWhite);
}

TSttFile* TTitleSubtitles::AddFile(const TExternal_Subt& subt) {
  list_.LogCallback = LogCallback;
  TSttFile& f = list_.AddFile();
  f.SetFileName(subt.filename);
  f.Font = subt.Font;
  f.OutlineColor = subt.outline_color;
  f.OutlineSize = subt.Outline_size;
  f.CodePage = subt.code_page;
  f.LineBreak = subt.line_break;
  f.RelativePosition = subt.Relative_position;
  f.DefaultStream = subt.DefaultStream;
  if (f.Load() <= 0) {
    LogFmt(EVT_WARNING, "Skipping subtitle file \"%s\". Reason: Empty or unsupported format",
           DisplayName(std::filesystem::path(subt.filename)));
    return nullptr;
  }
  // The project's language is that of the file's first stream; VobSub files name the
  // languages of the others.
  if (!subt.language.empty()) f.SetStreamLanguage(0, subt.language);
  for (int n = 0; n < f.StreamCount(); ++n) f.SetStreamDiscarded(f.StreamByOrdinal(n), subt.StreamDiscarded(n));
  return &f;
}

bool TTitleSubtitles::Prepare() {
  list_.LogCallback = LogCallback;
  const bool ok = list_.LoadAll();
  if (!ok) Log(EVT_ERROR, "Subtitle preparation failed, because SUB/IDX of different standard are included in the same sequence.");
  // VobSub units name their colours by index: the last file that brings a palette
  // decides the title's.
  for (size_t i = 0; i < list_.Count(); ++i) list_.Item(i).ApplyPalette(*palette_);
  list_.TextRenderer = MakeTextEventRenderer(palette_);
  return ok;
}

std::optional<int> TTitleSubtitles::SubIdxHeight() const {
  for (size_t i = 0; i < list_.Count(); ++i) {
    const TSttFile& f = const_cast<TSttList&>(list_).Item(i);
    if (f.FileType() == STTF_SUBIDX && f.PictureHeight() > 0) return f.PictureHeight();
  }
  return std::nullopt;
}

std::deque<ISubPictureSource::TUnit>& TTitleSubtitles::Queue(int stream) {
  if (stream >= static_cast<int>(queues_.size())) queues_.resize(static_cast<size_t>(stream) + 1);
  return queues_[static_cast<size_t>(stream)];
}

void TTitleSubtitles::BindStream(TSttFile& file, int index, const TAV_Input_Stream* stream) {
  bindings_.push_back({&file, index, stream});
}

bool TTitleSubtitles::NextUnit(int stream, int64_t until90, bool pal, ISubPictureSource::TUnit& unit) {
  if (stream < 0) return false;
  if (!started_) {
    // The title set has made its choice of streams by now (a title holds 32 at most).
    started_ = true;
    for (const auto& b : bindings_)
      if (b.stream && b.stream->Discard) b.file->SetStreamDiscarded(b.index, true);
  }
  while (list_.PeekNextPts() <= until90) {
    TSttPacket packet;
    const int64_t size = list_.NextPacket(packet, pal);
    if (size < 0) break;
    if (size == 0 || packet.StreamIndex < 0) continue;
    Queue(packet.StreamIndex).push_back({std::move(packet.Data), packet.Pts, packet.Duration});
  }
  auto& q = Queue(stream);
  if (q.empty() || q.front().pts90 > until90) return false;
  unit = std::move(q.front());
  q.pop_front();
  return true;
}

int64_t TTitleSubtitles::NextEventTime(int stream) const {
  if (stream >= 0 && stream < static_cast<int>(queues_.size()) && !queues_[static_cast<size_t>(stream)].empty())
    return queues_[static_cast<size_t>(stream)].front().pts90 * 100 / 9;
  auto& frames = const_cast<TSttList&>(list_).Frames();
  for (size_t i = frames.CurrentIndex(); i < frames.Count(); ++i) {
    const TSttFrame& f = frames.Item(i);
    if (f.Owner && !f.Owner->IsStreamDiscarded(f.StreamIndex()) && f.Owner->OutputStream(f.StreamIndex()).Index == stream)
      return f.Start * 1000;
  }
  return kNoTime;
}

std::shared_ptr<TTitleSubtitles> AttachSubtitles(const TVideoSegmentstorage& segment, Tav_titleset& set,
                                                 TAv_input_file* file, const TLoggingObject& log, bool& ok) {
  ok = true;
  if (segment.External_Subts.Empty()) return nullptr;
  auto subs = std::make_shared<TTitleSubtitles>();
  subs->LogCallback = log.LogCallback;
  int next = 0;
  for (const TExternal_Subt& x : segment.External_Subts) {
    TSttFile* f = subs->AddFile(x);
    if (!f) continue;
    for (int n = 0; n < f->StreamCount(); ++n) {
      const int index = f->StreamByOrdinal(n);
      const int out = next++;
      f->AttachOutputStream(n, out);
      auto source = std::make_shared<TSttStreamSource>(subs, out, f->GetStreamLanguage(n));
      const TAV_Input_Stream* s =
          set.AddSubtitleStream(source, file, f->IsStreamDiscarded(index), f->DefaultStream == index);
      subs->BindStream(*f, index, s);
    }
  }
  if (next == 0) return nullptr;
  ok = subs->Prepare();
  return subs;
}

}  // namespace vidoria
