#pragma once
// Every user-visible text built by code is looked up here before it is formatted, so a
// language pack can translate it. Without a pack the lookup returns the text itself.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vidoria {

class TTextStorage {
 public:
  // Returns the translation of `text`, or `text` when there is none.
  using Translator = std::function<std::string(std::string_view)>;

  static std::string Lookup(std::string_view text);
  // Installs the active language pack's translator; an empty one restores identity.
  // Safe while other threads look texts up.
  static void SetTranslator(Translator translator);
};

}  // namespace vidoria
