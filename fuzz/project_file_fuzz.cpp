// Project files come from users' disks and mail: any bytes must parse into a valid
// project or be refused, and a parsed project must write and read back the same.
#include "project/U_ProjectFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vidoria::TVideo_segments_collection project, again;
  vidoria::TMenuStorage menu, menuAgain;
  std::string error;
  std::string_view xml(reinterpret_cast<const char*>(data), size);
  if (!vidoria::ParseProject(xml, project, menu, error)) return 0;
  std::string written = vidoria::SerializeProject(project, menu);
  if (!vidoria::ParseProject(written, again, menuAgain, error)) std::abort();
  if (vidoria::SerializeProject(again, menuAgain) != written) std::abort();
  return 0;
}
