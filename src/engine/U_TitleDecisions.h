#pragma once
// The per-title decisions of a DVD build: video bitrate from the size budget, display
// aspect, PAL or NTSC, and the frame-rate strategy. Plain functions of plain facts, so
// the rules can be checked case by case.

#include "project/U_AuteurSettings.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vidoria {

constexpr int64_t kMaxVideoRate = 8500000;      // bits per second, video alone
constexpr int64_t kDefaultAverageRate = 6000000;
constexpr int64_t kDefaultTolerance = 3000000;
constexpr int64_t kDefaultMaxRate = 9000000;
constexpr int64_t kMiB = 1048576;

// What the decisions need to know of a title, gathered when its files are opened.
struct TTitleFacts {
  std::string name;
  int64_t duration_us = 0;
  double display_aspect = 0;     // of the source picture as displayed
  double estimated_fps = 0;
  int frame_rate_num = 0;        // the source's frame rate
  int frame_rate_den = 0;
  int64_t audio_bitrate = 0;     // total of the kept audio tracks, bits per second
  int64_t audio_bytes = 0;       // estimated size of those tracks on the disc
  int64_t input_bytes = 0;       // size of the title's input files
  int chapter_count = 0;         // chapter points besides the title's start
  std::optional<int> subidx_height;  // picture height of the first SUB/IDX file
};

struct TVideoRates {
  int64_t minimum = 0;
  int64_t average = kDefaultAverageRate;
  int64_t maximum = kDefaultMaxRate;
  int64_t tolerance = kDefaultTolerance;
};

// trunc(0.96 x 8000000 x B / D): the average rate that spends the remaining video bytes
// B over the remaining duration D (µs). D = 0 falls back to the title's own duration;
// still 0, or above the maximum, gives the maximum. Never negative.
int64_t AverageVideoRate(int64_t remainingBytes, int64_t remainingDurationUs, int64_t titleDurationUs);

// Rates for a title: the maximum leaves room for the audio. nullopt when the audio
// leaves none (the title cannot be authored). With no average (budget used up) the
// previous rates are kept.
std::optional<TVideoRates> TitleVideoRates(int64_t averageRate, int64_t audioBitrate, const TVideoRates& previous);

struct TAspectDecision {
  bool widescreen = false;
  const char* message = "";  // the log line that explains it
};
// Automatic: 16:9 above an aspect of 1.5, else 4:3 (1.5 itself is 4:3).
TAspectDecision DecideAspect(e_tv_screen mode, double sourceAspect);

struct TStandardDecision {
  bool pal = true;
  std::string message;
};
// Decided once per build, since a disc cannot mix PAL and NTSC: the user's choice wins;
// otherwise the first SUB/IDX subtitle file (above 480 lines is PAL); otherwise the first
// title's frame rate (PAL for 24.1 < f < 27.485 or 48.2 < f < 54.97).
TStandardDecision DecideStandard(e_video_standard mode, std::optional<int> firstSubIdxHeight, double firstTitleFps);

struct TFrameRateDecision {
  int num = 25, den = 1;    // the rate the title is converted from
  bool too_low = false;     // frames are duplicated instead of pulled down
  int vobu_fps = 25;        // 25 or 30, for the VOBU collection
};
// Below 16.5 fps (PAL) or 19.5 fps (NTSC) pulldown cannot reach the output rate and the
// title is converted at the output rate by duplication. A zero denominator counts as
// unknown, and so as too low.
TFrameRateDecision DecideFrameRate(bool pal, int num, int den);

// The limits the disc's navigation tables impose. Returns an empty text when the build
// fits, else the reason.
std::string CheckAuthoringLimits(int titles, int menuPages, int maxChaptersPerTitle, bool withMenu);

// "b.", "Kb.", "Mb.", "Gb.", "Tb."
std::string SizeText(int64_t bytes);

}  // namespace vidoria
