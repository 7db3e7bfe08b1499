#pragma once
// External subtitle files in a build: a title's files read into one event list, the
// title's palette, and one sub-picture source per kept stream for the title conversion.

#include "engine/U_TitleConversion.h"
#include "project/U_VTHelper.h"
#include "subtitles/U_Subtitles.h"

#include <deque>
#include <memory>
#include <optional>

namespace vidoria {

// The subtitle files of one title, shared by the sources of its streams. Events come
// out of the list in time order whatever their stream; each unit waits in the queue
// of its stream until that stream's source asks for it.
class TTitleSubtitles : public TLoggingObject {
 public:
  TTitleSubtitles();

  TSttList& List() { return list_; }
  const std::shared_ptr<TDVDPalette>& Palette() const { return palette_; }

  // Adds a file with the user's settings and reads it; nullptr (logged) when it holds
  // no event.
  TSttFile* AddFile(const TExternal_Subt& subt);
  // Loads every file into the event list, takes a VobSub palette, opens the .sub files
  // and plugs the text renderer in. False (logged) when the VobSub files are of
  // different picture heights or one cannot be opened.
  bool Prepare();
  // Records the title set's stream of stream `index` of `file`: when the title set drops
  // it, its events are neither rendered nor read.
  void BindStream(TSttFile& file, int index, const TAV_Input_Stream* stream);
  // Picture height of the first VobSub file that states one.
  std::optional<int> SubIdxHeight() const;

  // The next unit of output stream `stream` that starts no later than `until90`.
  bool NextUnit(int stream, int64_t until90, bool pal, ISubPictureSource::TUnit& unit);
  // Start of the next unit of `stream` not yet delivered, microseconds; kNoTime at the end.
  int64_t NextEventTime(int stream) const;

 private:
  std::deque<ISubPictureSource::TUnit>& Queue(int stream);
  struct TBinding {
    TSttFile* file;
    int index;
    const TAV_Input_Stream* stream;
  };
  std::vector<TBinding> bindings_;
  bool started_ = false;
  TSttList list_;
  std::shared_ptr<TDVDPalette> palette_;
  std::vector<std::deque<ISubPictureSource::TUnit>> queues_;
};

// One sub-picture stream of a title, as the title set and the conversion see it.
class TSttStreamSource : public ISubPictureSource {
 public:
  TSttStreamSource(std::shared_ptr<TTitleSubtitles> subtitles, int stream, std::string language)
      : subtitles_(std::move(subtitles)), stream_(stream), language_(std::move(language)) {}
  std::string Language() const override { return language_; }
  int64_t NextEventTime() const override { return subtitles_->NextEventTime(stream_); }
  bool NextUnit(int64_t until90, bool pal, TUnit& unit) override {
    return subtitles_->NextUnit(stream_, until90, pal, unit);
  }

 private:
  std::shared_ptr<TTitleSubtitles> subtitles_;
  int stream_;
  std::string language_;
};

// Attaches the segment's subtitle files to the title set `set`, bound to `file`: one
// subtitle stream per stream of each file, discarded as the project says. Returns the
// shared subtitles (none when the segment has no usable file), or false in `ok` when
// they cannot be prepared.
std::shared_ptr<TTitleSubtitles> AttachSubtitles(const TVideoSegmentstorage& segment, Tav_titleset& set,
                                                 TAv_input_file* file, const TLoggingObject& log, bool& ok);

}  // namespace vidoria
