#include "platform/MessageFormat.h"

namespace vidoria {

std::string NormalizeFormat(std::string_view format) {
  std::string out;
  out.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    out.push_back(c);
    if (c != '%') continue;
    // Copy flags, width and precision, then translate the conversion letter.
    size_t j = i + 1;
    while (j < format.size() && std::string_view("-+ #0123456789.*").find(format[j]) != std::string_view::npos) {
      out.push_back(format[j]);
      ++j;
    }
    if (j < format.size()) {
      char conv = format[j];
      if (conv == 'x') conv = 'X';
      else if (conv == 'S') conv = 's';
      out.push_back(conv);
    }
    i = j;
  }
  return out;
}

}  // namespace vidoria
