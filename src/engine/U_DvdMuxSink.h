#pragma once
// The title conversion's multiplexer: TDvdMux writing the title's VOB files through
// the output cluster and recording them in a fresh VOBU collection.

#include "engine/U_TitleConversion.h"
#include "mux/U_DVDMux_50.h"

namespace vidoria {

class TDvdMuxSink : public IMuxSink {
 public:
  // Reports through `log`; the sub-pictures use the title's palette when the open
  // parameters carry one, else `palette` (none for the default).
  explicit TDvdMuxSink(const TLoggingObject& log, std::shared_ptr<TDVDPalette> palette = nullptr);

  bool Open(const TMuxOpenParams& params) override;
  bool Write(const TMuxPacketIn& packet) override;
  bool Finish() override;
  std::shared_ptr<TVobuCollection> Collection() override { return collection_; }
  int64_t AudioPacks() const override { return collection_ ? collection_->AudioPackCount : 0; }

 private:
  TDvdMux mux_;
  std::shared_ptr<TDVDPalette> palette_;
  std::shared_ptr<TVobuCollection> collection_;
  std::unique_ptr<TFileClusterRWStream> output_;
};

// A factory for TTitleConversion: one TDvdMuxSink per title.
TMuxSinkFactory DvdMuxSinkFactory(const TLoggingObject& log);

}  // namespace vidoria
