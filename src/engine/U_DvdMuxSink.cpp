#include "engine/U_DvdMuxSink.h"

namespace vidoria {

TDvdMuxSink::TDvdMuxSink(const TLoggingObject& log, std::shared_ptr<TDVDPalette> palette) : palette_(std::move(palette)) {
  mux_.LogCallback = log.LogCallback;
}

bool TDvdMuxSink::Open(const TMuxOpenParams& params) {
  if (!params.output) return false;
  collection_ = std::make_shared<TVobuCollection>(params.palette ? params.palette : palette_);
  collection_->SetFrameRate(params.pal ? 25 : 30);
  collection_->Widescreen = params.widescreen;
  collection_->Pulldown = params.pulldown;
  try {
    output_ = params.output->OpenWrite();
  } catch (const EStreamError& e) {
    mux_.LogFmt(EVT_ERROR, "%s", std::string(e.what()));
    return false;
  }
  TDvdMuxParams p;
  p.Standard = params.pal ? "pal" : "ntsc";
  p.Collection = collection_;
  p.Output = output_.get();
  p.TotalDurationUs = params.duration_us;
  for (const auto& s : params.streams) {
    TDvdMuxStream ms;
    ms.Kind = s.kind;
    ms.Codec = s.codec;
    ms.Channels = s.channels;
    ms.Language = s.language;
    p.Streams.push_back(ms);
  }
  return mux_.Open(p);
}

bool TDvdMuxSink::Write(const TMuxPacketIn& packet) { return mux_.Write(packet); }

bool TDvdMuxSink::Finish() {
  bool ok = mux_.Finish();
  if (output_ && !output_->Error().empty()) {
    mux_.LogFmt(EVT_ERROR, "%s", output_->Error());
    ok = false;
  }
  output_.reset();
  return ok;
}

TMuxSinkFactory DvdMuxSinkFactory(const TLoggingObject& log) {
  return [&log] { return std::make_unique<TDvdMuxSink>(log); };
}

}  // namespace vidoria
