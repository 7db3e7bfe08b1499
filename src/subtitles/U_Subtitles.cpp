#include "subtitles/U_Subtitles.h"

#include "common/U_DVDPalette.h"
#include "platform/CodePages.h"
#include "platform/FileLock.h"
#include "platform/MessageFormat.h"
#include "subtitles/U_SubtitleMap8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace vidoria {
namespace {

// Subtitle and index files are small; anything far larger is not one.
constexpr uintmax_t kMaxTextFileSize = 64u << 20;
// Longest text line kept from a cue.
constexpr size_t kMaxSrtLine = 1024;

template <typename Char>
std::basic_string_view<Char> TrimView(std::basic_string_view<Char> s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= Char(' ')) ++b;
  while (e > b && s[e - 1] <= Char(' ')) --e;
  return s.substr(b, e - b);
}

bool IsDigit(char32_t c) { return c >= U'0' && c <= U'9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole of `s` as 1 to maxDigits hexadecimal digits.
bool ParseHex(std::string_view s, size_t maxDigits, uint64_t& value) {
  if (s.empty() || s.size() > maxDigits) return false;
  value = 0;
  for (char ch : s) {
    int d = HexDigit(ch);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint64_t>(d);
  }
  return true;
}

// Reads 1 to maxDigits decimal digits at `pos`.
template <typename Char>
bool ReadNumber(std::basic_string_view<Char> s, size_t& pos, int maxDigits, int64_t& value) {
  int digits = 0;
  value = 0;
  while (pos < s.size() && digits < maxDigits && s[pos] >= Char('0') && s[pos] <= Char('9')) {
    value = value * 10 + (s[pos] - Char('0'));
    ++pos;
    ++digits;
  }
  return digits > 0;
}

bool IsCueNumber(std::u32string_view line) {
  line = TrimView(line);
  return !line.empty() && std::all_of(line.begin(), line.end(), IsDigit);
}

bool IsTimingLine(std::u32string_view line) { return line.find(U"-->") != std::u32string_view::npos; }

bool ParseTimingLine(std::u32string_view line, int64_t& start, int64_t& end) {
  size_t arrow = line.find(U"-->");
  if (arrow == std::u32string_view::npos) return false;
  std::u32string_view right = TrimView(line.substr(arrow + 3));
  // Text after the end time (position hints some files carry) is ignored.
  size_t blank = right.find_first_of(U" \t");
  if (blank != std::u32string_view::npos) right = right.substr(0, blank);
  return ParseSrtTime(line.substr(0, arrow), start) && ParseSrtTime(right, end);
}

std::string Utf8(std::u32string_view s) { return EncodeUtf8(s); }

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

// ---- SubRip ---------------------------------------------------------------------------

std::vector<std::u32string> SplitLines(std::u32string_view text) {
  std::vector<std::u32string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != U'\r' && text[i] != U'\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

bool ParseSrtTime(std::u32string_view text, int64_t& ms) {
  text = TrimView(text);
  size_t pos = 0;
  int64_t h, m, s, z;
  if (!ReadNumber(text, pos, 9, h) || pos >= text.size() || text[pos++] != U':') return false;
  if (!ReadNumber(text, pos, 2, m) || pos >= text.size() || text[pos++] != U':') return false;
  if (!ReadNumber(text, pos, 2, s) || pos >= text.size() || (text[pos] != U',' && text[pos] != U'.')) return false;
  ++pos;
  if (!ReadNumber(text, pos, 3, z) || pos != text.size()) return false;
  if (m > 59 || s > 59) return false;
  ms = h * 3600000 + m * 60000 + s * 1000 + z;
  return true;
}

std::vector<TSrtCue> ParseSrt(const std::vector<std::u32string>& lines, std::vector<std::string>* warnings) {
  std::vector<TSrtCue> cues;
  TSrtCue cue;
  bool inCue = false, timingOk = false;
  auto close = [&] {
    if (inCue && timingOk && !cue.Lines.empty()) cues.push_back(std::move(cue));
    cue = TSrtCue{};
    inCue = false;
  };
  auto open = [&](size_t lineIndex) {
    close();
    inCue = true;
    int64_t start = 0, end = 0;
    timingOk = ParseTimingLine(lines[lineIndex], start, end);
    if (!timingOk) {
      if (warnings)
        warnings->push_back(SafeFormat("Subtitle line %d: timing not understood, cue skipped: %s",
                                       static_cast<int>(lineIndex + 1), Utf8(lines[lineIndex])));
      return;
    }
    cue.Start = start;
    cue.Duration = end - start;
  };
  // A cue may start at the start of the file or after a blank line.
  bool mayStart = true;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::u32string& line = lines[i];
    if (mayStart || !inCue) {
      if (IsCueNumber(line) && i + 1 < lines.size() && IsTimingLine(lines[i + 1])) {
        open(++i);
        mayStart = false;
        continue;
      }
      if (IsTimingLine(line)) {
        open(i);
        mayStart = false;
        continue;
      }
    }
    mayStart = TrimView(std::u32string_view(line)).empty();
    if (!inCue || mayStart) continue;
    // "/n" inside a line is a line break some editors write; an empty piece ends the line.
    std::u32string_view rest(line);
    while (true) {
      size_t cut = rest.find(U"/n");
      std::u32string_view piece = rest.substr(0, cut);
      if (piece.empty()) break;
      cue.Lines.emplace_back(piece.substr(0, kMaxSrtLine));
      if (cut == std::u32string_view::npos) break;
      rest.remove_prefix(cut + 2);
    }
  }
  close();
  return cues;
}

// ---- VobSub index --------------------------------------------------------------------

namespace {

bool IsDvdPictureSize(int64_t w, int64_t h) {
  return (w == 720 || w == 704 || w == 352) && (h == 480 || h == 576 || h == 240 || h == 288);
}

// "hh:mm:ss:zzz"
bool ParseIdxTime(std::string_view s, int64_t& ms) {
  size_t pos = 0;
  int64_t f[4];
  for (int k = 0; k < 4; ++k) {
    if (k > 0 && (pos >= s.size() || s[pos++] != ':')) return false;
    if (!ReadNumber(s, pos, k == 0 ? 9 : (k == 3 ? 3 : 2), f[k])) return false;
  }
  if (f[1] > 59 || f[2] > 59) return false;
  ms = f[0] * 3600000 + f[1] * 60000 + f[2] * 1000 + f[3];
  return true;
}

}  // namespace

bool ParseIdx(std::string_view text, TIdxContents& idx, std::vector<std::string>& warnings, std::string& error) {
  idx = TIdxContents{};
  int stream = 0;
  bool streamValid = true, sawId = false;
  size_t lineNo = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimView(text.substr(start, end - start));
    start = end + 1;
    if (end < text.size() && text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    std::string_view value = colon == std::string_view::npos ? std::string_view() : TrimView(line.substr(colon + 1));
    auto warn = [&](const char* what) {
      warnings.push_back(SafeFormat("Index line %d: %s: %s", static_cast<int>(lineNo), what, std::string(line)));
    };

    if (line.starts_with("size")) {
      size_t x = value.find('x');
      int64_t w = 0, h = 0;
      size_t p = 0, q = x + 1;
      if (x == std::string_view::npos || !ReadNumber(value, p, 5, w) || p != x || !ReadNumber(value, q, 5, h) ||
          q != value.size() || !IsDvdPictureSize(w, h)) {
        error = SafeFormat("picture size \"%s\" is not a DVD picture size", std::string(value));
        return false;
      }
      idx.Width = static_cast<int32_t>(w);
      idx.Height = static_cast<int32_t>(h);
    } else if (line.starts_with("palette")) {
      std::array<uint32_t, 16> palette{};
      size_t count = 0, p = 0;
      bool ok = true;
      while (ok && p <= value.size()) {
        size_t comma = value.find(',', p);
        std::string_view item = TrimView(value.substr(p, comma == std::string_view::npos ? std::string_view::npos : comma - p));
        uint64_t c = 0;
        ok = item.size() == 6 && count < 16 && ParseHex(item, 6, c);
        if (ok) palette[count++] = static_cast<uint32_t>(c);
        if (comma == std::string_view::npos) break;
        p = comma + 1;
      }
      if (ok && count == 16) {
        idx.Palette = palette;
        idx.HasPalette = true;
      } else {
        warn("palette ignored");
      }
    } else if (line.starts_with("id")) {
      // "id: en, index: 0"
      std::string lang(value.substr(0, 2));
      size_t at = value.find("index:");
      int64_t index = 0;
      size_t p = at == std::string_view::npos ? 0 : at + 6;
      while (p < value.size() && value[p] == ' ') ++p;
      sawId = true;
      if (at == std::string_view::npos || !ReadNumber(value, p, 3, index) || index >= kMaxSttStreams) {
        warn("stream declaration ignored, its events are skipped");
        streamValid = false;
        continue;
      }
      stream = static_cast<int>(index);
      streamValid = true;
      idx.StreamPresent[static_cast<size_t>(stream)] = true;
      bool letters = lang.size() == 2 && std::all_of(lang.begin(), lang.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
                     });
      if (letters) {
        for (char& c : lang) c = static_cast<char>(c | 0x20);
        idx.Language[static_cast<size_t>(stream)] = lang;
      }
    } else if (line.starts_with("timestamp")) {
      // "timestamp: 00:00:01:000, filepos: 000000000"
      if (!streamValid) continue;
      size_t comma = value.find(',');
      size_t at = value.find("filepos:");
      int64_t ms = 0;
      if (comma == std::string_view::npos || at == std::string_view::npos ||
          !ParseIdxTime(TrimView(value.substr(0, comma)), ms)) {
        warn("event skipped");
        continue;
      }
      std::string_view hex = TrimView(value.substr(at + 8));
      uint64_t pos = 0;
      // 15 digits keep the position a positive 64-bit number.
      if (!ParseHex(hex, 15, pos)) {
        warn("event skipped");
        continue;
      }
      if (!sawId) idx.StreamPresent[0] = true;  // files without "id" lines hold one stream
      idx.Entries.push_back({ms, static_cast<int64_t>(pos), static_cast<uint8_t>(stream)});
    }
    // Other keys (org, scale, alpha, smooth, fadein/out, align, time offset, forced
    // subs, custom colors, langidx, delay) change nothing we write.
  }
  return true;
}

// ---- VobSub sub-picture packs ---------------------------------------------------------

bool TMemoryPackSource::ReadAt(int64_t pos, uint8_t* data, size_t n) {
  if (pos < 0 || static_cast<uint64_t>(pos) > size_ || n > size_ - static_cast<size_t>(pos)) return false;
  std::memcpy(data, data_ + pos, n);
  return true;
}

bool TFilePackSource::Open(const std::filesystem::path& file, std::string* error) {
  Close();
  fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    if (error) *error = std::strerror(errno);
    Close();
    return false;
  }
  size_ = st.st_size;
  return true;
}

void TFilePackSource::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
}

bool TFilePackSource::ReadAt(int64_t pos, uint8_t* data, size_t n) {
  if (fd_ < 0 || pos < 0) return false;
  while (n > 0) {
    ssize_t r = ::pread(fd_, data, n, pos);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    data += r;
    n -= static_cast<size_t>(r);
    pos += r;
  }
  return true;
}

namespace {

struct TSpuPayload {
  const uint8_t* Data;
  size_t Size;
  bool HasPts;
};

// Finds the payloads of private-stream-1 sub-stream `id` in one 2048-byte pack.
bool ParsePack(const uint8_t* pack, uint8_t id, std::vector<TSpuPayload>& out, std::string& error) {
  out.clear();
  if (Be16(pack) != 0 || pack[2] != 1 || pack[3] != 0xBA) {
    error = "no pack start code";
    return false;
  }
  size_t pos;
  if ((pack[4] & 0xC0) == 0x40) pos = 14 + (pack[13] & 7);  // MPEG-2 pack header
  else if ((pack[4] & 0xF0) == 0x20) pos = 12;              // MPEG-1
  else {
    error = "unknown pack header";
    return false;
  }
  while (pos + 6 <= kSubPackSize) {
    const uint8_t* p = pack + pos;
    if (Be16(p) != 0 || p[2] != 1) {
      // Some writers fill the rest of a pack with 0xFF instead of a padding packet.
      if (p[0] == 0xFF) break;
      error = "no packet start code";
      return false;
    }
    size_t end = pos + 6 + Be16(p + 4);
    if (end > kSubPackSize) {
      error = "packet runs past its pack";
      return false;
    }
    if (p[3] == 0xBD && end >= pos + 9 && (p[6] & 0xC0) == 0x80) {
      size_t payload = pos + 9 + p[8];
      if (payload + 1 > end) {
        error = "packet header runs past its packet";
        return false;
      }
      if (pack[payload] == id) out.push_back({pack + payload + 1, end - payload - 1, (p[7] & 0x80) != 0});
    }
    pos = end;
  }
  return true;
}

}  // namespace

bool ReadSubPictureUnit(TPackSource& source, int64_t filePos, uint8_t subStreamId, std::vector<uint8_t>& unit,
                        std::string& error) {
  unit.clear();
  std::vector<uint8_t> pack(kSubPackSize);
  std::vector<TSpuPayload> payloads;
  size_t total = 0;  // the unit's size, once its first two bytes are in
  int64_t pos = filePos;
  for (int packs = 0; packs < kMaxPacksPerUnit; ++packs, pos += static_cast<int64_t>(kSubPackSize)) {
    if (pos < 0 || pos > source.Size() - static_cast<int64_t>(kSubPackSize)) {
      error = SafeFormat("the unit at %lld runs past the end of the file", static_cast<long long>(filePos));
      return false;
    }
    if (!source.ReadAt(pos, pack.data(), kSubPackSize)) {
      error = SafeFormat("cannot read the pack at %lld", static_cast<long long>(pos));
      return false;
    }
    std::string packError;
    if (!ParsePack(pack.data(), subStreamId, payloads, packError)) {
      error = SafeFormat("bad pack at %lld: %s", static_cast<long long>(pos), packError);
      return false;
    }
    if (packs == 0 && payloads.empty()) {
      error = SafeFormat("the pack at %lld holds nothing of sub-stream 0x%x", static_cast<long long>(pos),
                         static_cast<int>(subStreamId));
      return false;
    }
    for (const auto& payload : payloads) {
      if (!unit.empty() && payload.HasPts) {
        error = SafeFormat("the unit at %lld is cut short by the next one", static_cast<long long>(filePos));
        return false;
      }
      size_t take = payload.Size;
      if (total) take = std::min(take, total - unit.size());
      unit.insert(unit.end(), payload.Data, payload.Data + take);
      if (!total && unit.size() >= 2) {
        total = Be16(unit.data());
        if (total < 4) {
          error = SafeFormat("the unit at %lld has the impossible size %d", static_cast<long long>(filePos),
                             static_cast<int>(total));
          return false;
        }
        if (unit.size() > total) unit.resize(total);
      }
      if (total && unit.size() == total) {
        size_t control = Be16(unit.data() + 2);
        if (control < 4 || control >= total) {
          error = SafeFormat("the unit at %lld has its control sequence outside it", static_cast<long long>(filePos));
          return false;
        }
        return true;
      }
    }
  }
  error = SafeFormat("the unit at %lld does not end within %d packs", static_cast<long long>(filePos),
                     kMaxPacksPerUnit);
  return false;
}

// ---- Event list ---------------------------------------------------------------------------

TSttFrame& TSttFrameList::Insert(std::unique_ptr<TSttFrame> frame) {
  auto it = std::lower_bound(items_.begin(), items_.end(), frame->Start,
                             [](const std::unique_ptr<TSttFrame>& f, int64_t start) { return f->Start < start; });
  it = items_.insert(it, std::move(frame));
  index_ = static_cast<size_t>(it - items_.begin());
  return **it;
}

TSttFrame& TSttFrameList::AddTextFrame(TSttFile* file, uint8_t streamId, int64_t start, int64_t duration,
                                       std::vector<std::u32string> lines) {
  auto f = std::make_unique<TSttFrame>();
  f->Owner = file;
  f->StreamId = streamId;
  f->Start = start;
  f->Duration = duration;
  f->Lines = std::move(lines);
  return Insert(std::move(f));
}

TSttFrame& TSttFrameList::AddSubFrame(TSttFile* file, uint8_t streamId, int64_t start, int64_t filePos) {
  auto f = std::make_unique<TSttFrame>();
  f->Owner = file;
  f->StreamId = streamId;
  f->Start = start;
  f->FilePos = filePos;
  return Insert(std::move(f));
}

void TSttFrameList::Remove(const std::vector<const TSttFrame*>& frames) {
  if (frames.empty()) return;
  std::unordered_set<const TSttFrame*> gone(frames.begin(), frames.end());
  size_t kept = 0, newIndex = 0;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i == index_) newIndex = kept;
    if (gone.count(items_[i].get())) continue;
    items_[kept++] = std::move(items_[i]);
  }
  if (index_ >= items_.size()) newIndex = kept;
  items_.resize(kept);
  index_ = newIndex;
}

void TSttFrameList::Clear() {
  items_.clear();
  index_ = 0;
}

TSttFrame* TSttFrameList::First() {
  index_ = 0;
  return Current();
}

bool TSttFrameList::Next() {
  if (index_ < items_.size()) ++index_;
  return Current() != nullptr;
}

// ---- Subtitle file ----------------------------------------------------------------------

TSttFile::TSttFile(TSttFrameList* frameList) : frameList_(frameList) {
  streamLanguage_.fill(DefaultLanguage());
}

TSttFile::~TSttFile() = default;

std::string TSttFile::DefaultLanguage() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (!v || !*v) continue;
    std::string_view s(v);
    if (s.size() >= 2 && s[0] >= 'a' && s[0] <= 'z' && s[1] >= 'a' && s[1] <= 'z' &&
        (s.size() == 2 || s[2] == '_' || s[2] == '.' || s[2] == '@'))
      return std::string(s.substr(0, 2));
    return {};
  }
  return {};
}

std::filesystem::path TSttFile::FindFileAnyCase(const std::filesystem::path& name) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(name, ec)) return name;
  std::filesystem::path dir = name.has_parent_path() ? name.parent_path() : std::filesystem::path(".");
  auto lower = [](std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return s;
  };
  const std::string wanted = lower(name.filename().string());
  std::filesystem::path found;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (lower(it->path().filename().string()) != wanted || !it->is_regular_file(ec)) continue;
    // Several candidates: take the first in name order, so the choice does not depend
    // on the order the folder lists them.
    if (found.empty() || it->path().filename() < found.filename()) found = it->path();
  }
  return found;
}

void TSttFile::SetFileName(const std::filesystem::path& name) {
  loaded_ = false;
  eventCount_ = 0;
  packetCount_ = 0;
  DefaultStream = -1;
  languageChosen_.fill(false);
  CloseSubStream();
  std::string ext = name.extension().string();
  for (char& c : ext) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  idxFileName_.clear();
  fileName_ = name;
  if (ext == ".sub" || ext == ".idx") {
    fileType_ = STTF_SUBIDX;
    std::filesystem::path other = name;
    other.replace_extension(ext == ".sub" ? ".idx" : ".sub");
    std::filesystem::path found = FindFileAnyCase(other);
    if (found.empty()) found = other;
    fileName_ = ext == ".sub" ? name : found;
    idxFileName_ = ext == ".sub" ? found : name;
  } else if (ext == ".srt") {
    fileType_ = STTF_SRT;
  } else if (ext == ".ssa") {
    fileType_ = STTF_SSA;
  } else {
    fileType_ = STTF_NONE;
  }
  if (!frameList_ && fileType_ != STTF_NONE && Load() == 0) fileType_ = STTF_NONE;
}

int TSttFile::Load() {
  if (eventCount_ != 0) return eventCount_;
  hasPalette_ = false;
  switch (fileType_) {
    case STTF_SRT: eventCount_ = LoadSrt(); break;
    case STTF_SUBIDX: eventCount_ = LoadIdx(); break;
    case STTF_SSA:
    case STTF_NONE: eventCount_ = 0; break;
  }
  return eventCount_;
}

bool TSttFile::ReadSmallFile(const std::filesystem::path& file, std::string& data) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(file, ec);
  std::string error;
  if (ec) error = ec.message();
  else if (size > kMaxTextFileSize) error = "file too large for a subtitle file";
  else if (ReadWholeFile(file, data, &error)) return true;
  LogFmt(EVT_WARNING, "subtitle file loading error: [%s]", file.string() + ": " + error);
  return false;
}

int TSttFile::LoadSrt() {
  if (loaded_) return 0;
  currentStreamId_ = kFirstSttStreamId;
  streamPresent_.fill(false);
  streamPresent_[0] = true;
  std::string bytes;
  if (!ReadSmallFile(fileName_, bytes)) return 0;
  std::u32string text;
  std::string error;
  if (!DecodeText(bytes, CodePage, text, nullptr, &error)) {
    LogFmt(EVT_WARNING, "subtitle file loading error: [%s]", fileName_.string() + ": " + error);
    return 0;
  }
  std::vector<std::string> warnings;
  std::vector<TSrtCue> cues = ParseSrt(SplitLines(text), &warnings);
  for (const auto& w : warnings) LogFmt(EVT_WARNING, "%s: %s", fileName_.filename().string(), w);
  if (cues.size() > kMaxSttEventsPerFile) {
    LogFmt(EVT_WARNING, "%s: only the first %d subtitles are used", fileName_.filename().string(),
           static_cast<int>(kMaxSttEventsPerFile));
    cues.resize(kMaxSttEventsPerFile);
  }
  // In time order, each insertion lands at the end of this file's events.
  std::stable_sort(cues.begin(), cues.end(), [](const TSrtCue& a, const TSrtCue& b) { return a.Start < b.Start; });
  if (frameList_)
    for (auto& cue : cues) frameList_->AddTextFrame(this, currentStreamId_, cue.Start, cue.Duration, std::move(cue.Lines));
  loaded_ = true;
  return static_cast<int>(cues.size());
}

int TSttFile::LoadIdx() {
  streamPresent_.fill(false);
  if (!std::filesystem::exists(idxFileName_) || !std::filesystem::exists(fileName_)) {
    std::filesystem::path stem = idxFileName_;
    LogFmt(EVT_ERROR, "subtitle file (%s.sub or .idx) is missing", stem.replace_extension().string());
    return 0;
  }
  std::string text;
  if (!ReadSmallFile(idxFileName_, text)) return 0;
  TIdxContents idx;
  std::vector<std::string> warnings;
  std::string error;
  bool ok = ParseIdx(text, idx, warnings, error);
  for (const auto& w : warnings) LogFmt(EVT_WARNING, "%s: %s", idxFileName_.filename().string(), w);
  if (!ok) {
    LogFmt(EVT_ERROR, "%s: %s", idxFileName_.filename().string(), error);
    return 0;
  }
  pictureWidth_ = idx.Width;
  pictureHeight_ = idx.Height;
  if (idx.HasPalette) {
    palette_ = idx.Palette;
    hasPalette_ = true;
  }
  streamPresent_ = idx.StreamPresent;
  for (size_t i = 0; i < idx.Language.size(); ++i)
    if (!idx.Language[i].empty() && !languageChosen_[i]) streamLanguage_[i] = idx.Language[i];
  std::error_code ec;
  const int64_t subSize = static_cast<int64_t>(std::filesystem::file_size(fileName_, ec));
  int count = 0;
  if (idx.Entries.size() > kMaxSttEventsPerFile) {
    LogFmt(EVT_WARNING, "%s: only the first %d subtitles are used", idxFileName_.filename().string(),
           static_cast<int>(kMaxSttEventsPerFile));
    idx.Entries.resize(kMaxSttEventsPerFile);
  }
  std::stable_sort(idx.Entries.begin(), idx.Entries.end(),
                   [](const TIdxEntry& a, const TIdxEntry& b) { return a.Start < b.Start; });
  int pastEnd = 0;
  for (const auto& e : idx.Entries) {
    if (ec || e.FilePos > subSize - static_cast<int64_t>(kSubPackSize)) {
      // One line for the first, one for how many: a damaged index can list thousands.
      if (pastEnd++ == 0)
        LogFmt(EVT_WARNING, "%s: event at %d ms skipped: its position %llX lies past the end of the .sub file",
               idxFileName_.filename().string(), e.Start, static_cast<unsigned long long>(e.FilePos));
      continue;
    }
    currentStreamId_ = static_cast<uint8_t>(kFirstSttStreamId + e.StreamIndex);
    if (frameList_) frameList_->AddSubFrame(this, currentStreamId_, e.Start, e.FilePos);
    ++count;
  }
  if (pastEnd > 1)
    LogFmt(EVT_WARNING, "%s: %d events skipped in all, their positions lie past the end of the .sub file",
           idxFileName_.filename().string(), pastEnd);
  return count;
}

int TSttFile::FixTimings() {
  if (!frameList_) return 0;
  int adjusted = 0;
  for (int stream = 0; stream < kMaxSttStreams; ++stream) {
    const uint8_t id = static_cast<uint8_t>(kFirstSttStreamId + stream);
    // VobSub events carry their stop time in the unit, so only text events are checked.
    std::vector<TSttFrame*> events;
    for (size_t i = 0; i < frameList_->Count(); ++i) {
      TSttFrame& f = frameList_->Item(i);
      if (f.Owner == this && f.StreamId == id && f.IsText()) events.push_back(&f);
    }
    std::vector<TSttFrame*> kept;
    std::vector<const TSttFrame*> dropped;
    auto drop = [&](TSttFrame* f, size_t position) {
      LogFmt(EVT_WARNING, "Subtitle frame #%d (stream %d) deleted as its duration is inferior to 30 ms",
             static_cast<int>(position), static_cast<int>(f->StreamId), f->Duration);
      dropped.push_back(f);
    };
    for (TSttFrame* cur : events) {
      if (cur->Duration <= kMinSttDurationMs) {
        drop(cur, kept.size());
        continue;
      }
      if (!kept.empty()) {
        TSttFrame* prev = kept.back();
        if (cur->Start - (prev->Start + prev->Duration) < kMinSttGapMs) {
          prev->Duration = cur->Start - prev->Start - kMinSttGapMs;
          ++adjusted;
          LogFmt(EVT_WARNING,
                 "Subtitle frame #%d (stream %d) duration adjusted to %d ms to avoir overlap with next subtitle",
                 static_cast<int>(kept.size() - 1), static_cast<int>(prev->StreamId), prev->Duration);
          if (prev->Duration <= kMinSttDurationMs) {
            kept.pop_back();
            drop(prev, kept.size());
          }
        }
      }
      kept.push_back(cur);
    }
    frameList_->Remove(dropped);
  }
  return adjusted;
}

int TSttFile::StreamCount() const {
  return static_cast<int>(std::count(streamPresent_.begin(), streamPresent_.end(), true));
}

int TSttFile::StreamByOrdinal(int n) const {
  for (int i = 0; i < kMaxSttStreams; ++i)
    if (streamPresent_[static_cast<size_t>(i)] && n-- == 0) return i;
  return 0;
}

std::string TSttFile::GetStreamLanguage(int n) const { return streamLanguage_[static_cast<size_t>(StreamByOrdinal(n))]; }

void TSttFile::SetStreamLanguage(int n, std::string_view code) {
  const size_t index = static_cast<size_t>(StreamByOrdinal(n));
  std::string& lang = streamLanguage_[index];
  languageChosen_[index] = true;
  if (code.size() < 2) {
    lang.clear();
    return;
  }
  lang = std::string(code.substr(0, 2));
  for (char& c : lang) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

void TSttFile::SetStreamDiscarded(int index, bool discarded) {
  if (index >= 0 && index < kMaxSttStreams) streamDiscarded_[static_cast<size_t>(index)] = discarded;
}

bool TSttFile::IsStreamDiscarded(int index) const {
  return index >= 0 && index < kMaxSttStreams && streamDiscarded_[static_cast<size_t>(index)];
}

bool TSttFile::AttachOutputStream(int n, int outputIndex) {
  TSttOutputStream& slot = outputStreams_[static_cast<size_t>(StreamByOrdinal(n))];
  bool wasEmpty = slot.Index < 0;
  slot.Index = outputIndex;
  return wasEmpty;
}

bool TSttFile::OpenSubStream() {
  if (fileType_ != STTF_SUBIDX) return true;
  if (subStream_.IsOpen()) return true;
  std::string error;
  if (!subStream_.Open(fileName_, &error)) {
    LogFmt(EVT_ERROR, "subtitle file loading error: [%s]", fileName_.string() + ": " + error);
    return false;
  }
  return true;
}

void TSttFile::CloseSubStream() { subStream_.Close(); }

bool TSttFile::ReadUnit(const TSttFrame& frame, std::vector<uint8_t>& unit, std::string& error) {
  if (!subStream_.IsOpen()) {
    error = "the .sub file is not open";
    return false;
  }
  return ReadSubPictureUnit(subStream_, frame.FilePos, frame.StreamId, unit, error);
}

void TSttFile::Assign(const TSttFile& source) {
  SetFileName(source.fileName_.empty() ? source.idxFileName_ : source.fileName_);
  streamLanguage_ = source.streamLanguage_;
  languageChosen_ = source.languageChosen_;
  Font = source.Font;
  OutlineColor = source.OutlineColor;
  OutlineSize = source.OutlineSize;
  LineBreak = source.LineBreak;
  CodePage = source.CodePage;
  palette_ = source.palette_;
  hasPalette_ = source.hasPalette_;
  RelativePosition = source.RelativePosition;
  streamDiscarded_ = source.streamDiscarded_;
  DefaultStream = source.DefaultStream;
}

void TSttFile::ApplyPalette(TDVDPalette& palette) const {
  if (!hasPalette_) return;
  std::array<TRgb, 16> colours;
  for (size_t i = 0; i < colours.size(); ++i) colours[i] = TRgb::FromRgb(palette_[i]);
  palette.Load16(colours);
}

// ---- Rendering text events ------------------------------------------------------------

namespace {

// Outline widths the settings offer.
constexpr int kMaxSttOutline = 16;

struct TTextEventRenderer {
  std::shared_ptr<TDVDPalette> palette;
  std::unique_ptr<TSubtitleMap8> pal, ntsc;

  bool Render(const TSttFrame& frame, bool isPal, std::vector<uint8_t>& unit) {
    const TSttFile* file = frame.Owner;
    if (frame.Duration <= 0) {
      // Without a stop time the event would stay on screen for good.
      if (file)
        file->LogFmt(EVT_WARNING, "Subtitle at %d ms (stream %d) skipped: it has no duration", frame.Start,
                     static_cast<int>(frame.StreamId));
      return false;
    }
    auto& map = isPal ? pal : ntsc;
    if (!map)
      map = std::make_unique<TSubtitleMap8>(kSttPictureWidth, *palette, isPal ? kSttPictureHeightPal : kSttPictureHeightNtsc);
    TSubtitleMap8& m = *map;

    const TSttFile defaults;
    const TSttFile& f = file ? *file : defaults;
    TTypeSettingEntry style;
    style.OutlineSize = 2;
    style.ShadowOffset = 2;
    const int lineBreak = std::clamp(f.LineBreak, 0, 1024);
    style.LineBreak = static_cast<uint16_t>(lineBreak == 0 ? 0 : std::max(lineBreak, kMinLineBreak));
    style.OutlineSize = static_cast<uint16_t>(std::clamp(f.OutlineSize, 0, kMaxSttOutline));
    TFont font;
    font.Name = f.Font.Name;
    font.Size = f.Font.Size;
    font.Style = static_cast<TFontStyles>((f.Font.Bold ? fsBold : 0) | (f.Font.Italic ? fsItalic : 0) |
                                          (f.Font.Underline ? fsUnderline : 0));
    font.Color = f.Font.Color.ToRgb();
    style.SetFont(font);
    style.BackgroundColor = kSttTransparent;
    style.OutlineColor = f.OutlineColor.ToRgb();
    style.Align = STTA_BOTTOM_CENTER;
    style.CodePage = f.CodePage;
    m.Style = style;
    m.MaxLineWidth = m.Width() - style.LeftMargin - style.RightMargin - 2 * style.OutlineSize;
    bool rtl = IsRightToLeftCodePage(f.CodePage);
    for (const auto& line : frame.Lines) rtl = rtl || HasRightToLeftText(line);
    m.RightToLeft = rtl;
    m.Position = f.RelativePosition;
    m.SetLines(frame.Lines);
    m.Render();
    if (m.Clipped() && file)
      file->LogFmt(EVT_WARNING, "Subtitle at %d ms (stream %d) does not fit the picture; its edges are cut",
                   frame.Start, static_cast<int>(frame.StreamId));

    const TSpuPicture picture = m.GetPicture();
    TSubPicture request;
    request.Start = 0;
    request.Stop = static_cast<uint32_t>(std::min<int64_t>(frame.Duration, UINT32_MAX));
    request.Pictures = std::span(&picture, 1);
    request.Pal = isPal;
    TSPUH spu(*palette);
    if (file) spu.LogCallback = file->LogCallback;
    if (spu.Build(request) == 0) return false;
    unit = spu.Data();
    return true;
  }
};

}  // namespace

TSttTextRenderer MakeTextEventRenderer(std::shared_ptr<TDVDPalette> palette) {
  if (!palette) palette = std::make_shared<TDVDPalette>();
  auto renderer = std::make_shared<TTextEventRenderer>();
  renderer->palette = std::move(palette);
  return [renderer](const TSttFrame& frame, bool pal, std::vector<uint8_t>& unit) {
    return renderer->Render(frame, pal, unit);
  };
}

// ---- Subtitle files of a title ------------------------------------------------------------

TSttFile& TSttList::AddFile() {
  files_.push_back(std::make_unique<TSttFile>(&frames_));
  files_.back()->LogCallback = LogCallback;
  return *files_.back();
}

bool TSttList::LoadAll() {
  bool result = true;
  int32_t height = 0;
  bool first = true;
  for (auto& file : files_) {
    file->Load();
    file->FixTimings();
    if (file->FileType() != STTF_SUBIDX) continue;
    if (first || height == 0) height = file->PictureHeight();
    else if (file->PictureHeight() != height) result = false;
    first = false;
    if (!file->OpenSubStream()) result = false;
  }
  frames_.First();
  return result;
}

bool TSttList::DetectSubIdxStandard(bool& pal) {
  for (auto& file : files_) {
    if (file->FileType() != STTF_SUBIDX) continue;
    file->Load();
    pal = file->PictureHeight() > 480;
    return true;
  }
  return false;
}

void TSttList::CloseAll() {
  for (auto& file : files_) file->CloseSubStream();
}

int64_t TSttList::PtsOf(const TSttFrame& frame) const {
  int64_t pts = frame.Start * 90;
  if (frame.Owner) {
    int64_t delay = frame.Owner->OutputStream(frame.StreamIndex()).StartTime;
    if (delay > 0) pts += delay;
  }
  return pts;
}

int64_t TSttList::PeekNextPts() const {
  const TSttFrame* f = frames_.Current();
  return f ? PtsOf(*f) : INT64_MAX;
}

int64_t TSttList::NextPacket(TSttPacket& packet, bool pal) {
  const TSttFrame* frame = frames_.Current();
  if (!frame) return -1;
  packet = TSttPacket{};
  packet.Frame = frame;
  packet.Pts = PtsOf(*frame);
  TSttFile* file = frame->Owner;
  int64_t result = 0;
  if (file && !file->IsStreamDiscarded(frame->StreamIndex())) {
    packet.StreamIndex = file->OutputStream(frame->StreamIndex()).Index;
    std::string error;
    bool ok;
    if (frame->IsText()) {
      ok = TextRenderer && TextRenderer(*frame, pal, packet.Data);
      packet.Duration = frame->Duration * 90;
    } else {
      ok = file->ReadUnit(*frame, packet.Data, error);
      if (!ok)
        file->LogFmt(EVT_WARNING, "Subtitle unit at %d ms (stream %d) skipped: %s", frame->Start,
                     static_cast<int>(frame->StreamId), error);
    }
    if (ok && packet.StreamIndex < 0) {
      // Without an output stream the unit would land in some other stream of the title.
      file->LogFmt(EVT_WARNING, "Subtitle unit at %d ms (stream %d) skipped: the stream has no output stream",
                   frame->Start, static_cast<int>(frame->StreamId));
      ok = false;
    }
    if (ok && !packet.Data.empty()) {
      file->CountPacket();
      result = static_cast<int64_t>(packet.Data.size());
    } else {
      packet.Data.clear();
    }
  }
  frames_.Next();
  return result;
}

}  // namespace vidoria
