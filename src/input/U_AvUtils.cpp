#include "input/U_AvUtils.h"

#include "platform/MessageFormat.h"

#include <algorithm>
#include <cctype>

namespace vidoria {

std::string AvErrorText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

int64_t ToMicroseconds(int64_t t, AVRational timeBase) {
  if (t == kNoTime || timeBase.den == 0) return kNoTime;
  return av_rescale_q(t, timeBase, AV_TIME_BASE_Q);
}

int64_t FromMicroseconds(int64_t us, AVRational timeBase) {
  if (us == kNoTime || timeBase.num == 0) return kNoTime;
  return av_rescale_q(us, AV_TIME_BASE_Q, timeBase);
}

std::string FormatHms(int64_t us) {
  if (us == kNoTime || us < 0) us = 0;
  int64_t ms = us / 1000;
  return SafeFormat("%.2d:%.2d:%.2d.%.3d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
}

std::string DisplayName(const std::filesystem::path& file) {
  const std::string& s = file.native();
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    // Overlong forms and surrogates are not UTF-8 either.
    if (ok && len == 2) ok = c >= 0xC2;
    if (ok && len == 3) {
      auto c1 = static_cast<unsigned char>(s[i + 1]);
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
    }
    if (ok && len == 4) {
      auto c1 = static_cast<unsigned char>(s[i + 1]);
      ok = c <= 0xF4 && !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
    }
    if (ok) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

namespace {
struct LanguagePair {
  const char* three;
  const char* two;
};
// Both the bibliographic and the terminology forms are listed where they differ.
constexpr LanguagePair kLanguages[] = {
    {"afr", "af"}, {"alb", "sq"}, {"sqi", "sq"}, {"amh", "am"}, {"ara", "ar"}, {"arm", "hy"}, {"hye", "hy"},
    {"aze", "az"}, {"baq", "eu"}, {"eus", "eu"}, {"bel", "be"}, {"ben", "bn"}, {"bos", "bs"}, {"bre", "br"},
    {"bul", "bg"}, {"bur", "my"}, {"mya", "my"}, {"cat", "ca"}, {"chi", "zh"}, {"zho", "zh"}, {"cze", "cs"},
    {"ces", "cs"}, {"dan", "da"}, {"dut", "nl"}, {"nld", "nl"}, {"eng", "en"}, {"epo", "eo"}, {"est", "et"},
    {"fao", "fo"}, {"fin", "fi"}, {"fre", "fr"}, {"fra", "fr"}, {"fry", "fy"}, {"geo", "ka"}, {"kat", "ka"},
    {"ger", "de"}, {"deu", "de"}, {"gla", "gd"}, {"gle", "ga"}, {"glg", "gl"}, {"gre", "el"}, {"ell", "el"},
    {"guj", "gu"}, {"heb", "he"}, {"hin", "hi"}, {"hrv", "hr"}, {"hun", "hu"}, {"ice", "is"}, {"isl", "is"},
    {"ind", "id"}, {"ita", "it"}, {"jpn", "ja"}, {"kan", "kn"}, {"kaz", "kk"}, {"khm", "km"}, {"kor", "ko"},
    {"kur", "ku"}, {"lao", "lo"}, {"lat", "la"}, {"lav", "lv"}, {"lit", "lt"}, {"ltz", "lb"}, {"mac", "mk"},
    {"mkd", "mk"}, {"mal", "ml"}, {"mao", "mi"}, {"mri", "mi"}, {"mar", "mr"}, {"may", "ms"}, {"msa", "ms"},
    {"mlt", "mt"}, {"mon", "mn"}, {"nep", "ne"}, {"nor", "no"}, {"nob", "nb"}, {"nno", "nn"}, {"pan", "pa"},
    {"per", "fa"}, {"fas", "fa"}, {"pol", "pl"}, {"por", "pt"}, {"pus", "ps"}, {"roh", "rm"}, {"rum", "ro"},
    {"ron", "ro"}, {"rus", "ru"}, {"slo", "sk"}, {"slk", "sk"}, {"slv", "sl"}, {"som", "so"}, {"spa", "es"},
    {"srp", "sr"}, {"swa", "sw"}, {"swe", "sv"}, {"tam", "ta"}, {"tel", "te"}, {"tha", "th"}, {"tib", "bo"},
    {"bod", "bo"}, {"tur", "tr"}, {"ukr", "uk"}, {"urd", "ur"}, {"vie", "vi"}, {"wel", "cy"}, {"cym", "cy"},
};
}  // namespace

std::string TwoLetterLanguage(std::string_view code) {
  std::string lower(code);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.size() == 2 && std::isalpha(static_cast<unsigned char>(lower[0])) &&
      std::isalpha(static_cast<unsigned char>(lower[1])))
    return lower;
  for (const auto& l : kLanguages)
    if (lower == l.three) return l.two;
  return {};
}

TAudioPlan PlanAudio(AVCodecID codec, int64_t inputBitrate, int channels, int sampleRate) {
  TAudioPlan plan;
  const bool ac3 = codec == AV_CODEC_ID_AC3 && sampleRate == 48000 && inputBitrate > 0 && inputBitrate <= 448000;
  const bool dts = codec == AV_CODEC_ID_DTS && sampleRate == 48000;
  if (ac3 || dts) {
    plan.copy = true;
    plan.bitrate = inputBitrate;
    plan.channels = channels;
    return plan;
  }
  plan.channels = std::clamp(channels, 1, 6);
  if (codec == AV_CODEC_ID_AAC && channels == 1) plan.channels = 2;
  plan.bitrate = plan.channels > 2 ? 448000 : 192000;
  return plan;
}

}  // namespace vidoria
