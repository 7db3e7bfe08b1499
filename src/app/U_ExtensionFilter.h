#pragma once
// The file types Vidoria accepts, grouped by family, as file-dialog filters and as a
// test for names dropped on the program or given on the command line.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

class TExtensionFilter {
 public:
  enum Flags : unsigned {
    kAllSupportedLine = 1,  // first line: every extension under the all-supported caption
    kAnyFileLine = 2,       // last line: "*.*"
    kGrouped = 4,           // one line per group instead of one per entry
    kPatternsInText = 8,    // " (*.avi; *.mkv)" after each description
  };

  struct Group {
    std::string name;
    int key = 0;
  };
  struct Entry {
    std::string extension;  // without the dot
    std::string description;
    Group* group = nullptr;
  };

  std::string AllSupportedCaption = "All supported files";
  std::string AnyFileCaption = "Any files";

  void Clear();
  // A key of 0 finds the group by name (ignoring case); either way the group takes the
  // given name and key.
  Group& FindOrAddGroup(const std::string& name, int key = 0);
  // The first registration of an extension wins unless `replace` is set.
  void AddEntry(const std::string& extension, const std::string& description, bool replace, Group* group);

  // "caption|*.a; *.b|..." as file dialogs take it, descriptions and patterns sorted.
  std::string BuildFilter(unsigned flags) const;
  // One "description (*.a *.b)" line per filter, as Qt's file dialogs take them.
  std::vector<std::string> BuildQtFilters(unsigned flags) const;
  // Whether the name's extension (after its last dot) matches an entry; '*' and '?' in
  // a registered extension are wildcards.
  bool Matches(std::string_view fileName) const;

  const std::vector<std::unique_ptr<Entry>>& Entries() const { return entries_; }

 private:
  struct Line {
    std::string description;
    std::vector<std::string> patterns;
  };
  std::vector<Line> Lines(unsigned flags, std::vector<std::string>* all) const;

  std::vector<std::unique_ptr<Group>> groups_;
  std::vector<std::unique_ptr<Entry>> entries_;
};

// The video types and the subtitle types the program offers, with their captions passed
// through the active translations.
void FillVideoFilter(TExtensionFilter& filter);
void FillSubtitleFilter(TExtensionFilter& filter);

}  // namespace vidoria
