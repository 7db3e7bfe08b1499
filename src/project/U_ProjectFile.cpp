#include "project/U_ProjectFile.h"

#include "platform/FileLock.h"
#include "platform/MessageFormat.h"

#include <pugixml.hpp>
#include <sys/stat.h>

#include <charconv>
#include <limits>
#include <sstream>
#include <stdexcept>

#ifndef VIDORIA_VERSION
#define VIDORIA_VERSION "0.0.0"
#endif

namespace vidoria {
namespace fs = std::filesystem;

int CompareVersions(std::string_view a, std::string_view b) {
  auto next = [](std::string_view& s) -> int64_t {
    int64_t v = 0;
    size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') v = std::min<int64_t>(v * 10 + (s[i++] - '0'), 1000000000);
    s.remove_prefix(i);
    if (!s.empty() && s.front() == '.') s.remove_prefix(1);
    return v;
  };
  while (!a.empty() || !b.empty()) {
    int64_t x = next(a), y = next(b);
    if (x != y) return x < y ? -1 : 1;
    if (!a.empty() && a.front() != '.' && (a.front() < '0' || a.front() > '9')) a = {};
    if (!b.empty() && b.front() != '.' && (b.front() < '0' || b.front() > '9')) b = {};
  }
  return 0;
}

std::string ProgramVersion() {
  std::string v = VIDORIA_VERSION;
  int dots = 0;
  for (char c : v) dots += c == '.';
  for (; dots < 3; ++dots) v += ".0";
  return v;
}

namespace {

constexpr size_t kMaxFileSize = 64u << 20;  // far beyond any real project

// ---- writing ----------------------------------------------------------------------

void Put(pugi::xml_node parent, const char* name, const std::string& v) { parent.append_child(name).text().set(v.c_str()); }
void Put(pugi::xml_node parent, const char* name, bool v) { Put(parent, name, std::string(v ? "true" : "false")); }
void Put(pugi::xml_node parent, const char* name, int64_t v) { Put(parent, name, std::to_string(v)); }
void Put(pugi::xml_node parent, const char* name, int32_t v) { Put(parent, name, static_cast<int64_t>(v)); }
void Put(pugi::xml_node parent, const char* name, uint32_t v) { Put(parent, name, static_cast<int64_t>(v)); }
void Put(pugi::xml_node parent, const char* name, uint8_t v) { Put(parent, name, static_cast<int64_t>(v)); }
void Put(pugi::xml_node parent, const char* name, TRgb v) { Put(parent, name, v.ToHex()); }
void Put(pugi::xml_node parent, const char* name, const TFontDesc& f) {
  pugi::xml_node n = parent.append_child(name);
  Put(n, "Name", f.Name);
  Put(n, "Size", static_cast<int64_t>(f.Size));
  Put(n, "Bold", f.Bold);
  Put(n, "Italic", f.Italic);
  Put(n, "Underline", f.Underline);
  Put(n, "Color", f.Color);
}

// ---- reading: every value is checked; the first bad one refuses the file ----------

struct EFormat : std::runtime_error {
  using std::runtime_error::runtime_error;
};

pugi::xml_node Need(pugi::xml_node parent, const char* name) {
  pugi::xml_node n = parent.child(name);
  if (!n) throw EFormat(std::string("missing element \"") + name + "\" in \"" + parent.name() + "\"");
  return n;
}

std::string GetString(pugi::xml_node parent, const char* name) { return Need(parent, name).text().get(); }

int64_t GetInt(pugi::xml_node parent, const char* name, int64_t lo, int64_t hi) {
  std::string s = GetString(parent, name);
  int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi)
    throw EFormat(std::string("invalid value \"") + s + "\" of \"" + name + "\"");
  return v;
}

bool GetBool(pugi::xml_node parent, const char* name) {
  std::string s = GetString(parent, name);
  if (s == "true" || s == "1") return true;
  if (s == "false" || s == "0") return false;
  throw EFormat(std::string("invalid value \"") + s + "\" of \"" + name + "\"");
}

TRgb GetColor(pugi::xml_node parent, const char* name) {
  std::string s = GetString(parent, name);
  auto c = TRgb::FromHex(s);
  if (!c) throw EFormat(std::string("invalid colour \"") + s + "\" of \"" + name + "\"");
  return *c;
}

TFontDesc GetFont(pugi::xml_node parent, const char* name) {
  pugi::xml_node n = Need(parent, name);
  TFontDesc f;
  f.Name = GetString(n, "Name");
  if (f.Name.empty()) throw EFormat(std::string("empty font name in \"") + name + "\"");
  f.Size = static_cast<int>(GetInt(n, "Size", 1, 500));
  f.Bold = GetBool(n, "Bold");
  f.Italic = GetBool(n, "Italic");
  f.Underline = GetBool(n, "Underline");
  f.Color = GetColor(n, "Color");
  return f;
}

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

template <typename Fn>
void ForItems(pugi::xml_node parent, const char* name, Fn fn) {
  for (pugi::xml_node item : Need(parent, name).children("Item")) fn(item);
}

void ReadMenu(pugi::xml_node m, TMenuStorage& menu) {
  menu.Set_present(GetBool(m, "present"));
  menu.auto_play = GetBool(m, "auto_play");
  menu.loop_playback = GetBool(m, "loop_playback");
  menu.sequential_play = GetBool(m, "sequential_play");
  menu.title = GetString(m, "title");
  menu.background = GetString(m, "background");
  menu.Set_entries_per_pages(static_cast<uint8_t>(GetInt(m, "entries_per_pages", 1, 10)));
  menu.Items_Font = GetFont(m, "Items_Font");
  menu.Title_Font = GetFont(m, "Title_Font");
  menu.buttons_normal_color = GetColor(m, "buttons_normal_color");
  menu.buttons_selected_color = GetColor(m, "buttons_selected_color");
  menu.buttons_action_color = GetColor(m, "buttons_action_color");
}

void ReadSegment(pugi::xml_node s, TVideoSegmentstorage& seg) {
  seg.friendly_name = GetString(s, "friendly_name");
  ForItems(s, "FileSet", [&](pugi::xml_node f) {
    TAvFileCluster& fc = seg.FileSet.Add();
    pugi::xml_node c = Need(f, "Cluster");
    fc.Cluster.SetPath(GetString(c, "Path"));
    int64_t offset = 0;
    ForItems(c, "Files", [&](pugi::xml_node a) {
      std::string name = GetString(a, "FileName");
      if (name.empty()) throw EFormat("empty file name in a file cluster");
      int64_t size = GetInt(a, "FileSize", 0, kI64Max);
      if (GetInt(a, "Cluster_offset", 0, kI64Max) != offset) throw EFormat("file cluster offsets do not follow the sizes");
      TFileAtom& atom = fc.Cluster.AddFile(name, -1);
      atom.SetFileSize(size);  // as recorded: a later check compares it with the disk
      atom.MaxSize = size;
      offset += size;
    });
    if (fc.Cluster.Count() == 0) throw EFormat("a file cluster without files");
    fc.start_Pts = GetInt(f, "start_Pts", kI64Min, kI64Max);
    fc.start_Dts = GetInt(f, "start_Dts", kI64Min, kI64Max);
    fc.Sync_Ok = GetBool(f, "Sync_Ok");
    fc.GroupID = static_cast<int32_t>(GetInt(f, "GroupID", 0, kI32Max));
    fc.GroupIndex = static_cast<int32_t>(GetInt(f, "GroupIndex", 0, kI32Max));
    fc.duration_from_file = GetInt(f, "duration_from_file", 0, kI64Max);
    fc.duration_from_user = GetInt(f, "duration_from_user", 0, kI64Max);
    fc.real_frame_rate = static_cast<int32_t>(GetInt(f, "real_frame_rate", 0, kI32Max));
    fc.real_frame_rate_base = static_cast<int32_t>(GetInt(f, "real_frame_rate_base", 0, kI32Max));
    if (fc.real_frame_rate > 0 && fc.real_frame_rate_base == 0) throw EFormat("a frame rate with a denominator of 0");
  });
  if (seg.FileSet.Empty()) throw EFormat("a segment without files");
  ForItems(s, "Streams", [&](pugi::xml_node n) {
    Tsegment_stream& st = seg.Streams.Add();
    st.discard = GetBool(n, "discard");
    st.stream_index = static_cast<int32_t>(GetInt(n, "stream_index", 0, kI32Max));
    st.file_index = static_cast<int32_t>(GetInt(n, "file_index", 0, static_cast<int64_t>(seg.FileSet.Count()) - 1));
    st.description = GetString(n, "description");
    st.stream_type = static_cast<EStreamType>(GetInt(n, "stream_type", ST_UNKNOWN, ST_SUBTITLE));
    st.language = GetString(n, "language");
    st.delay = GetInt(n, "delay", -3600000000LL, 3600000000LL);
    st.Pts_Offset = GetInt(n, "Pts_Offset", kI64Min, kI64Max);
    st.Dts_Offset = GetInt(n, "Dts_Offset", kI64Min, kI64Max);
    st.Relative_start_time = GetInt(n, "Relative_start_time", kI64Min, kI64Max);
    st.Relative_end_time = GetInt(n, "Relative_end_time", kI64Min, kI64Max);
  });
  ForItems(s, "Chapters", [&](pugi::xml_node n) { seg.Chapters.Add().start = GetInt(n, "start", 1, kI64Max / 90); });
  ForItems(s, "External_Subts", [&](pugi::xml_node n) {
    TExternal_Subt& x = seg.External_Subts.Add();
    x.filename = GetString(n, "filename");
    x.language = GetString(n, "language");
    x.Font = GetFont(n, "Font");
    x.Relative_position = static_cast<uint8_t>(GetInt(n, "Relative_position", 0, 100));
    x.outline_color = GetColor(n, "outline_color");
    x.Outline_size = static_cast<int32_t>(GetInt(n, "Outline_size", 0, 16));
    x.code_page = static_cast<uint32_t>(GetInt(n, "code_page", 0, 65535));
    x.line_break = static_cast<uint8_t>(GetInt(n, "line_break", 0, 99));
    std::string discard = GetString(n, "Discard_Streams");
    if (discard.find_first_not_of("01") != std::string::npos) throw EFormat("invalid Discard_Streams \"" + discard + "\"");
    x.SetDiscard_Streams(discard);
  });
  const int64_t files = static_cast<int64_t>(seg.External_Subts.Count());
  int32_t defFile = static_cast<int32_t>(GetInt(s, "Default_Stt_file", -1, files - 1));
  int32_t defIndex = static_cast<int32_t>(GetInt(s, "Default_Stt_Index", -1, 99));
  bool enabled = s.child("Default_Stt_Enabled") ? GetBool(s, "Default_Stt_Enabled") : defFile >= 0;
  seg.External_Subts.SetDefaultSubtitle(defFile, defIndex, enabled && defFile >= 0 && defIndex >= 0);
  seg.Chapters.StableSort([](const Tchapter& a, const Tchapter& b) { return a.start < b.start; });
}

bool IsRegularFile(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string SerializeProject(const TVideo_segments_collection& project, const TMenuStorage& menu) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = doc.append_child("Vidoria");
  Put(root, "AppName", std::string("Vidoria"));
  Put(root, "AppVersion", ProgramVersion());
  Put(root, "AppMinVersion", std::string(kProjectMinVersion));

  pugi::xml_node m = root.append_child("menu");
  Put(m, "present", menu.present());
  Put(m, "auto_play", menu.auto_play);
  Put(m, "loop_playback", menu.loop_playback);
  Put(m, "sequential_play", menu.sequential_play);
  Put(m, "title", menu.title);
  Put(m, "background", menu.background);
  Put(m, "entries_per_pages", menu.entries_per_pages());
  Put(m, "Items_Font", menu.Items_Font);
  Put(m, "Title_Font", menu.Title_Font);
  Put(m, "buttons_normal_color", menu.buttons_normal_color);
  Put(m, "buttons_selected_color", menu.buttons_selected_color);
  Put(m, "buttons_action_color", menu.buttons_action_color);

  pugi::xml_node segs = root.append_child("segments");
  Put(segs, "Project_Name", project.StoredProjectName());
  for (const auto& seg : project) {
    pugi::xml_node s = segs.append_child("Item");
    Put(s, "friendly_name", seg.friendly_name);
    pugi::xml_node fileSet = s.append_child("FileSet");
    for (const auto& fc : seg.FileSet) {
      pugi::xml_node f = fileSet.append_child("Item");
      pugi::xml_node c = f.append_child("Cluster");
      Put(c, "Path", fc.Cluster.Path());
      pugi::xml_node files = c.append_child("Files");
      for (size_t i = 0; i < fc.Cluster.Count(); ++i) {
        pugi::xml_node a = files.append_child("Item");
        Put(a, "FileName", fc.Cluster.Item(i).FileName.string());
        Put(a, "FileSize", fc.Cluster.Item(i).FileSize());
        Put(a, "Cluster_offset", fc.Cluster.Item(i).Cluster_offset);
      }
      Put(f, "start_Pts", fc.start_Pts);
      Put(f, "start_Dts", fc.start_Dts);
      Put(f, "Sync_Ok", fc.Sync_Ok);
      Put(f, "GroupID", fc.GroupID);
      Put(f, "GroupIndex", fc.GroupIndex);
      Put(f, "duration_from_file", fc.duration_from_file);
      Put(f, "duration_from_user", fc.duration_from_user);
      Put(f, "real_frame_rate", fc.real_frame_rate);
      Put(f, "real_frame_rate_base", fc.real_frame_rate_base);
    }
    pugi::xml_node streams = s.append_child("Streams");
    for (const auto& st : seg.Streams) {
      pugi::xml_node n = streams.append_child("Item");
      Put(n, "discard", st.discard);
      Put(n, "stream_index", st.stream_index);
      Put(n, "file_index", st.file_index);
      Put(n, "description", st.description);
      Put(n, "stream_type", static_cast<int64_t>(st.stream_type));
      Put(n, "language", st.language);
      Put(n, "delay", st.delay);
      Put(n, "Pts_Offset", st.Pts_Offset);
      Put(n, "Dts_Offset", st.Dts_Offset);
      Put(n, "Relative_start_time", st.Relative_start_time);
      Put(n, "Relative_end_time", st.Relative_end_time);
    }
    pugi::xml_node chapters = s.append_child("Chapters");
    for (const auto& c : seg.Chapters) Put(chapters.append_child("Item"), "start", c.start);
    pugi::xml_node subs = s.append_child("External_Subts");
    for (const auto& x : seg.External_Subts) {
      pugi::xml_node n = subs.append_child("Item");
      Put(n, "filename", x.filename);
      Put(n, "language", x.language);
      Put(n, "Font", x.Font);
      Put(n, "Relative_position", x.Relative_position);
      Put(n, "outline_color", x.outline_color);
      Put(n, "Outline_size", x.Outline_size);
      Put(n, "code_page", x.code_page);
      Put(n, "line_break", x.line_break);
      Put(n, "Discard_Streams", x.Discard_Streams());
    }
    Put(s, "Default_Stt_file", seg.Default_Stt_file());
    Put(s, "Default_Stt_Index", seg.Default_Stt_Index());
    Put(s, "Default_Stt_Enabled", seg.External_Subts.Default_Stt_Enabled);
  }
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

bool ParseProject(std::string_view xml, TVideo_segments_collection& project, TMenuStorage& menu, std::string& error) {
  pugi::xml_document doc;
  // Our files never carry a document type; one that does is refused rather than having
  // its entity definitions skipped silently.
  pugi::xml_parse_result parsed =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
  if (!parsed) {
    error = std::string("not a readable XML document: ") + parsed.description() + " at byte " +
            std::to_string(parsed.offset);
    return false;
  }
  pugi::xml_node root = doc.child("Vidoria");
  try {
    for (pugi::xml_node n : doc.children())
      if (n.type() == pugi::node_doctype) throw EFormat("the document declares a document type");
    if (!root) throw EFormat("the document is not a Vidoria project");
    if (root.child("AppName").text().as_string() != std::string("Vidoria")) throw EFormat("the document is not a Vidoria project");
    TVideo_segments_collection fresh;
    TMenuStorage freshMenu;
    ReadMenu(Need(root, "menu"), freshMenu);
    pugi::xml_node segs = Need(root, "segments");
    fresh.SetProject_Name(GetString(segs, "Project_Name"));
    for (pugi::xml_node s : segs.children("Item")) ReadSegment(s, fresh.Add());
    project = std::move(fresh);
    menu.Assign(freshMenu);
    return true;
  } catch (const EFormat& e) {
    error = e.what();
    return false;
  }
}

bool SaveProject(const fs::path& fileName, TVideo_segments_collection& project, const TMenuStorage& menu,
                 const TLoggingObject& log) {
  if (project.Empty()) return false;
  fs::path target = fileName;
  target.replace_extension(".vidproj");
  project.SetProject_Name(target.stem().string());
  std::string error;
  if (!WriteFileAtomically(target, SerializeProject(project, menu), &error)) {
    log.LogFmt(EVT_ERROR, "Project \"%s\" can't be saved: %s", target.string(), error);
    return false;
  }
  log.LogFmt(EVT_INFO, "Project \"%s\" saved.", target.string());
  return true;
}

TProjectLoadResult LoadProject(const fs::path& fileName, TVideo_segments_collection& project, TMenuStorage& menu,
                               const TLoggingObject& log) {
  TProjectLoadResult result;
  auto refuse = [&](const std::string& why) {
    result.error = why;
    log.LogFmt(EVT_ERROR, "File \"%s\" is not a valid project file", fileName.string());
    log.Log(EVT_ERROR, why);
    return result;
  };
  struct stat st{};
  if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return refuse("the file does not exist or is not a regular file");
  if (static_cast<size_t>(st.st_size) > kMaxFileSize) return refuse("the file is far too large for a project");
  std::string xml, why;
  if (!ReadWholeFile(fileName, xml, &why)) return refuse(why);

  // Versions come first, so an old file gets the message that explains it.
  pugi::xml_document head;
  if (head.load_buffer(xml.data(), xml.size())) {
    pugi::xml_node root = head.child("Vidoria");
    std::string version = root.child("AppVersion").text().as_string();
    std::string minimum = root.child("AppMinVersion").text().as_string();
    if (root && root.child("AppName").text().as_string() == std::string("Vidoria")) {
      if (CompareVersions(version, kProjectMinVersion) < 0) {
        log.LogFmt(EVT_ERROR, "File \"%s\" comes from an older version (%s) that is no longer supported.",
                   fileName.string(), version);
        result.error = "This project file is too old to be loaded. A more recent project file is needed.";
        return result;
      }
      if (!minimum.empty() && CompareVersions(minimum, ProgramVersion()) > 0)
        return refuse("the file needs Vidoria " + minimum + " or later");
      if (CompareVersions(version, ProgramVersion()) < 0)
        log.LogFmt(EVT_WARNING, "File \"%s\" was created with an earlier version, you should save to update to this version.",
                   fileName.string());
    }
  }

  TVideo_segments_collection fresh;
  TMenuStorage freshMenu;
  if (!ParseProject(xml, fresh, freshMenu, why)) return refuse(why);

  if (fresh.Count() > kMaxProjectSegments) {
    log.LogFmt(EVT_WARNING, "This save contains more segments (%d) than the limit (%d). Last segments will be removed.",
               static_cast<int>(fresh.Count()), kMaxProjectSegments);
    while (fresh.Count() > kMaxProjectSegments) fresh.Delete(fresh.Count() - 1);
  }
  for (size_t i = fresh.Count(); i-- > 0;) {
    TVideoSegmentstorage& seg = fresh[i];
    fs::path changed;
    if (!seg.FileSet[0].Cluster.CheckUnchanged(changed)) {
      log.LogFmt(EVT_WARNING, "File not found or changed: \"%s\"", changed.string());
      fresh.Delete(i);
      result.files_dropped = true;
      continue;
    }
    for (size_t k = seg.External_Subts.Count(); k-- > 0;) {
      if (IsRegularFile(seg.External_Subts[k].filename)) continue;
      log.LogFmt(EVT_WARNING, "Subtitle file not found or changed: \"%s\"", seg.External_Subts[k].filename);
      seg.External_Subts.Delete(k);
      seg.External_Subts.SetDefaultSubtitle(-1, -1, false);
      result.files_dropped = true;
    }
  }
  if (fresh.Empty()) {
    result.error = "None of the project's files can be found.";
    log.Log(EVT_ERROR, result.error);
    return result;
  }
  project = std::move(fresh);
  menu.Assign(freshMenu);
  result.loaded = true;
  return result;
}

}  // namespace vidoria
