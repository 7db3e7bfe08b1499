#pragma once
// The project: the segments (DVD titles) the user edits, each with its input file
// clusters, elementary streams, chapters and external subtitle files, and the menu
// description. Plain data, touched by the main thread only; a build reads it and writes
// back only each file cluster's input-file reference.

#include "common/U_Collection.h"
#include "common/U_FontDesc.h"
#include "input/U_FileFog.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vidoria {

class TAv_input_file;

// The input layer's media type plus one. Attachments (fonts in Matroska files) are data.
enum EStreamType : uint8_t { ST_UNKNOWN, ST_VIDEO, ST_AUDIO, ST_DATA, ST_SUBTITLE };
// Maps FFmpeg's AVMediaType value (-1 unknown, 0 video ... 4 attachment).
EStreamType StreamTypeFromMediaType(int mediaType);

class TAvFileSet;

// One input file cluster as probed when the file was added. Times in microseconds.
class TAvFileCluster {
 public:
  TFileCluster Cluster;
  int64_t start_Pts = 0;
  int64_t start_Dts = 0;
  bool Sync_Ok = false;
  int32_t GroupID = 0;     // clusters that follow one another share a group (0: alone)
  int32_t GroupIndex = 0;  // position in the group
  int64_t duration_from_file = 0;
  int64_t duration_from_user = 0;
  int32_t real_frame_rate = 0;
  int32_t real_frame_rate_base = 0;

  // Run-time values, copied by Assign but not saved.
  float display_aspect = 0;  // width / height as displayed
  std::string format_name = "unknown";
  float estimated_frame_rate = 0;
  TAv_input_file* input_file = nullptr;  // set by a running build, not owned

  // Copies everything but the frame-rate fields and the input file reference.
  void Assign(const TAvFileCluster& other);
  // The input file of the cluster in `set` that precedes this one in its group.
  TAv_input_file* PredecessorInputFile(const TAvFileSet& set) const;
  // duration_from_user as a fraction of a day, for time display.
  double DurationDays() const { return static_cast<double>(duration_from_user) / 1000.0 / 86400000.0; }
};

class TAvFileSet : public TOwnedCollection<TAvFileCluster> {};

class Tsegment_stream {
 public:
  bool discard = false;
  int32_t stream_index = 0;
  int32_t file_index = 0;
  std::string description;
  EStreamType stream_type = ST_UNKNOWN;
  std::string language;
  int64_t delay = 0;       // µs, the user's delay
  int64_t Pts_Offset = 0;  // µs
  int64_t Dts_Offset = 0;  // µs
  int64_t Relative_start_time = 0;
  int64_t Relative_end_time = 0;

  void Assign(const Tsegment_stream& other) { *this = other; }
};

class Tsegment_stream_collection : public TOwnedCollection<Tsegment_stream> {};

class Tchapter {
 public:
  int64_t start = 0;  // ms from the beginning of the title

  void Assign(const Tchapter& other) { start = other.start; }
  double StartDays() const { return static_cast<double>(start) / 86400000.0; }
  int64_t Minutes() const { return start / 60000; }
  int64_t Seconds() const { return (start % 60000) / 1000; }
};

// Kept sorted by start.
class TChapter_collection : public TOwnedCollection<Tchapter> {
 public:
  // Appends n chapters, each `intervalMs` after the previous last one.
  void AddRun(int count, int64_t intervalMs);
  // Adds a chapter at `startMs` and returns its index; -1 (nothing added) for t <= 0.
  int AddChapter(int64_t startMs);
  // Moves chapter i to `startMs`; returns its new index.
  int ChangeStart(size_t i, int64_t startMs);
  // Index of the chapter starting at `startMs`, or where it would be inserted.
  size_t Find(int64_t startMs) const;

 private:
  void Sort();
};

// One subtitle file attached to a segment. The file itself is read by the subtitle
// readers; this records the user's choices for it.
class TExternal_Subt {
 public:
  std::string filename;
  std::string language;
  TFontDesc Font{"Arial", 18, false, false, false, kWhite};
  uint8_t Relative_position = 90;
  TRgb outline_color = kBlack;
  int32_t Outline_size = 0;
  uint32_t code_page = 0;
  uint8_t line_break = 0;
  int32_t DefaultStream = -1;  // this file's default stream, -1 for none

  void Assign(const TExternal_Subt& other) { *this = other; }

  // Number of streams the file holds, once it has been read (0 until then).
  int StreamCount() const { return streamCount_; }
  void SetStreamCount(int n);
  bool StreamDiscarded(int i) const { return i >= 0 && static_cast<size_t>(i) < discard_.size() && discard_[i]; }
  void SetStreamDiscarded(int i, bool discarded);

  // One character per stream, the last one standing for stream 0: "1" discarded.
  std::string Discard_Streams() const;
  void SetDiscard_Streams(const std::string& coded);

  // True for a VobSub file (.sub or .idx).
  static bool IsVobSubName(const std::string& name);

 private:
  int streamCount_ = 0;
  std::vector<bool> discard_;
};

class Texternal_subt_collection : public TOwnedCollection<TExternal_Subt> {
 public:
  int32_t Default_Stt_file = -1;
  int32_t Default_Stt_Index = -1;
  bool Default_Stt_Enabled = false;

  void Assign(const Texternal_subt_collection& other);
  // Records the default subtitle and gives file f stream s (when enabled) as its
  // default stream; every other file gets none.
  void SetDefaultSubtitle(int32_t file, int32_t stream, bool enabled);
  // Whether `name` is already attached: the same text file, or either half of a
  // .sub/.idx pair already there.
  bool Contains(const std::string& name) const;
};

class TVideoSegmentstorage {
 public:
  std::string friendly_name;
  TAvFileSet FileSet;
  Tsegment_stream_collection Streams;
  TChapter_collection Chapters;
  Texternal_subt_collection External_Subts;

  void Assign(const TVideoSegmentstorage& other);
  int32_t Default_Stt_file() const { return External_Subts.Default_Stt_file; }
  int32_t Default_Stt_Index() const { return External_Subts.Default_Stt_Index; }
  // The n-th audio stream, or nullptr.
  Tsegment_stream* AudioStream(int n);
  int AudioStreamCount() const;
};

class TVideo_segments_collection : public TOwnedCollection<TVideoSegmentstorage> {
 public:
  // The stored name; else the first file's name (no folder, no extension, trimmed);
  // else "New Project".
  std::string Project_Name() const;
  void SetProject_Name(const std::string& name) { projectName_ = name; }
  const std::string& StoredProjectName() const { return projectName_; }
  // Removing the last segment forgets the stored name.
  void DeleteSegment(size_t i);

 private:
  std::string projectName_;
};

class TMenuStorage {
 public:
  TMenuStorage() { ResetDefaults(); }

  bool auto_play = true;
  bool loop_playback = true;
  bool sequential_play = true;
  std::string title;
  std::string background;
  TFontDesc Items_Font;
  TFontDesc Title_Font;
  TRgb buttons_normal_color;
  TRgb buttons_selected_color;
  TRgb buttons_action_color;
  // Called after `present` or `entries_per_pages` changes.
  std::function<void()> OnChange;

  bool present() const { return present_; }
  void Set_present(bool v);
  uint8_t entries_per_pages() const { return entriesPerPages_; }
  // At least 1.
  void Set_entries_per_pages(uint8_t v);

  void ResetDefaults();
  // Copies every stored value of `other`, keeping this menu's OnChange, which then fires.
  void Assign(const TMenuStorage& other);

 private:
  bool present_ = true;
  uint8_t entriesPerPages_ = 4;
};

}  // namespace vidoria
