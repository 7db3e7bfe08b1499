#include "engine/U_TitleDecisions.h"

#include "app/C_TextStorage.h"
#include "platform/MessageFormat.h"

#include <algorithm>

namespace vidoria {

int64_t AverageVideoRate(int64_t remainingBytes, int64_t remainingDurationUs, int64_t titleDurationUs) {
  if (remainingBytes <= 0) return 0;
  int64_t d = remainingDurationUs > 0 ? remainingDurationUs : titleDurationUs;
  if (d <= 0) return kMaxVideoRate;
  // 0.96 x 8 bits x 1000000 µs/s, in integers: exact where floating point would wobble.
  __int128 r = static_cast<__int128>(7680000) * remainingBytes / d;
  return r > kMaxVideoRate ? kMaxVideoRate : static_cast<int64_t>(r);
}

std::optional<TVideoRates> TitleVideoRates(int64_t averageRate, int64_t audioBitrate, const TVideoRates& previous) {
  int64_t maximum = std::min(kMaxVideoRate, kMaxVideoRate - audioBitrate);
  if (maximum <= 0) return std::nullopt;
  if (averageRate <= 0) return previous;
  TVideoRates r;
  r.minimum = 0;
  r.maximum = maximum;
  r.average = std::min(maximum, averageRate);
  r.tolerance = maximum;
  return r;
}

TAspectDecision DecideAspect(e_tv_screen mode, double sourceAspect) {
  switch (mode) {
    case tvs_forcefull: return {false, "Fullscreen (4:3) set by user"};
    case tvs_forcewide: return {true, "Widescreen (16:9) set by user"};
    default:
      if (sourceAspect > 1.5) return {true, "Widescreen (16:9) set automatically"};
      return {false, "Fullscreen (4:3) set automatically"};
  }
}

TStandardDecision DecideStandard(e_video_standard mode, std::optional<int> firstSubIdxHeight, double firstTitleFps) {
  if (mode == vs_forcepal) return {true, "PAL 25 FPS output format set by user"};
  if (mode == vs_forcentsc) return {false, "NTSC 29.97 FPS output format set by user"};
  if (firstSubIdxHeight) {
    bool pal = *firstSubIdxHeight > 480;
    return {pal, pal ? "The Subtitles included in this movie force the video standard to PAL"
                     : "The Subtitles included in this movie force the video standard to NTSC"};
  }
  double f = firstTitleFps;
  bool pal = (f > 24.1 && f < 27.485) || (f > 48.2 && f < 54.97);
  return {pal, pal ? "PAL 25 FPS output format set automatically" : "NTSC 29.97 FPS output format set automatically"};
}

TFrameRateDecision DecideFrameRate(bool pal, int num, int den) {
  TFrameRateDecision d;
  d.vobu_fps = pal ? 25 : 30;
  double s = den != 0 ? static_cast<double>(num) / den : 0.0;
  d.too_low = s < (pal ? 16.5 : 19.5);
  if (d.too_low) {
    d.num = pal ? 25 : 30000;
    d.den = pal ? 1 : 1001;
  } else {
    d.num = num;
    d.den = den;
  }
  return d;
}

std::string CheckAuthoringLimits(int titles, int menuPages, int maxChaptersPerTitle, bool withMenu) {
  auto refuse = [](std::string_view format, int a, int b) {
    return FormatMessage(TTextStorage::Lookup(format), format, a, b);
  };
  if (titles < 1) return TTextStorage::Lookup("There is no title to convert.");
  if (titles > 99) return refuse("A DVD holds at most %d titles; this project has %d.", 99, titles);
  if (maxChaptersPerTitle + 1 > 255)
    return refuse("A title holds at most %d chapters; one title has %d.", 254, maxChaptersPerTitle);
  // A program chain holds at most 128 commands. With menus the title menu's entry
  // chain needs 2n - 1 of them and the manager's menu domain at most 100 chains
  // (pages + titles + 3); without menus first play needs up to 2n + 1.
  if (withMenu) {
    if (2 * titles - 1 > 128) return refuse("With a menu a DVD holds at most %d titles; this project has %d.", 64, titles);
    if (menuPages + titles + 3 > 100)
      return refuse("The menu needs %d pages for %d titles; use more titles per page.", menuPages, titles);
  } else if (2 * titles + 1 > 128) {
    return refuse("Without a menu a DVD holds at most %d titles; this project has %d.", 63, titles);
  }
  return {};
}

std::string SizeText(int64_t bytes) {
  static const char* units[] = {"b.", "Kb.", "Mb.", "Gb.", "Tb."};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (u < 4 && (v >= 1024.0 || v <= -1024.0)) {
    v /= 1024.0;
    ++u;
  }
  if (u == 0) return SafeFormat("%d %s", bytes, std::string(units[0]));
  return SafeFormat("%.2f %s", v, std::string(units[u]));
}

}  // namespace vidoria
