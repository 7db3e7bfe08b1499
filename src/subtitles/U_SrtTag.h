#pragma once
// The markup of text subtitles: italic, underline, bold (and their "not" forms) and a
// text colour, written as HTML-like tags. Each tag kind recognises itself at the start of
// a text, removes itself, and changes the style state kept on a stack while a line is
// drawn.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

enum TFontStyleBit : uint8_t {
  FS_BOLD = 1u << 0,
  FS_ITALIC = 1u << 1,
  FS_UNDERLINE = 1u << 2,
  FS_STRIKEOUT = 1u << 3,
};

struct TSrtTagState {
  uint8_t Style = 0;   // TFontStyleBit flags
  uint32_t Color = 0;  // 0x00RRGGBB

  friend bool operator==(const TSrtTagState&, const TSrtTagState&) = default;
};

// The style states of the tags open at a point of a text. The drawing code sets a base
// entry (the default style) with SetBase; closing tags never pop below it, so a stray
// "</i>" in a subtitle file cannot take the default style away.
class TSrtTagStateStack {
 public:
  TSrtTagStateStack() { items_.reserve(64); }

  void Clear() {
    items_.clear();
    floor_ = 0;
  }
  // Clears the stack and makes `state` its protected bottom entry.
  void SetBase(const TSrtTagState& state) {
    Clear();
    items_.push_back(state);
    floor_ = 1;
  }
  // A new entry that copies the top one (an all-zero entry on an empty stack).
  void Push() { items_.push_back(items_.empty() ? TSrtTagState{} : items_.back()); }
  void Pop() {
    if (items_.size() > floor_) items_.pop_back();
  }
  void SetTop(const TSrtTagState& state) {
    if (!items_.empty()) items_.back() = state;
  }
  // False (and `state` unchanged) when the stack is empty.
  bool GetTop(TSrtTagState& state) const {
    if (items_.empty()) return false;
    state = items_.back();
    return true;
  }
  // The style in force: the top entry, or all-zero when the stack is empty.
  TSrtTagState Top() const { return items_.empty() ? TSrtTagState{} : items_.back(); }
  size_t Count() const { return items_.size(); }

 private:
  std::vector<TSrtTagState> items_;
  size_t floor_ = 0;
};

class TSrtTag {
 public:
  virtual ~TSrtTag() = default;
  // The tag written out, as put back onto lines after line breaking.
  virtual std::u32string ToString() const { return U"\"TAG ERROR!!!\""; }
  // True when `text` starts with this tag.
  virtual bool Matches(std::u32string_view text) const = 0;
  // Length of the tag at the start of `text`, 0 when it is not there; a colour tag keeps
  // the colour it read.
  virtual size_t ConsumeView(std::u32string_view text) = 0;
  // Removes the tag from the start of `text`; false (text unchanged) when it is not there.
  bool Consume(std::u32string& text) {
    size_t n = ConsumeView(text);
    if (n) text.erase(0, n);
    return n != 0;
  }
  virtual void Apply(TSrtTagStateStack& stack) const = 0;
  virtual bool IsOpening() const = 0;
};

// A tag of the form prefix, one letter in either case, ">".
class TSrtLetterTag : public TSrtTag {
 public:
  bool Matches(std::u32string_view text) const override;
  size_t ConsumeView(std::u32string_view text) override { return Matches(text) ? prefix_.size() + 2 : 0; }
  std::u32string ToString() const override;

 protected:
  TSrtLetterTag(std::u32string_view prefix, char32_t letter) : prefix_(prefix), letter_(letter) {}

 private:
  std::u32string_view prefix_;
  char32_t letter_;  // lower case
};

// Opening letter tag: pushes the current state with a style bit set or cleared.
class TSrtStyleTag : public TSrtLetterTag {
 public:
  void Apply(TSrtTagStateStack& stack) const override;
  bool IsOpening() const override { return true; }

 protected:
  TSrtStyleTag(std::u32string_view prefix, char32_t letter, uint8_t bit, bool on)
      : TSrtLetterTag(prefix, letter), bit_(bit), on_(on) {}

 private:
  uint8_t bit_;
  bool on_;
};

// Closing letter tag: pops.
class TSrtCloseTag : public TSrtLetterTag {
 public:
  void Apply(TSrtTagStateStack& stack) const override { stack.Pop(); }
  bool IsOpening() const override { return false; }

 protected:
  TSrtCloseTag(std::u32string_view prefix, char32_t letter) : TSrtLetterTag(prefix, letter) {}
};

class TSrtTagI : public TSrtStyleTag {
 public:
  TSrtTagI() : TSrtStyleTag(U"<", U'i', FS_ITALIC, true) {}
};
class TSrtTagU : public TSrtStyleTag {
 public:
  TSrtTagU() : TSrtStyleTag(U"<", U'u', FS_UNDERLINE, true) {}
};
class TSrtTagB : public TSrtStyleTag {
 public:
  TSrtTagB() : TSrtStyleTag(U"<", U'b', FS_BOLD, true) {}
};
class TSrtTagUI : public TSrtStyleTag {
 public:
  TSrtTagUI() : TSrtStyleTag(U"<!", U'i', FS_ITALIC, false) {}
};
class TSrtTagUU : public TSrtStyleTag {
 public:
  TSrtTagUU() : TSrtStyleTag(U"<!", U'u', FS_UNDERLINE, false) {}
};
class TSrtTagUB : public TSrtStyleTag {
 public:
  TSrtTagUB() : TSrtStyleTag(U"<!", U'b', FS_BOLD, false) {}
};
class TSrtTagSI : public TSrtCloseTag {
 public:
  TSrtTagSI() : TSrtCloseTag(U"</", U'i') {}
};
class TSrtTagSU : public TSrtCloseTag {
 public:
  TSrtTagSU() : TSrtCloseTag(U"</", U'u') {}
};
class TSrtTagSB : public TSrtCloseTag {
 public:
  TSrtTagSB() : TSrtCloseTag(U"</", U'b') {}
};
class TSrtTagSUI : public TSrtCloseTag {
 public:
  TSrtTagSUI() : TSrtCloseTag(U"</!", U'i') {}
};
class TSrtTagSUU : public TSrtCloseTag {
 public:
  TSrtTagSUU() : TSrtCloseTag(U"</!", U'u') {}
};
class TSrtTagSUB : public TSrtCloseTag {
 public:
  TSrtTagSUB() : TSrtCloseTag(U"</!", U'b') {}
};

// <font color="#RRGGBB">. "<font >" without a colour is a tag too: it keeps the colour
// in force, so that its "</font>" still has something to close.
class TSrtTagColor : public TSrtTag {
 public:
  std::u32string ToString() const override;
  bool Matches(std::u32string_view text) const override;
  size_t ConsumeView(std::u32string_view text) override;
  void Apply(TSrtTagStateStack& stack) const override;
  bool IsOpening() const override { return true; }

  bool HasColor() const { return hasColor_; }
  uint32_t Color() const { return color_; }

  // Length of the tag at the start of `text` (0 when there is none), its colour, and
  // whether it names one.
  static size_t Parse(std::u32string_view text, uint32_t& color, bool& hasColor);

 private:
  uint32_t color_ = 0;
  bool hasColor_ = false;
};

class TSrtTagSColor : public TSrtTag {
 public:
  std::u32string ToString() const override { return U"</font>"; }
  bool Matches(std::u32string_view text) const override { return text.starts_with(U"</font>"); }
  size_t ConsumeView(std::u32string_view text) override { return Matches(text) ? 7 : 0; }
  void Apply(TSrtTagStateStack& stack) const override { stack.Pop(); }
  bool IsOpening() const override { return false; }
};

}  // namespace vidoria
