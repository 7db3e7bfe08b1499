#include "app/U_ExtensionFilter.h"

#include "app/C_TextStorage.h"

#include <algorithm>
#include <cctype>

namespace vidoria {

namespace {
bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Join(const std::vector<std::string>& patterns, const char* separator) {
  std::string out;
  for (const auto& p : patterns) out += (out.empty() ? "" : separator) + p;
  return out;
}

// Wildcard match of a file's extension against a registered one.
bool ExtensionMatches(std::string_view ext, std::string_view pattern) {
  size_t i = 0;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == '*') return true;
    if (i >= ext.size()) return false;
    if (pattern[i] == '?') continue;
    if (std::tolower(static_cast<unsigned char>(pattern[i])) != std::tolower(static_cast<unsigned char>(ext[i])))
      return false;
  }
  return i == ext.size();
}
}  // namespace

void TExtensionFilter::Clear() {
  entries_.clear();
  groups_.clear();
}

TExtensionFilter::Group& TExtensionFilter::FindOrAddGroup(const std::string& name, int key) {
  Group* found = nullptr;
  for (auto& g : groups_)
    if (key != 0 ? g->key == key : SameIgnoringCase(g->name, name)) {
      found = g.get();
      break;
    }
  if (!found) {
    groups_.push_back(std::make_unique<Group>());
    found = groups_.back().get();
  }
  found->name = name;
  found->key = key;
  return *found;
}

void TExtensionFilter::AddEntry(const std::string& extension, const std::string& description, bool replace,
                                Group* group) {
  if (extension.empty()) return;
  for (auto& e : entries_) {
    if (!SameIgnoringCase(e->extension, extension)) continue;
    if (replace) *e = Entry{extension, description, group};
    return;
  }
  entries_.push_back(std::make_unique<Entry>(Entry{extension, description, group}));
}

std::vector<TExtensionFilter::Line> TExtensionFilter::Lines(unsigned flags, std::vector<std::string>* all) const {
  std::vector<Line> lines;
  if (flags & kGrouped) {
    for (const auto& g : groups_) {
      Line line{g->name, {}};
      for (const auto& e : entries_)
        if (e->group == g.get()) line.patterns.push_back("*." + e->extension);
      if (!line.patterns.empty()) lines.push_back(std::move(line));
    }
    for (const auto& e : entries_)
      if (!e->group) lines.push_back({e->description, {"*." + e->extension}});
  } else {
    for (const auto& e : entries_) {
      std::string d = !e->description.empty() ? e->description : e->group ? e->group->name : e->extension + " files";
      lines.push_back({d, {"*." + e->extension}});
    }
  }
  for (auto& l : lines) std::sort(l.patterns.begin(), l.patterns.end());
  std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
    return a.description != b.description ? a.description < b.description : a.patterns < b.patterns;
  });
  if (all) {
    for (const auto& e : entries_) all->push_back("*." + e->extension);
    std::sort(all->begin(), all->end());
  }
  return lines;
}

std::string TExtensionFilter::BuildFilter(unsigned flags) const {
  std::vector<std::string> all;
  std::string out;
  for (const auto& l : Lines(flags, &all)) {
    std::string patterns = Join(l.patterns, "; ");
    out += l.description + ((flags & kPatternsInText) ? " (" + patterns + ")" : "") + "|" + patterns + "|";
  }
  if (flags & kAllSupportedLine) out = AllSupportedCaption + "|" + Join(all, "; ") + "|" + out;
  if (flags & kAnyFileLine) out += AnyFileCaption + ((flags & kPatternsInText) ? " (*.*)" : "") + "|*.*|";
  if (!out.empty()) out.pop_back();
  return out;
}

std::vector<std::string> TExtensionFilter::BuildQtFilters(unsigned flags) const {
  std::vector<std::string> all, out;
  for (const auto& l : Lines(flags, &all)) out.push_back(l.description + " (" + Join(l.patterns, " ") + ")");
  if (flags & kAllSupportedLine) out.insert(out.begin(), AllSupportedCaption + " (" + Join(all, " ") + ")");
  if (flags & kAnyFileLine) out.push_back(AnyFileCaption + " (*)");
  return out;
}

bool TExtensionFilter::Matches(std::string_view fileName) const {
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view ext = fileName.substr(dot + 1);
  for (const auto& e : entries_)
    if (ExtensionMatches(ext, e->extension)) return true;
  return false;
}

namespace {
struct TypeRow {
  const char* group;
  const char* extension;
  const char* description;
};

void Fill(TExtensionFilter& f, const TypeRow* rows, size_t count) {
  f.Clear();
  f.AllSupportedCaption = TTextStorage::Lookup("All supported files");
  f.AnyFileCaption = TTextStorage::Lookup("Any file");
  for (size_t i = 0; i < count; ++i) {
    auto& g = f.FindOrAddGroup(TTextStorage::Lookup(rows[i].group));
    f.AddEntry(rows[i].extension, TTextStorage::Lookup(rows[i].description), false, &g);
  }
}
}  // namespace

void FillVideoFilter(TExtensionFilter& filter) {
  static const TypeRow rows[] = {
      {"Audio Video Interleave files", "avi", "Windows AVI"},
      {"DVB (Sat) packetized MPEG", "ps", "DVB MPEG PS"},
      {"DVB (Sat) packetized MPEG", "ts", "DVB MPEG TS"},
      {"DVD Packetized MPEG", "vob", "DVD VOB"},
      {"Matroska", "mkv", "Matroska"},
      {"Raw MPEG", "mpeg", "MPEG"},
      {"Raw MPEG", "mpg", "MPEG"},
      {"Quicktime", "mov", "Quicktime"},
      {"Quicktime", "mp4", "Quicktime"},
      {"Quicktime", "m4a", "Quicktime"},
      {"Quicktime", "3gp", "Quicktime"},
      {"Windows Media", "wmv", "Windows Media Video"},
      {"Windows Media", "asf", "Windows Media Video"},
      {"Digital Video Recorder", "dvr-ms", "Microsoft Digital Video"},
      {"Digital Video Recorder", "tivo", "TiVo Digital Video"},
      {"Xvid", "xvid", "Xvid"},
      {"Xvid", "Divx", "Xvid"},
      {"AviSynth script", "avs", "avs"},
      {"Ogg vorbis & theora", "ogg", "ogg theora"},
      {"Ogg vorbis & theora", "ogm", "ogg media"},
      // Types common on Linux desktops and camcorders that the same input path reads.
      {"Matroska", "webm", "WebM"},
      {"DVB (Sat) packetized MPEG", "m2ts", "AVCHD MPEG TS"},
      {"DVB (Sat) packetized MPEG", "mts", "AVCHD MPEG TS"},
      {"Quicktime", "m4v", "Quicktime"},
  };
  Fill(filter, rows, std::size(rows));
}

void FillSubtitleFilter(TExtensionFilter& filter) {
  static const TypeRow rows[] = {
      {"Text-based subtitles", "srt", "SubRip"},
      {"Image-based subtitles", "sub", "DVD Subtitle"},
      {"Image-based subtitles", "idx", "DVD Subtitle"},
  };
  Fill(filter, rows, std::size(rows));
}

}  // namespace vidoria
