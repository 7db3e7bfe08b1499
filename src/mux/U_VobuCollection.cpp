#include "mux/U_VobuCollection.h"

#include "platform/XdgPaths.h"

#include <algorithm>
#include <cmath>
#include <strings.h>

namespace vidoria {

TAudioCoding AudioCodingOf(AVCodecID codec) {
  if (codec == AV_CODEC_ID_AC3) return AC_AC3;
  if (codec == AV_CODEC_ID_DTS) return AC_DTS;
  // The PCM codecs occupy their own block of identifiers.
  if (codec >= AV_CODEC_ID_PCM_S16LE && codec < AV_CODEC_ID_ADPCM_IMA_QT) return AC_LPCM;
  return AC_MPEG1;
}

TVobuCollection::TVobuCollection(std::shared_ptr<TDVDPalette> palette) : Palette(std::move(palette)) {
  for (auto& modes : SubpictureModes) modes.fill(true);
}

void TVobuCollection::Clear() {
  Vobus.clear();
  Cells.clear();
  LastSector = 0;
  FrameRate = 25;
  AudioStreamCount = 0;
  AudioLanguage = {};
  AudioCodingMode = {};
  AudioChannels = {};
  audioRegistered_ = {};
  SubpicturePresent = {};
  SubpictureLanguage = {};
  BytesWritten = 0;
  UnderflowCount = LargestUnderflow = OverflowCount = LargestOverflow = 0;
  SubpicturePackCount = AudioPackCount = 0;
  DefaultSubpictureStream = -1;
}

namespace {
std::array<char, 2> LanguageLetters(std::string_view language) {
  std::array<char, 2> letters{};
  if (language.size() >= 2)
    for (size_t i = 0; i < 2; ++i)
      letters[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(language[i])));
  return letters;
}
bool HasLanguage(const std::array<char, 2>& l) { return l[0] != 0 || l[1] != 0; }
}  // namespace

bool TVobuCollection::RegisterAudioStream(unsigned slot, AVCodecID codec, int channels, std::string_view language) {
  if (slot >= kAudioSlots || audioRegistered_[slot]) return false;
  audioRegistered_[slot] = true;
  AudioCodingMode[slot] = AudioCodingOf(codec);
  AudioChannels[slot] = static_cast<uint8_t>(std::clamp(channels, 1, 8));
  AudioLanguage[slot] = LanguageLetters(language);
  ++AudioStreamCount;
  return true;
}

void TVobuCollection::RegisterSubpictureStream(unsigned slot, std::string_view language) {
  if (slot >= kSubpictureSlots) return;
  SubpicturePresent[slot] = true;
  SubpictureLanguage[slot] = LanguageLetters(language);
}

void TVobuCollection::AddVobu(const TVobuData& vobu, uint32_t sectorCount) {
  Vobus.push_back(vobu);
  const int64_t last = int64_t{vobu.StartSector} + sectorCount - 1;
  if (last > LastSector) LastSector = static_cast<int32_t>(last);
}

std::array<uint8_t, 8> TVobuCollection::AudioAttributes(unsigned slot) const {
  std::array<uint8_t, 8> a{};
  if (slot >= kAudioSlots || static_cast<int32_t>(slot) >= AudioStreamCount) return a;
  const bool language = HasLanguage(AudioLanguage[slot]);
  a[0] = static_cast<uint8_t>(AudioCodingMode[slot] << 5 | (language ? 0x04 : 0));
  a[1] = static_cast<uint8_t>(std::max(AudioChannels[slot], uint8_t{1}) - 1);  // 16 bits, 48 kHz
  a[2] = static_cast<uint8_t>(AudioLanguage[slot][0]);
  a[3] = static_cast<uint8_t>(AudioLanguage[slot][1]);
  a[5] = AudioCodeExtension[slot];
  return a;
}

std::array<uint8_t, 6> TVobuCollection::SubpictureAttributes(unsigned slot) const {
  std::array<uint8_t, 6> a{};
  if (slot >= kSubpictureSlots || !SubpicturePresent[slot]) return a;
  a[0] = HasLanguage(SubpictureLanguage[slot]) ? 0x01 : 0x00;
  a[2] = static_cast<uint8_t>(SubpictureLanguage[slot][0]);
  a[3] = static_cast<uint8_t>(SubpictureLanguage[slot][1]);
  a[5] = SubpictureCodeExtension[slot];
  return a;
}

uint16_t TVobuCollection::AudioControl(unsigned index) const {
  if (static_cast<int32_t>(index) >= AudioStreamCount || index >= kAudioSlots) return 0;
  return static_cast<uint16_t>(0x8000 | index << 8);
}

uint32_t TVobuCollection::SubpictureControl(unsigned slot) const {
  if (slot >= kSubpictureSlots || !SubpicturePresent[slot]) return 0;
  const auto& m = SubpictureModes[slot];
  return 0x80000000u | (m[0] ? slot << 24 : 0) | (m[1] ? slot << 16 : 0) | (m[2] ? slot << 8 : 0) | (m[3] ? slot : 0);
}

unsigned TVobuCollection::PresentSubpictureCount() const {
  return static_cast<unsigned>(std::count(SubpicturePresent.begin(), SubpicturePresent.end(), true));
}

int64_t TVobuCollection::TotalFrames() const {
  int64_t ticks = 0;
  for (const TVobuData& v : Vobus) ticks += v.Length();
  return ticks * FrameRate / 90000;
}

int64_t TVobuCollection::TotalDurationMs() const { return Vobus.empty() ? 0 : Vobus.back().EndTime / 90; }

std::optional<TTimeMap> TVobuCollection::TimeMap(int unitSeconds) const {
  if (unitSeconds <= 0 || Vobus.empty()) return std::nullopt;
  const double count = std::nearbyint(static_cast<double>(TotalDurationMs()) / (unitSeconds * 1000.0));
  if (count < 1) return std::nullopt;
  TTimeMap map;
  map.FrameRate = FrameRate;
  map.Unit = unitSeconds;
  map.Entries.reserve(static_cast<size_t>(count));
  uint8_t lastCell = 1;
  size_t k = 1;
  for (int64_t j = 1; j <= static_cast<int64_t>(count); ++j) {
    const int64_t time = j * unitSeconds * 90000;
    while (k < Vobus.size() && Vobus[k].StartTime < time) ++k;
    if (k >= Vobus.size()) {
      // Nothing starts that late: the last VOBU plays then. An entry of 0 would send a
      // player back to the start of the title.
      map.Entries.push_back(Vobus.back().StartSector);
      continue;
    }
    uint32_t entry = Vobus[k - 1].StartSector;
    if (Vobus[k].CellId != lastCell) {
      entry |= 0x80000000u;
      lastCell = Vobus[k].CellId;
    }
    map.Entries.push_back(entry);
  }
  return map;
}

// ---------------------------------------------------------------- languages

namespace {

const TLanguage kLanguages[] = {
    {"", "Unspecified"},     {"aa", "Afar"},           {"ab", "Abkhazian"},     {"af", "Afrikaans"},
    {"am", "Amharic"},       {"ar", "Arabic"},         {"as", "Assamese"},      {"ay", "Aymara"},
    {"az", "Azerbaijani"},   {"ba", "Bashkir"},        {"be", "Belarusian"},    {"bg", "Bulgarian"},
    {"bh", "Bihari"},        {"bi", "Bislama"},        {"bn", "Bengali"},       {"bo", "Tibetan"},
    {"br", "Breton"},        {"ca", "Catalan"},        {"co", "Corsican"},      {"cs", "Czech"},
    {"cy", "Welsh"},         {"da", "Danish"},         {"de", "Deutsch"},       {"dz", "Dzongkha"},
    {"el", "Greek"},         {"en", "English"},        {"eo", "Esperanto"},     {"es", "Español"},
    {"et", "Estonian"},      {"eu", "Basque"},         {"fa", "Persian"},       {"fi", "Finnish"},
    {"fj", "Fijian"},        {"fo", "Faroese"},        {"fr", "Français"},      {"fy", "Frisian"},
    {"ga", "Irish"},         {"gd", "Scottish Gaelic"}, {"gl", "Galician"},     {"gn", "Guarani"},
    {"gu", "Gujarati"},      {"ha", "Hausa"},          {"he", "Hebrew"},        {"hi", "Hindi"},
    {"hr", "Hrvatski"},      {"hu", "Hungarian"},      {"hy", "Armenian"},      {"ia", "Interlingua"},
    {"id", "Indonesian"},    {"ie", "Interlingue"},    {"ik", "Inupiaq"},       {"in", "Indonesian"},
    {"is", "Icelandic"},     {"it", "Italian"},        {"iu", "Inuktitut"},     {"iw", "Hebrew"},
    {"ja", "Japanese"},      {"ji", "Yiddish"},        {"jv", "Javanese"},      {"jw", "Javanese"},
    {"ka", "Georgian"},      {"kk", "Kazakh"},         {"kl", "Greenlandic"},   {"km", "Khmer"},
    {"kn", "Kannada"},       {"ko", "Korean"},         {"ks", "Kashmiri"},      {"ku", "Kurdish"},
    {"ky", "Kirghiz"},       {"la", "Latin"},          {"ln", "Lingala"},       {"lo", "Lao"},
    {"lt", "Lithuanian"},    {"lv", "Latvian"},        {"mg", "Malagasy"},      {"mi", "Maori"},
    {"mk", "Macedonian"},    {"ml", "Malayalam"},      {"mn", "Mongolian"},     {"mo", "Moldavian"},
    {"mr", "Marathi"},       {"ms", "Malay"},          {"mt", "Maltese"},       {"my", "Burmese"},
    {"na", "Nauru"},         {"ne", "Nepali"},         {"nl", "Dutch"},         {"no", "Norwegian"},
    {"oc", "Occitan"},       {"om", "Oromo"},          {"or", "Oriya"},         {"pa", "Punjabi"},
    {"pl", "Polish"},        {"ps", "Pashto"},         {"pt", "Portuguese"},    {"qu", "Quechua"},
    {"rm", "Romansh"},       {"rn", "Kirundi"},        {"ro", "Romanian"},      {"ru", "Russian"},
    {"rw", "Kinyarwanda"},   {"sa", "Sanskrit"},       {"sd", "Sindhi"},        {"sg", "Sango"},
    {"sh", "Serbo-Croatian"}, {"si", "Sinhalese"},     {"sk", "Slovak"},        {"sl", "Slovenian"},
    {"sm", "Samoan"},        {"sn", "Shona"},          {"so", "Somali"},        {"sq", "Albanian"},
    {"sr", "Serbian"},       {"ss", "Swati"},          {"st", "Sesotho"},       {"su", "Sundanese"},
    {"sv", "Swedish"},       {"sw", "Swahili"},        {"ta", "Tamil"},         {"te", "Telugu"},
    {"tg", "Tajik"},         {"th", "Thai"},           {"ti", "Tigrinya"},      {"tk", "Turkmen"},
    {"tl", "Tagalog"},       {"tn", "Setswana"},       {"to", "Tonga"},         {"tr", "Turkish"},
    {"ts", "Tsonga"},        {"tt", "Tatar"},          {"tw", "Twi"},           {"ug", "Uighur"},
    {"uk", "Ukrainian"},     {"ur", "Urdu"},           {"uz", "Uzbek"},         {"vi", "Vietnamese"},
    {"vo", "Volapük"},       {"wo", "Wolof"},          {"xh", "Xhosa"},         {"yi", "Yiddish"},
    {"yo", "Yoruba"},        {"za", "Zhuang"},         {"zh", "Chinese"},
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

namespace languages {

std::span<const TLanguage> Table() { return kLanguages; }

size_t FindByCode(std::string_view code) {
  if (code.empty()) return 0;
  for (size_t i = 1; i < std::size(kLanguages); ++i)
    if (code.size() == 2 && strncasecmp(code.data(), kLanguages[i].Code, 2) == 0) return i;
  return 0;
}

std::optional<size_t> FindByName(std::string_view text) {
  for (size_t i = 0; i < std::size(kLanguages); ++i)
    if (StartsWithNoCase(text, kLanguages[i].Name)) return i;
  return std::nullopt;
}

size_t DefaultLanguage() { return FindByCode(xdg::UserLanguageCode()); }

std::vector<std::pair<std::string, size_t>> Choices(bool sorted) {
  std::vector<std::pair<std::string, size_t>> list;
  for (size_t i = 0; i < std::size(kLanguages); ++i)
    list.emplace_back(std::string(kLanguages[i].Name) + " (" + kLanguages[i].Code + ")", i);
  if (sorted) std::stable_sort(list.begin(), list.end());
  return list;
}

}  // namespace languages

}  // namespace vidoria
