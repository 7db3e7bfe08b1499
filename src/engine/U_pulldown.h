#pragma once
// Soft pulldown: a source slower than the disc's rate is encoded at its own MPEG-2 rate
// and each encoded picture's headers are rewritten so that selected pictures repeat a
// field, which makes a decoder show the stream at the disc's rate (3:2 for 23.976 to
// 29.97). The encoder never writes these flags, so they are set here, together with the
// sequence header's rate, the progressive flags and the GOP time codes.

#include <cstdint>
#include <stdexcept>

namespace vidoria {

class EPulldownError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TPulldown {
 public:
  // Raises EPulldownError "Target rate (%.3f fps) is not a legal MPEG2 rate.", or one
  // of the ratio messages when the source is faster than the target or so slow that a
  // picture would have to repeat more than one field.
  TPulldown(double targetRate, double sourceRate);

  // The top-field-first flag of the first picture decides the field parity that the
  // pattern starts with. Call once before the first picture.
  void InitPattern(bool topFieldFirst);

  // Rewrites the headers of one encoded picture packet in place. True when it found
  // and rewrote the picture coding extension.
  bool ProcessPicture(uint8_t* data, int64_t size);

  // Timing of the last processed picture, in 90 kHz ticks.
  int64_t FrameDuration() const { return frameDuration_; }
  int64_t FieldsBefore() const { return fieldsBefore_; }       // fields emitted before it
  int FieldsOfPicture() const { return lastFields_; }          // 2 or 3
  int64_t FieldsBeforeInGop() const { return fieldsBeforeInGop_; }  // shown before it in its GOP
  int64_t FieldsEmitted() const { return fieldsEmitted_; }          // of all pictures so far
  // Presentation: after every field shown before the picture, plus two fields of decoder
  // delay. Decoding: a B picture is decoded when it is shown; an I or P picture when the
  // previous I or P picture is shown (the first one a frame before it is shown).
  int64_t Pts() const { return pts_; }
  int64_t Dts() const { return dts_; }
  int64_t Duration() const { return lastFields_ * frameDuration_ / 2; }

  int TargetRateCode() const { return rateCode_; }
  // Pattern entry of the picture with this display index: bit 0 repeat first field,
  // bit 1 top field first.
  uint8_t PatternEntry(int64_t displayIndex) const;

  // The four time-code bytes of a GOP header that starts after `fieldsEmitted` fields;
  // `original` supplies the closed-GOP and broken-link bits kept in the last byte.
  void TimeCode(int64_t fieldsEmitted, const uint8_t original[4], uint8_t out[4]) const;

 private:
  // Three-field pictures among the first n of the pattern.
  int64_t RepeatsBefore(int64_t n) const;

  int64_t sn_ = 0, sd_ = 1, tn_ = 0, td_ = 1;
  int rateCode_ = 0;
  int timeCodeBase_ = 25;
  uint8_t dropFrame_ = 0;
  int64_t frameDuration_ = 3600;
  bool firstTff_ = true;
  bool initialised_ = false;

  int64_t previousGopPictures_ = 0;
  int64_t gopPictures_ = 0;
  int64_t fieldsEmitted_ = 0;
  int64_t fieldsBefore_ = 0;
  int lastFields_ = 2;
  int64_t fieldsBeforeInGop_ = 0;
  int64_t fieldsAtGopStart_ = 0;  // fields of every picture coded before the GOP
  int pictureType_ = 0;           // 1 I, 2 P, 3 B
  int64_t pts_ = 0, dts_ = 0;
  int64_t lastAnchorPts_ = -1;    // of the last I or P picture, -1 before the first
};

}  // namespace vidoria
