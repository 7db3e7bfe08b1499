#pragma once
// The IFO builder: from the VOBU collections of the title sets (and of the menu VOB)
// and the play options it decides the disc's whole navigation -- one title per title
// set, one chapter per cell, the menu chains, first play, sequential and looped
// playback -- and writes VIDEO_TS.IFO/BUP and VTS_nn_0.IFO/BUP.
//
// General purpose registers the chains share:
//   GPRM0 the title that played last (set from SPRM4 when a title starts)
//   GPRM1 sequential playback on     GPRM2 looping on     GPRM3 a title is playing
//
// Every file is laid out in memory before the first one is written, so a build that
// does not fit the tables fails without leaving a half-written folder behind.

#include "ifo/U_Ifo.h"
#include "ifo/U_IfoJob.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vidoria {

// Chains of the video manager's menu domain, counted 1-based; `pages` menu pages (M)
// and `titles` titles (n).
struct TManagerPgcNumbers {
  size_t pages = 0, titles = 0;
  uint16_t TitleMenu() const { return 1; }
  uint16_t Page(size_t m) const { return static_cast<uint16_t>(1 + m); }              // m = 1..M
  uint16_t Title(size_t t) const { return static_cast<uint16_t>(pages + 1 + t); }     // t = 1..n
  uint16_t Return() const { return static_cast<uint16_t>(pages + titles + 2); }
  uint16_t NextTitle() const { return static_cast<uint16_t>(pages + titles + 3); }
  size_t Count() const { return pages + titles + 3; }
};

// The first-play chain's commands. With a menu: the registers, then the menu (or title
// 1 with auto start). Without: a dispatcher on GPRM0 that plays the title after the
// one that just ended, and after the last one title 1 again (looping) or stops. A
// single title uses the stopping form unless it loops, or it would repeat forever.
std::vector<TNavCommand> FirstPlayCommands(const TIfoJob& job);

// The pre-commands of the title menu's entry chain: highlight the entry of the title
// after the one that just played, on its page (`entriesPerPage`: title entries of each
// page, in order).
std::vector<TNavCommand> TitleMenuCommands(const std::vector<int>& entriesPerPage, size_t titles);

// The title set's file for title `titleSet` (1-based) of `job`, whose title VOBs hold
// `titleVobSectors` sectors.
bool MakeTitleSetIfo(const TIfoJob& job, size_t titleSet, uint32_t titleVobSectors, TVtsIfo& out,
                     std::string* error);

// The whole folder laid out in memory.
struct TIfoLayout {
  std::vector<std::vector<uint8_t>> TitleSets;  // VTS_nn_0.IFO, nn = 1..
  std::vector<uint8_t> Manager;                 // VIDEO_TS.IFO
  std::vector<uint32_t> TitleSetSectors;        // first sector of each title set
};

// Checks the job against the tables' limits, reads the VOB sizes in job.video_ts and
// lays out every file. False, with the reason, when the build cannot be authored: a
// limit exceeded, a VOB missing or not matching its collection.
bool LayOutIfos(const TIfoJob& job, TIfoLayout& out, std::string* error);

class TIfoBuilder : public IIfoStage {
 public:
  // Lays out, then writes each file and its BUP. False, logged, on any failure.
  bool WriteIfos(const TIfoJob& job, const TLoggingObject& log) override;
};

// The IFO stage the build job uses.
std::unique_ptr<IIfoStage> MakeIfoStage();

}  // namespace vidoria
