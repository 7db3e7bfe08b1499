#include "project/U_VTHelper.h"

#include <algorithm>
#include <cctype>

namespace vidoria {

EStreamType StreamTypeFromMediaType(int mediaType) {
  switch (mediaType) {
    case 0: return ST_VIDEO;
    case 1: return ST_AUDIO;
    case 2: return ST_DATA;
    case 3: return ST_SUBTITLE;
    case 4: return ST_DATA;  // attachment
    default: return ST_UNKNOWN;
  }
}

void TAvFileCluster::Assign(const TAvFileCluster& o) {
  Cluster = o.Cluster;
  GroupID = o.GroupID;
  GroupIndex = o.GroupIndex;
  duration_from_file = o.duration_from_file;
  duration_from_user = o.duration_from_user;
  display_aspect = o.display_aspect;
  format_name = o.format_name;
  estimated_frame_rate = o.estimated_frame_rate;
  start_Dts = o.start_Dts;
  start_Pts = o.start_Pts;
  Sync_Ok = o.Sync_Ok;
}

TAv_input_file* TAvFileCluster::PredecessorInputFile(const TAvFileSet& set) const {
  for (const auto& c : set)
    if (c.GroupID == GroupID && c.GroupIndex == GroupIndex - 1) return c.input_file;
  return nullptr;
}

void TChapter_collection::Sort() {
  StableSort([](const Tchapter& a, const Tchapter& b) { return a.start < b.start; });
}

void TChapter_collection::AddRun(int count, int64_t intervalMs) {
  int64_t base = Empty() ? 0 : Item(Count() - 1).start;
  for (int i = 0; i < count; ++i) {
    base += intervalMs;
    Add().start = base;
  }
}

int TChapter_collection::AddChapter(int64_t startMs) {
  if (startMs <= 0) return -1;
  Tchapter& added = Add();
  added.start = startMs;
  Sort();
  return IndexOf(added);
}

int TChapter_collection::ChangeStart(size_t i, int64_t startMs) {
  Tchapter& c = Item(i);
  c.start = startMs;
  Sort();
  return IndexOf(c);
}

size_t TChapter_collection::Find(int64_t startMs) const {
  auto it = std::lower_bound(begin(), end(), startMs, [](const Tchapter& c, int64_t t) { return c.start < t; });
  return static_cast<size_t>(it - begin());
}

void TExternal_Subt::SetStreamCount(int n) {
  streamCount_ = std::max(n, 0);
  discard_.resize(static_cast<size_t>(streamCount_), false);
}

void TExternal_Subt::SetStreamDiscarded(int i, bool discarded) {
  if (i < 0) return;
  if (static_cast<size_t>(i) >= discard_.size()) discard_.resize(static_cast<size_t>(i) + 1, false);
  discard_[static_cast<size_t>(i)] = discarded;
}

std::string TExternal_Subt::Discard_Streams() const {
  // Before the file is read its stream count is unknown: keep what was stored.
  size_t n = streamCount_ > 0 ? static_cast<size_t>(streamCount_) : discard_.size();
  std::string out;
  for (size_t i = 0; i < n; ++i) out.insert(out.begin(), StreamDiscarded(static_cast<int>(i)) ? '1' : '0');
  return out;
}

void TExternal_Subt::SetDiscard_Streams(const std::string& coded) {
  size_t n = std::max(coded.size(), static_cast<size_t>(streamCount_));
  discard_.assign(n, false);
  for (size_t i = 0; i < coded.size(); ++i) discard_[i] = coded[coded.size() - 1 - i] == '1';
}

namespace {
std::string LowerExt(const std::string& name) {
  std::string ext = std::filesystem::path(name).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}
std::string WithoutExt(const std::string& name) {
  std::filesystem::path p(name);
  return (p.parent_path() / p.stem()).string();
}
}  // namespace

bool TExternal_Subt::IsVobSubName(const std::string& name) {
  std::string ext = LowerExt(name);
  return ext == ".sub" || ext == ".idx";
}

void Texternal_subt_collection::Assign(const Texternal_subt_collection& other) {
  TOwnedCollection<TExternal_Subt>::Assign(other);
  Default_Stt_file = other.Default_Stt_file;
  Default_Stt_Index = other.Default_Stt_Index;
  Default_Stt_Enabled = other.Default_Stt_Enabled;
}

void Texternal_subt_collection::SetDefaultSubtitle(int32_t file, int32_t stream, bool enabled) {
  Default_Stt_file = file;
  Default_Stt_Index = stream;
  Default_Stt_Enabled = enabled;
  for (size_t i = 0; i < Count(); ++i)
    Item(i).DefaultStream = enabled && static_cast<int32_t>(i) == file ? stream : -1;
}

bool Texternal_subt_collection::Contains(const std::string& name) const {
  const bool vobsub = TExternal_Subt::IsVobSubName(name);
  for (const auto& s : *this) {
    if (TExternal_Subt::IsVobSubName(s.filename)) {
      if (vobsub && WithoutExt(s.filename) == WithoutExt(name)) return true;
    } else if (s.filename == name) {
      return true;
    }
  }
  return false;
}

void TVideoSegmentstorage::Assign(const TVideoSegmentstorage& o) {
  friendly_name = o.friendly_name;
  FileSet.Assign(o.FileSet);
  Streams.Assign(o.Streams);
  Chapters.Assign(o.Chapters);
  External_Subts.Assign(o.External_Subts);
}

Tsegment_stream* TVideoSegmentstorage::AudioStream(int n) {
  for (auto& s : Streams)
    if (s.stream_type == ST_AUDIO && n-- == 0) return &s;
  return nullptr;
}

int TVideoSegmentstorage::AudioStreamCount() const {
  return static_cast<int>(std::count_if(Streams.begin(), Streams.end(),
                                        [](const Tsegment_stream& s) { return s.stream_type == ST_AUDIO; }));
}

std::string TVideo_segments_collection::Project_Name() const {
  if (!projectName_.empty()) return projectName_;
  if (!Empty() && !Item(0).FileSet.Empty() && Item(0).FileSet[0].Cluster.Count() > 0) {
    std::string name = Item(0).FileSet[0].Cluster.Item(0).FileName.stem().string();
    size_t b = name.find_first_not_of(" \t"), e = name.find_last_not_of(" \t");
    if (b != std::string::npos) return name.substr(b, e - b + 1);
  }
  return "New Project";
}

void TVideo_segments_collection::DeleteSegment(size_t i) {
  if (i >= Count()) return;
  if (Count() == 1) projectName_.clear();
  Delete(i);
}

void TMenuStorage::Set_present(bool v) {
  if (v == present_) return;
  present_ = v;
  if (OnChange) OnChange();
}

void TMenuStorage::Set_entries_per_pages(uint8_t v) {
  v = std::max<uint8_t>(v, 1);  // the menu divides the titles by it
  if (v == entriesPerPages_) return;
  entriesPerPages_ = v;
  if (OnChange) OnChange();
}

void TMenuStorage::Assign(const TMenuStorage& other) {
  auto onChange = std::move(OnChange);
  *this = other;
  OnChange = std::move(onChange);
  if (OnChange) OnChange();
}

void TMenuStorage::ResetDefaults() {
  present_ = true;
  auto_play = true;
  loop_playback = true;
  sequential_play = true;
  title = "Menu";
  background = "qor.jpg";
  entriesPerPages_ = 4;
  Items_Font = {"Tahoma", 18, true, false, false, kWhite};
  Title_Font = {"Tahoma", 24, true, false, true, kWhite};
  buttons_normal_color = TRgb::FromTColor(0x00FFFF);    // yellow
  buttons_selected_color = TRgb::FromTColor(0x0000FF);  // red
  buttons_action_color = TRgb::FromTColor(0xFF0000);    // blue
}

}  // namespace vidoria
