#include "engine/U_pulldown.h"

#include "platform/MessageFormat.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <cmath>

namespace vidoria {

namespace {
struct TTargetRate {
  double rate, tolerance;
  int code, timeCodeBase;
  uint8_t drop;
  int num, den;
};
constexpr TTargetRate kTargets[] = {
    {23.976, 0.01, 1, 24, 0x80, 24000, 1001}, {24, 0.001, 2, 24, 0, 24, 1},
    {25, 0.001, 3, 25, 0, 25, 1},             {29.97, 0.001, 4, 30, 0x80, 30000, 1001},
    {30, 0.001, 5, 30, 0, 30, 1},             {50, 0.001, 6, 50, 0, 50, 1},
    {59.94, 0.001, 7, 60, 0, 60000, 1001},    {60, 0.001, 8, 60, 0, 60, 1},
};
}  // namespace

TPulldown::TPulldown(double targetRate, double sourceRate) {
  const TTargetRate* target = nullptr;
  for (const auto& t : kTargets)
    if (std::fabs(targetRate - t.rate) <= t.tolerance) target = &t;
  if (!target) throw EPulldownError(SafeFormat("Target rate (%.3f fps) is not a legal MPEG2 rate.", targetRate));
  rateCode_ = target->code;
  timeCodeBase_ = target->timeCodeBase;
  dropFrame_ = target->drop;

  AVRational s = av_d2q(sourceRate, 60001);
  if (s.num <= 0 || s.den <= 0)
    throw EPulldownError(SafeFormat("Target/Source rate (%.3f / %.3f ) must not be < 1.0.", targetRate, sourceRate));
  sn_ = s.num;
  sd_ = s.den;
  tn_ = target->num;
  td_ = target->den;
  // Bring both to one denominator.
  if (sd_ != td_) {
    if (sd_ == 1) {
      sd_ = td_;
      sn_ *= td_;
    } else if (td_ == 1) {
      td_ = sd_;
      tn_ *= sd_;
    } else {
      sn_ *= td_;
      tn_ *= sd_;
      td_ *= sd_;
      sd_ = td_;
    }
  }
  if (sn_ % 2 || tn_ % 2) {
    sn_ *= 2;
    tn_ *= 2;
    sd_ *= 2;
    td_ *= 2;
  }
  if (tn_ < sn_)
    throw EPulldownError(SafeFormat("Target/Source rate (%.3f / %.3f ) must not be < 1.0.", targetRate, sourceRate));
  // One repeated field per picture at most: the target may be 1.5 times the source.
  if (2 * (tn_ - sn_) > sn_)
    throw EPulldownError(SafeFormat("Target/Source rate (%.3f / %.3f ) must not be > 1.5.", targetRate, sourceRate));
  frameDuration_ = 90000 * td_ / tn_;
}

void TPulldown::InitPattern(bool topFieldFirst) {
  firstTff_ = topFieldFirst;
  initialised_ = true;
}

// The extra fields are spread like a line drawn with Bresenham's method: an accumulator
// starting at s/2 grows by 2(t - s) per picture and each time it passes s a picture gets
// a third field. Counting the passes directly gives any entry without a table, so there
// is no end to the pattern however long the title.
int64_t TPulldown::RepeatsBefore(int64_t n) const {
  const int64_t k = 2 * (tn_ - sn_);
  return (sn_ / 2 + n * k) / sn_ - (sn_ / 2) / sn_;
}

uint8_t TPulldown::PatternEntry(int64_t i) const {
  if (i < 0) i = 0;
  int64_t before = RepeatsBefore(i);
  bool repeat = RepeatsBefore(i + 1) > before;
  bool tff = firstTff_ != (before % 2 == 1);  // each repeated field flips the parity
  return static_cast<uint8_t>((tff ? 2 : 0) | (repeat ? 1 : 0));
}

void TPulldown::TimeCode(int64_t fieldsEmitted, const uint8_t original[4], uint8_t out[4]) const {
  int64_t f = fieldsEmitted / 2;
  if (dropFrame_) f = f / 17982 * 18 + ((f % 17982) - 2) / 1798 * 2 + f;
  const int64_t base = timeCodeBase_;
  const int pictures = static_cast<int>(f % base);
  const int seconds = static_cast<int>((f / base) % 60);
  const int minutes = static_cast<int>((f / base / 60) % 60);
  const int hours = static_cast<int>((f / base / 3600) % 24);
  out[0] = static_cast<uint8_t>(dropFrame_ | (hours << 2) | (minutes >> 4));
  out[1] = static_cast<uint8_t>(((minutes & 15) << 4) | 8 | (seconds >> 3));
  out[2] = static_cast<uint8_t>(((seconds & 7) << 5) | ((pictures >> 1) & 31));
  out[3] = static_cast<uint8_t>(((pictures & 1) << 7) | (original[3] & 0x7F));
}

bool TPulldown::ProcessPicture(uint8_t* data, int64_t size) {
  if (!initialised_) InitPattern(true);
  int64_t displayIndex = previousGopPictures_;
  int64_t temporalReference = 0;
  for (int64_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    uint8_t* p = data + i + 4;  // first byte after the start code
    const int64_t left = size - (i + 4);
    if (code == 0x00 && left >= 2) {  // picture header
      temporalReference = (p[0] << 2) | (p[1] >> 6);
      pictureType_ = (p[1] >> 3) & 7;
      displayIndex = previousGopPictures_ + temporalReference;
      ++gopPictures_;
    } else if (code == 0xB3 && left >= 4) {  // sequence header
      p[3] = static_cast<uint8_t>((p[3] & 0xF0) | rateCode_);
    } else if (code == 0xB5 && left >= 2 && (p[0] >> 4) == 1) {  // sequence extension
      p[1] &= static_cast<uint8_t>(~0x08);
    } else if (code == 0xB5 && left >= 5 && (p[0] >> 4) == 8) {  // picture coding extension
      const uint8_t entry = PatternEntry(displayIndex);
      p[3] = static_cast<uint8_t>((p[3] & ~0x82) | ((entry & 2) ? 0x80 : 0) | ((entry & 1) ? 0x02 : 0));
      p[4] |= 0x80;  // progressive frame
      lastFields_ = 2 + (entry & 1);
      fieldsBefore_ = fieldsEmitted_;
      fieldsEmitted_ += lastFields_;
      const int64_t gopStart = previousGopPictures_;
      fieldsBeforeInGop_ = 2 * temporalReference + RepeatsBefore(gopStart + temporalReference) - RepeatsBefore(gopStart);
      // A picture is shown after all pictures of the earlier GOPs and those of its own
      // GOP that come before it in display order; the fields coded before it are not
      // the ones shown before it once B pictures are reordered.
      pts_ = (fieldsAtGopStart_ + fieldsBeforeInGop_ + 2) * frameDuration_ / 2;
      if (pictureType_ == 3) {
        dts_ = pts_;
      } else {
        dts_ = lastAnchorPts_ >= 0 ? lastAnchorPts_ : pts_ - frameDuration_;
        lastAnchorPts_ = pts_;
      }
      return true;
    } else if (code == 0xB8 && left >= 4) {  // GOP header
      previousGopPictures_ += gopPictures_;
      gopPictures_ = 0;
      fieldsAtGopStart_ = fieldsEmitted_;
      displayIndex = previousGopPictures_;
      uint8_t tc[4];
      TimeCode(fieldsEmitted_, p, tc);
      for (int k = 0; k < 4; ++k) p[k] = tc[k];
    }
  }
  return false;
}

}  // namespace vidoria
