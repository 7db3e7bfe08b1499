#pragma once
// Helpers for the media input tests: ffprobe's JSON answer as flat paths, a log
// collector, and small file surgery.

#include "support/TestSupport.h"

#include "app/U_LogConsts.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vidoria::test {

// ffprobe's JSON flattened: {"streams":[{"width":320}]} gives "streams.0.width" = "320".
class ProbeResult {
 public:
  bool Parse(const std::string& json) {
    pos_ = 0;
    text_ = &json;
    values_.clear();
    return Value("") && (SkipWs(), true);
  }
  std::string Get(const std::string& path) const {
    auto it = values_.find(path);
    return it == values_.end() ? std::string() : it->second;
  }
  double Number(const std::string& path) const { return std::atof(Get(path).c_str()); }
  // "25/2" or "4:3" as a number; 0 when absent or invalid.
  double Ratio(const std::string& path) const {
    std::string v = Get(path);
    size_t sep = v.find_first_of("/:");
    if (sep == std::string::npos) return 0;
    double den = std::atof(v.c_str() + sep + 1);
    return den == 0 ? 0 : std::atof(v.substr(0, sep).c_str()) / den;
  }
  // Index of the first stream of a type ("video", "audio"), -1 for none.
  int FirstStream(const std::string& type) const {
    for (int i = 0; !Get("streams." + std::to_string(i) + ".index").empty(); ++i)
      if (Get("streams." + std::to_string(i) + ".codec_type") == type) return i;
    return -1;
  }
  int CountStreams(const std::string& type) const {
    int n = 0;
    for (int i = 0; !Get("streams." + std::to_string(i) + ".index").empty(); ++i)
      n += Get("streams." + std::to_string(i) + ".codec_type") == type;
    return n;
  }

 private:
  void SkipWs() {
    while (pos_ < text_->size() && std::isspace(static_cast<unsigned char>((*text_)[pos_]))) ++pos_;
  }
  bool String(std::string& out) {
    if ((*text_)[pos_] != '"') return false;
    ++pos_;
    while (pos_ < text_->size() && (*text_)[pos_] != '"') {
      char c = (*text_)[pos_++];
      if (c == '\\' && pos_ < text_->size()) c = (*text_)[pos_++];
      out += c;
    }
    return pos_++ < text_->size();
  }
  bool Value(const std::string& path) {
    SkipWs();
    if (pos_ >= text_->size()) return false;
    const std::string prefix = path.empty() ? "" : path + ".";
    char c = (*text_)[pos_];
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      for (int index = 0;; ++index) {
        SkipWs();
        if (pos_ < text_->size() && (*text_)[pos_] == close) return ++pos_, true;
        std::string key = std::to_string(index);
        if (c == '{') {
          key.clear();
          if (!String(key)) return false;
          SkipWs();
          if ((*text_)[pos_++] != ':') return false;
        }
        if (!Value(prefix + key)) return false;
        SkipWs();
        if (pos_ < text_->size() && (*text_)[pos_] == ',') ++pos_;
      }
    }
    std::string v;
    if (c == '"') {
      if (!String(v)) return false;
    } else {
      while (pos_ < text_->size() && std::string(",}] \n\r\t").find((*text_)[pos_]) == std::string::npos)
        v += (*text_)[pos_++];
    }
    values_[path] = v;
    return true;
  }

  const std::string* text_ = nullptr;
  size_t pos_ = 0;
  std::map<std::string, std::string> values_;
};

inline ProbeResult Probe(const std::filesystem::path& file) {
  std::string out;
  RunCommand("ffprobe -v error -of json -show_format -show_streams '" + file.string() + "' 2>/dev/null", &out);
  ProbeResult r;
  r.Parse(out);
  return r;
}

// Collects what an engine object logs.
struct LogCollector {
  struct Entry {
    TSeverity Severity;
    std::string Text;
  };
  std::vector<Entry> Entries;
  TLogCallback Callback() {
    return [this](const void*, TSeverity s, const std::string& text) { Entries.push_back({s, text}); };
  }
  bool Has(TSeverity s, const std::string& part) const {
    for (const auto& e : Entries)
      if (e.Severity == s && e.Text.find(part) != std::string::npos) return true;
    return false;
  }
  std::string All() const {
    std::string all;
    for (const auto& e : Entries) all += std::to_string(e.Severity) + ": " + e.Text + "\n";
    return all;
  }
};

}  // namespace vidoria::test
