#include "platform/KeyValueStore.h"

#include "platform/FileLock.h"
#include "platform/XdgPaths.h"

#include <charconv>

namespace vidoria {
namespace fs = std::filesystem;

namespace {

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    if (len == 2 && c < 0xC2) return false;  // overlong
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

// Values are escaped so that any string (line breaks, leading blanks) survives one
// line of an INI file, while ordinary text stays as it is for other INI readers.
std::string Escape(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    bool edge = i == 0 || i + 1 == v.size();
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case ' ': out += edge ? "\\s" : " "; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out.push_back(v[i]);
      continue;
    }
    char n = v[++i];
    switch (n) {
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 's': out.push_back(' '); break;
      default: out.push_back(n);
    }
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool IsBelow(const std::string& key, const std::string& parent) {
  return key.size() > parent.size() && key.compare(0, parent.size(), parent) == 0 && key[parent.size()] == '\\';
}

}  // namespace

TKeyValueStore::TKeyValueStore(fs::path file) : file_(std::move(file)) {}

fs::path TKeyValueStore::DefaultFile() { return xdg::ConfigHome() / "Qor" / "Vidoria" / "vidoria.ini"; }

bool TKeyValueStore::Parse(std::string_view text, std::map<std::string, Section>& out, std::string* error) {
  out.clear();
  auto fail = [&](const std::string& why) {
    out.clear();
    if (error) *error = why;
    return false;
  };
  // Our own files always start with a comment line, so an empty file was cut short.
  if (text.empty()) return fail("the file is empty");
  if (text.find('\0') != std::string_view::npos) return fail("the file holds binary data");
  if (!ValidUtf8(text)) return fail("the file is not valid UTF-8");
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  size_t lineNo = 0;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') continue;
    if (t.front() == '[') {
      if (t.back() != ']' || t.size() < 3) return fail("damaged section header in line " + std::to_string(lineNo));
      current = &out[std::string(t.substr(1, t.size() - 2))];
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos || eq == 0 || current == nullptr)
      return fail("damaged line " + std::to_string(lineNo));
    std::string name(Trim(t.substr(0, eq)));
    (*current)[name] = Unescape(Trim(t.substr(eq + 1)));
  }
  return true;
}

std::string TKeyValueStore::Serialize(const std::map<std::string, Section>& data) {
  std::string out = "; Vidoria settings and status values\n\n";
  for (const auto& [key, values] : data) {
    if (values.empty()) continue;
    out += "[" + key + "]\n";
    for (const auto& [name, value] : values) out += name + "=" + Escape(value) + "\n";
    out += "\n";
  }
  return out;
}

bool TKeyValueStore::Load(std::string* error) {
  std::lock_guard guard(mutex_);
  data_.clear();
  bool ok = true;
  std::error_code ec;
  if (fs::exists(file_, ec)) {
    TFileLock lock(fs::path(file_) += ".lock", TFileLock::Mode::Shared);
    std::string text;
    ok = ReadWholeFile(file_, text, error) && Parse(text, data_, error);
  }
  // Changes not saved yet stay visible on top of what was read.
  for (const Change& c : pending_) Apply(data_, c);
  return ok;
}

std::optional<std::string> TKeyValueStore::ReadString(const std::string& key, const std::string& name) const {
  std::lock_guard guard(mutex_);
  auto k = data_.find(key);
  if (k == data_.end()) return std::nullopt;
  auto v = k->second.find(name);
  if (v == k->second.end()) return std::nullopt;
  return v->second;
}

std::optional<int64_t> TKeyValueStore::ReadInteger(const std::string& key, const std::string& name) const {
  auto s = ReadString(key, name);
  if (!s) return std::nullopt;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(s->data(), s->data() + s->size(), v);
  if (ec != std::errc() || p != s->data() + s->size()) return std::nullopt;
  return v;
}

std::optional<bool> TKeyValueStore::ReadBool(const std::string& key, const std::string& name) const {
  auto s = ReadString(key, name);
  if (!s) return std::nullopt;
  if (*s == "1" || *s == "true") return true;
  if (*s == "0" || *s == "false") return false;
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> TKeyValueStore::ReadBinary(const std::string& key, const std::string& name) const {
  auto s = ReadString(key, name);
  if (!s || s->size() % 2) return std::nullopt;
  std::vector<uint8_t> out(s->size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    auto [p, ec] = std::from_chars(s->data() + 2 * i, s->data() + 2 * i + 2, out[i], 16);
    if (ec != std::errc() || p != s->data() + 2 * i + 2) return std::nullopt;
  }
  return out;
}

bool TKeyValueStore::ValueExists(const std::string& key, const std::string& name) const {
  return ReadString(key, name).has_value();
}

bool TKeyValueStore::KeyExists(const std::string& key) const {
  std::lock_guard guard(mutex_);
  for (const auto& [k, values] : data_)
    if (!values.empty() && (k == key || IsBelow(k, key))) return true;
  return false;
}

std::vector<std::string> TKeyValueStore::ValueNames(const std::string& key) const {
  std::lock_guard guard(mutex_);
  std::vector<std::string> out;
  if (auto k = data_.find(key); k != data_.end())
    for (const auto& [name, value] : k->second) out.push_back(name);
  return out;
}

std::vector<std::string> TKeyValueStore::SubKeys(const std::string& key) const {
  std::lock_guard guard(mutex_);
  std::vector<std::string> out;
  for (const auto& [k, values] : data_) {
    if (values.empty() || !IsBelow(k, key)) continue;
    std::string child = k.substr(key.size() + 1);
    child = child.substr(0, child.find('\\'));
    if (out.empty() || out.back() != child) out.push_back(child);
  }
  return out;
}

void TKeyValueStore::Apply(std::map<std::string, Section>& data, const Change& c) {
  switch (c.kind) {
    case Change::Kind::Set:
      data[c.key][c.name] = c.value;
      break;
    case Change::Kind::DeleteValue:
      if (auto k = data.find(c.key); k != data.end()) k->second.erase(c.name);
      break;
    case Change::Kind::DeleteKey:
      for (auto it = data.begin(); it != data.end();)
        it = (it->first == c.key || IsBelow(it->first, c.key)) ? data.erase(it) : std::next(it);
      break;
  }
}

void TKeyValueStore::Record(Change change) {
  std::lock_guard guard(mutex_);
  Apply(data_, change);
  pending_.push_back(std::move(change));
}

void TKeyValueStore::WriteString(const std::string& key, const std::string& name, const std::string& value) {
  Record({Change::Kind::Set, key, name, value});
}
void TKeyValueStore::WriteInteger(const std::string& key, const std::string& name, int64_t value) {
  WriteString(key, name, std::to_string(value));
}
void TKeyValueStore::WriteBool(const std::string& key, const std::string& name, bool value) {
  WriteString(key, name, value ? "1" : "0");
}
void TKeyValueStore::WriteBinary(const std::string& key, const std::string& name, const std::vector<uint8_t>& value) {
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : value) {
    s.push_back(hex[b >> 4]);
    s.push_back(hex[b & 15]);
  }
  WriteString(key, name, s);
}
void TKeyValueStore::DeleteValue(const std::string& key, const std::string& name) {
  Record({Change::Kind::DeleteValue, key, name, {}});
}
void TKeyValueStore::DeleteKey(const std::string& key) { Record({Change::Kind::DeleteKey, key, {}, {}}); }

bool TKeyValueStore::HasPendingChanges() const {
  std::lock_guard guard(mutex_);
  return !pending_.empty();
}

bool TKeyValueStore::Save(std::string* error) {
  std::lock_guard guard(mutex_);
  TFileLock lock(fs::path(file_) += ".lock", TFileLock::Mode::Exclusive);
  if (!lock.Locked()) {
    if (error) *error = lock.Error();
    return false;
  }
  // Start from what is on disk now, so values other instances saved are kept.
  std::map<std::string, Section> onDisk;
  std::error_code ec;
  if (fs::exists(file_, ec)) {
    std::string text, why;
    if (!ReadWholeFile(file_, text, &why) || !Parse(text, onDisk, &why)) {
      // Keep the damaged file for the user instead of silently dropping it.
      fs::path kept = fs::path(file_) += ".damaged";
      fs::copy_file(file_, kept, fs::copy_options::overwrite_existing, ec);
      onDisk.clear();
    }
  }
  for (const Change& c : pending_) Apply(onDisk, c);
  if (!WriteFileAtomically(file_, Serialize(onDisk), error)) return false;
  data_ = std::move(onDisk);
  pending_.clear();
  return true;
}

}  // namespace vidoria
