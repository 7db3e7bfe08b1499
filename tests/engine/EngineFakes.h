#pragma once
// Stand-ins for the title conversion, the menu encoder and the IFO writer, so the job's
// control flow can be tested on its own.

#include "engine/U_av_convert_50.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vidoria::test {

// A thread-safe record of what happened, in order.
class Journal {
 public:
  void Add(const std::string& s) {
    std::lock_guard lock(m_);
    items_.push_back(s);
  }
  std::vector<std::string> Items() const {
    std::lock_guard lock(m_);
    return items_;
  }
  bool Contains(const std::string& part) const {
    std::lock_guard lock(m_);
    for (const auto& i : items_)
      if (i.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> items_;
};

struct FakeTitle : IConversionTitle {
  using ConvertFn = std::function<TTitleReport(const TTitleDecisions&, TFileCluster&, TTitleContext&)>;
  TTitleFacts facts;
  Journal& journal;
  ConvertFn convert;
  std::atomic<bool> closed{false};

  FakeTitle(Journal& j, std::string name, double fps = 25.0) : journal(j) {
    facts.name = std::move(name);
    facts.duration_us = 60'000'000;
    facts.display_aspect = 16.0 / 9;
    facts.estimated_fps = fps;
    facts.frame_rate_num = static_cast<int>(fps * 1000);
    facts.frame_rate_den = 1000;
    facts.input_bytes = 1000;
  }
  const TTitleFacts& Facts() const override { return facts; }
  TTitleReport Convert(const TTitleDecisions& d, TFileCluster& out, TTitleContext& ctx) override {
    journal.Add("title " + facts.name + (d.pal ? " PAL" : " NTSC"));
    if (convert) return convert(d, out, ctx);
    return WritePackets(out, ctx, 4);
  }
  void Close() override { closed = true; }

  // Writes `packs` packs through the output cluster, polling like the real loop.
  static TTitleReport WritePackets(TFileCluster& out, TTitleContext& ctx, int packs) {
    TTitleReport r;
    auto stream = out.OpenWrite();
    std::string pack(2048, '\0');
    for (int i = 0; i < packs; ++i) {
      if (!ctx.control.Poll()) return r;
      if (stream->Write(pack.data(), 2048) != 2048) return r;
      r.bytes_written += 2048;
      ctx.progress(r.bytes_written);
    }
    r.ok = true;
    return r;
  }
};

struct FakeMenu : IMenuStage {
  Journal& journal;
  bool fail = false;
  std::vector<std::string> names;
  explicit FakeMenu(Journal& j) : journal(j) {}
  TMenuResult EncodeMenu(const TMenuJob& job, TJobControl&, const TLoggingObject&) override {
    journal.Add("menu");
    names = job.title_names;
    TMenuResult r;
    r.ok = !fail;
    r.entries_per_page = {static_cast<int>(job.title_names.size())};
    return r;
  }
};

struct FakeIfo : IIfoStage {
  Journal& journal;
  bool fail = false;
  size_t titles = 0;
  explicit FakeIfo(Journal& j) : journal(j) {}
  bool WriteIfos(const TIfoJob& job, const TLoggingObject&) override {
    journal.Add(job.with_menu ? "ifo with menu" : "ifo");
    titles = job.titles.size();
    return !fail;
  }
};

}  // namespace vidoria::test
