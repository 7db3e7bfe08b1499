#include "app/C_TextStorage.h"

#include <mutex>

namespace vidoria {

namespace {
// Readers take a copy of the pointer, so a switch of language while the worker formats
// a message never frees the translator under it.
std::mutex gMutex;
std::shared_ptr<const TTextStorage::Translator> gActive;

std::shared_ptr<const TTextStorage::Translator> Active() {
  std::lock_guard lock(gMutex);
  return gActive;
}
}  // namespace

std::string TTextStorage::Lookup(std::string_view text) {
  auto t = Active();
  if (!t || !*t) return std::string(text);
  try {
    return (*t)(text);
  } catch (...) {
    return std::string(text);
  }
}

void TTextStorage::SetTranslator(Translator translator) {
  std::shared_ptr<const Translator> next;
  if (translator) next = std::make_shared<const Translator>(std::move(translator));
  std::lock_guard lock(gMutex);
  gActive = std::move(next);
}

}  // namespace vidoria
