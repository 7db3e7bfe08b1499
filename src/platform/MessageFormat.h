#pragma once
// %-format messages over fmt::sprintf. Our format strings follow Delphi's rules:
// %x prints upper-case hexadecimal and %S is a plain string. A format that does not
// match its arguments (a bad translation, a library text that contains "%") never
// throws: the untranslated format is tried next, then the raw text is returned.

#include <fmt/printf.h>

#include <string>
#include <string_view>

namespace vidoria {

// Rewrites Delphi conventions into printf ones: %x -> %X, %S -> %s. "%%" stays.
std::string NormalizeFormat(std::string_view format);

namespace detail {
template <typename T>
decltype(auto) FormatArg(const T& v) {
  if constexpr (std::is_enum_v<T>) return static_cast<std::underlying_type_t<T>>(v);
  else return (v);
}

template <typename... Args>
bool TrySprintf(std::string_view format, std::string& out, const Args&... args) noexcept {
  try {
    out = fmt::sprintf(NormalizeFormat(format), FormatArg(args)...);
    return true;
  } catch (...) {
    return false;
  }
}
}  // namespace detail

// Formats with the translated format, then the original, then returns the original
// text unformatted.
template <typename... Args>
std::string FormatMessage(std::string_view translated, std::string_view original,
                          const Args&... args) noexcept {
  std::string out;
  if (detail::TrySprintf(translated, out, args...)) return out;
  if (translated != original && detail::TrySprintf(original, out, args...)) return out;
  try {
    return std::string(original);
  } catch (...) {
    return {};
  }
}

template <typename... Args>
std::string SafeFormat(std::string_view format, const Args&... args) noexcept {
  return FormatMessage(format, format, args...);
}

}  // namespace vidoria
