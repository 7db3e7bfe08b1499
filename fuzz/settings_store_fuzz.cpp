// The settings file is edited by hand now and then; whatever it holds must load or be
// refused cleanly, and what loads must write back and parse to the same values.
#include "platform/KeyValueStore.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::map<std::string, vidoria::TKeyValueStore::Section> parsed, again;
  std::string error;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!vidoria::TKeyValueStore::Parse(text, parsed, &error)) return 0;
  std::string written = vidoria::TKeyValueStore::Serialize(parsed);
  if (!vidoria::TKeyValueStore::Parse(written, again, &error)) std::abort();
  // Empty sections are not written, so compare only sections with values.
  for (auto it = parsed.begin(); it != parsed.end();) it = it->second.empty() ? parsed.erase(it) : std::next(it);
  if (again != parsed) std::abort();
  return 0;
}
