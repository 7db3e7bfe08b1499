#include "subtitles/U_SrtTagParser.h"

namespace vidoria {
namespace {

std::u32string Trim(std::u32string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= U' ') ++b;
  while (e > b && s[e - 1] <= U' ') --e;
  return std::u32string(s.substr(b, e - b));
}

}  // namespace

TSrtTagFactory::TSrtTagFactory()
    : tags_{std::make_unique<TSrtTagI>(),   std::make_unique<TSrtTagU>(),     std::make_unique<TSrtTagB>(),
            std::make_unique<TSrtTagColor>(), std::make_unique<TSrtTagUI>(),  std::make_unique<TSrtTagUU>(),
            std::make_unique<TSrtTagUB>(),  std::make_unique<TSrtTagSI>(),    std::make_unique<TSrtTagSU>(),
            std::make_unique<TSrtTagSB>(),  std::make_unique<TSrtTagSColor>(), std::make_unique<TSrtTagSUI>(),
            std::make_unique<TSrtTagSUU>(), std::make_unique<TSrtTagSUB>()} {}

TSrtTag* TSrtTagFactory::Take(std::u32string_view& text) {
  if (text.size() < 3 || text[0] != U'<') return nullptr;
  for (auto& tag : tags_)
    if (size_t n = tag->ConsumeView(text)) {
      text.remove_prefix(n);
      return tag.get();
    }
  return nullptr;
}

TSrtTag* TSrtTagFactory::Take(std::u32string& text) {
  std::u32string_view view(text);
  TSrtTag* tag = Take(view);
  if (tag) text.erase(0, text.size() - view.size());
  return tag;
}

char32_t TSrtTagFactory::TakeChar(std::u32string& text) {
  if (text.empty()) return U' ';
  char32_t c = text.front();
  text.erase(0, 1);
  return c;
}

std::u32string StripTags(std::u32string_view text) {
  TSrtTagFactory factory;
  std::u32string kept;
  kept.reserve(text.size());
  while (!text.empty()) {
    if (factory.Take(text)) continue;
    kept.push_back(text.front());
    text.remove_prefix(1);
  }
  return kept;
}

void StripTagsOfLines(std::vector<std::u32string>& lines) {
  for (auto& line : lines) line = StripTags(line);
}

int AnalyseColors(std::u32string_view text, uint32_t& c1, uint32_t& c2, uint32_t& c3) {
  const uint32_t def = c1;
  uint32_t found[3] = {def, def, def};
  int n = 0;
  bool defaultUsed = false;
  // Whether the colour in force is the default, per open colour tag; the bottom entry
  // stands for the text outside every colour tag and is never popped.
  std::vector<bool> isDefault{true};
  TSrtTagFactory factory;
  while (!text.empty()) {
    if (TSrtTag* tag = factory.Take(text)) {
      if (auto* color = dynamic_cast<TSrtTagColor*>(tag)) {
        if (!color->HasColor()) {
          isDefault.push_back(isDefault.back());
          continue;
        }
        isDefault.push_back(false);
        uint32_t c = color->Color();
        bool known = false;
        for (int k = 0; k < n; ++k) known = known || found[k] == c;
        if (!known && n < 3) found[n++] = c;
      } else if (dynamic_cast<TSrtTagSColor*>(tag)) {
        if (isDefault.size() > 1) isDefault.pop_back();
      }
      continue;
    }
    // Blanks draw nothing in the text colour, so only visible characters count.
    if (text.front() > U' ' && isDefault.back()) defaultUsed = true;
    text.remove_prefix(1);
  }
  if (defaultUsed) {
    bool registered = false;
    for (int k = 0; k < n; ++k) registered = registered || found[k] == def;
    if (!registered) {
      // The default colour goes first; with three tag colours already, the third gives way.
      found[2] = found[1];
      found[1] = found[0];
      found[0] = def;
      if (n < 3) ++n;
      if (n < 3) found[n] = def;
    }
  }
  if (n == 0) n = 1;
  c1 = found[0];
  c2 = n > 1 ? found[1] : def;
  c3 = n > 2 ? found[2] : def;
  return n;
}

std::vector<std::u32string> RestoreMarkup(std::vector<std::u32string> source, const std::vector<std::u32string>& plain) {
  TSrtTagFactory factory;
  auto takeTags = [&](std::u32string& s, std::u32string& out) {
    while (TSrtTag* tag = factory.Take(s)) out += tag->ToString();
  };
  for (size_t i = 0; i < plain.size(); ++i) {
    if (i >= source.size()) source.emplace_back();
    std::u32string s = std::move(source[i]);
    const std::u32string& p = plain[i];
    std::u32string line;
    size_t pi = 0;
    while (pi < p.size() && !s.empty()) {
      takeTags(s, line);
      if (s.empty()) break;
      char32_t c = factory.TakeChar(s);
      if (c != p[pi]) s.insert(s.begin(), c);
      line += p[pi++];
      takeTags(s, line);
    }
    line += p.substr(pi);
    // What is left belongs to the next piece; tags at its start open or close styles
    // there, so they go with it.
    std::u32string rest = Trim(s), tags;
    while (TSrtTag* tag = factory.Take(rest)) {
      tags += tag->ToString();
      rest = Trim(rest);
    }
    if (!rest.empty() && i + 1 < plain.size()) {
      source[i] = std::move(line);
      source.insert(source.begin() + static_cast<std::ptrdiff_t>(i + 1), tags + rest);
    } else {
      // Only tags are left (they close what this piece opened), or nothing is left.
      source[i] = line + tags;
    }
  }
  source.resize(plain.size());
  return source;
}

}  // namespace vidoria
