#pragma once
// The fixed rules of a title's conversion that depend only on numbers: letterbox bands,
// frame-rate synchronisation, the output frame rate and GOP size, the pulldown decision,
// what happens to each audio track, and audio gap thresholds.

#include <cstdint>

#include "input/U_AvUtils.h"  // PlanAudio

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

namespace vidoria {

struct TPadding {
  int top = 0, bottom = 0, left = 0, right = 0;
  bool Any() const { return top || bottom || left || right; }
};

// Bands that fit a picture of display aspect `source` into an output of display aspect
// `target` (4/3 or 16/9) and size width x height. Bands are multiples of 8 and at least
// 16 pixels, else there are none.
TPadding LetterboxBands(double source, double target, int width, int height);

// How many pictures to encode for a decoded picture to keep the video in time: 0 drops
// it, 1 encodes it, and k >= 2 makes up the k - 1 frame periods it is ahead before it, so
// that it lands on its own time (making up only k - 1 periods in k pictures would leave
// the video a frame early after every correction). `drift` is (stream time + sync
// offset) / frame duration - frames emitted; `duplicated` and `dropped` count this
// title's corrections so far. Until both kinds of correction have happened, a picture
// a whole frame ahead or behind is corrected; after that the window widens with their
// balance, up to 4 frames, so that a jittery source does not flicker.
// A single picture is repeated at most `maxRepeats` times (about a second), so one stray
// time stamp far ahead cannot freeze the picture.
int FrameRepeatCount(double drift, int64_t duplicated, int64_t dropped, int maxRepeats = 30);

// The MPEG-2 rate nearest to `rate` among 24000/1001, 24, 25 and 30000/1001.
AVRational NearestMpeg2Rate(AVRational rate);

// Pictures per GOP: half a second, rounded half to even (13 at 25, 15 at 29.97, 12 at
// 23.976 and 24).
int GopSize(AVRational rate);

// Pulldown is used when the encoded rate is more than 0.01 fps below the disc's rate and
// the source is not so slow that frames are duplicated instead.
bool NeedsPulldown(AVRational encodedRate, bool pal, bool tooLow);

// Gaps in an input track's timestamps larger than this (µs) are filled with silence;
// 0 means never fill (PCM and anything unknown).
int64_t GapThreshold(AVCodecID codec);

}  // namespace vidoria
