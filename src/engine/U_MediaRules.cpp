#include "engine/U_MediaRules.h"

#include <algorithm>
#include <cmath>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidoria {

TPadding LetterboxBands(double a, double b, int width, int height) {
  TPadding p;
  if (a <= 0 || std::fabs(a - b) < 0.02) return p;
  const double c = b >= 1.5 ? 9 : 3;
  const double d = b >= 1.5 ? 16 : 4;
  if (b < a) {
    int e = static_cast<int>(std::rint((c - d / a) / c * height / 2));
    if (e / 8 < 2) return p;
    p.top = p.bottom = e / 8 * 8;
  } else {
    int e = static_cast<int>(std::rint((d - a * c) / d * width / 2));
    if (e / 8 < 2) return p;
    p.left = p.right = e / 8 * 8;
  }
  return p;
}

int FrameRepeatCount(double drift, int64_t duplicated, int64_t dropped, int maxRepeats) {
  // A whole frame period missing is made up at once: with the copies placing the
  // picture on its own time, waiting for 1.5 would leave the video a frame early.
  double upper = 1.0, lower = -1.0;
  if (duplicated > 0 && dropped > 0) {
    double u = static_cast<double>(duplicated), v = static_cast<double>(dropped);
    double t = std::max(4.0 * (1.0 - std::fabs(u - v) / (u + v)), 1.5);
    upper = t;
    lower = -t;
  }
  if (drift < lower) return 0;
  if (drift >= upper) return static_cast<int>(std::min<double>(std::nearbyint(drift) + 1, std::max(maxRepeats, 1)));
  return 1;
}

AVRational NearestMpeg2Rate(AVRational rate) {
  static const AVRational kRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}};
  double r = rate.den ? av_q2d(rate) : 25.0;
  AVRational best = kRates[0];
  for (const auto& k : kRates)
    if (std::fabs(av_q2d(k) - r) < std::fabs(av_q2d(best) - r)) best = k;
  return best;
}

int GopSize(AVRational rate) {
  double half = av_q2d(rate) / 2 + 0.5;
  return static_cast<int>(std::nearbyint(half));  // the default rounding mode: half to even
}

bool NeedsPulldown(AVRational encodedRate, bool pal, bool tooLow) {
  if (tooLow) return false;
  const double target = pal ? 25.0 : 29.97;
  return av_q2d(encodedRate) < target - 0.01;
}

int64_t GapThreshold(AVCodecID codec) {
  if (std::string_view(avcodec_get_name(codec)).rfind("adpcm_", 0) == 0) return 500000;  // the whole ADPCM family
  switch (codec) {
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3: return 24000;
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_AAC_LATM:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_DTS: return 32000;
    case AV_CODEC_ID_VORBIS: return 150000;
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
    case AV_CODEC_ID_WMAPRO: return 1000000;
    default: return 0;
  }
}

}  // namespace vidoria
