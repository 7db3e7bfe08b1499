#include "platform/CodePages.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vidoria {
namespace {

// Sorted by number. Names follow the captions Windows users know.
constexpr std::array kCodePages = {
    TCodePageInfo{437, "IBM437", "OEM - United States"},
    TCodePageInfo{708, "ASMO-708", "Arabic - ASMO"},
    TCodePageInfo{720, "CP720", "Arabic - Transparent ASMO"},
    TCodePageInfo{737, "CP737", "OEM - Greek 437G"},
    TCodePageInfo{775, "CP775", "OEM - Baltic"},
    TCodePageInfo{850, "CP850", "OEM - Multilingual Latin I"},
    TCodePageInfo{852, "CP852", "OEM - Latin II"},
    TCodePageInfo{855, "CP855", "OEM - Cyrillic"},
    TCodePageInfo{857, "CP857", "OEM - Turkish"},
    TCodePageInfo{858, "CP858", "OEM - Multilingual Latin I + Euro"},
    TCodePageInfo{860, "CP860", "OEM - Portuguese"},
    TCodePageInfo{861, "CP861", "OEM - Icelandic"},
    TCodePageInfo{862, "CP862", "OEM - Hebrew"},
    TCodePageInfo{863, "CP863", "OEM - Canadian French"},
    TCodePageInfo{864, "CP864", "OEM - Arabic"},
    TCodePageInfo{865, "CP865", "OEM - Nordic"},
    TCodePageInfo{866, "CP866", "OEM - Russian"},
    TCodePageInfo{869, "CP869", "OEM - Modern Greek"},
    TCodePageInfo{874, "CP874", "ANSI/OEM - Thai"},
    TCodePageInfo{932, "CP932", "ANSI/OEM - Japanese Shift-JIS"},
    TCodePageInfo{936, "CP936", "ANSI/OEM - Simplified Chinese GBK"},
    TCodePageInfo{949, "CP949", "ANSI/OEM - Korean"},
    TCodePageInfo{950, "CP950", "ANSI/OEM - Traditional Chinese Big5"},
    TCodePageInfo{1200, "UTF-16LE", "Unicode UTF-16, little endian"},
    TCodePageInfo{1201, "UTF-16BE", "Unicode UTF-16, big endian"},
    TCodePageInfo{1250, "CP1250", "ANSI - Central European"},
    TCodePageInfo{1251, "CP1251", "ANSI - Cyrillic"},
    TCodePageInfo{1252, "CP1252", "ANSI - Latin I"},
    TCodePageInfo{1253, "CP1253", "ANSI - Greek"},
    TCodePageInfo{1254, "CP1254", "ANSI - Turkish"},
    TCodePageInfo{1255, "CP1255", "ANSI - Hebrew"},
    TCodePageInfo{1256, "CP1256", "ANSI - Arabic"},
    TCodePageInfo{1257, "CP1257", "ANSI - Baltic"},
    TCodePageInfo{1258, "CP1258", "ANSI/OEM - Vietnamese"},
    TCodePageInfo{1361, "JOHAB", "Korean - Johab"},
    TCodePageInfo{10000, "MACINTOSH", "MAC - Roman"},
    TCodePageInfo{10007, "MAC-CYRILLIC", "MAC - Cyrillic"},
    TCodePageInfo{12000, "UTF-32LE", "Unicode UTF-32, little endian"},
    TCodePageInfo{12001, "UTF-32BE", "Unicode UTF-32, big endian"},
    TCodePageInfo{20127, "ASCII", "US-ASCII"},
    TCodePageInfo{20866, "KOI8-R", "Russian - KOI8-R"},
    TCodePageInfo{21866, "KOI8-U", "Ukrainian - KOI8-U"},
    TCodePageInfo{28591, "ISO-8859-1", "ISO 8859-1 Latin I"},
    TCodePageInfo{28592, "ISO-8859-2", "ISO 8859-2 Central Europe"},
    TCodePageInfo{28593, "ISO-8859-3", "ISO 8859-3 Latin 3"},
    TCodePageInfo{28594, "ISO-8859-4", "ISO 8859-4 Baltic"},
    TCodePageInfo{28595, "ISO-8859-5", "ISO 8859-5 Cyrillic"},
    TCodePageInfo{28596, "ISO-8859-6", "ISO 8859-6 Arabic"},
    TCodePageInfo{28597, "ISO-8859-7", "ISO 8859-7 Greek"},
    TCodePageInfo{28598, "ISO-8859-8", "ISO 8859-8 Hebrew: Visual Ordering"},
    TCodePageInfo{28599, "ISO-8859-9", "ISO 8859-9 Latin 5"},
    TCodePageInfo{28603, "ISO-8859-13", "ISO 8859-13 Estonian"},
    TCodePageInfo{28605, "ISO-8859-15", "ISO 8859-15 Latin 9"},
    TCodePageInfo{38598, "ISO-8859-8", "ISO 8859-8 Hebrew: Logical Ordering"},
    TCodePageInfo{50220, "ISO-2022-JP", "ISO 2022 Japanese"},
    TCodePageInfo{51932, "EUC-JP", "EUC - Japanese"},
    TCodePageInfo{51936, "EUC-CN", "EUC - Simplified Chinese"},
    TCodePageInfo{51949, "EUC-KR", "EUC - Korean"},
    TCodePageInfo{54936, "GB18030", "GB18030 Simplified Chinese"},
    TCodePageInfo{65000, "UTF-7", "Unicode UTF-7"},
    TCodePageInfo{65001, "UTF-8", "Unicode UTF-8"},
};

constexpr char32_t kReplacement = 0xFFFD;

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle OpenToUtf32(const char* from) {
  iconv_t cd = iconv_open("UTF-32LE", from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return IconvHandle(cd);
}

void AppendUtf32LE(const char* p, size_t n, std::u32string& out) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    auto b = reinterpret_cast<const unsigned char*>(p + i);
    out.push_back(char32_t(b[0]) | char32_t(b[1]) << 8 | char32_t(b[2]) << 16 | char32_t(b[3]) << 24);
  }
}

bool Convert(std::string_view bytes, const char* from, std::u32string& out, std::string* error) {
  IconvHandle cd = OpenToUtf32(from);
  if (!cd) {
    if (error) *error = std::string("cannot convert from ") + from + ": " + std::strerror(errno);
    return false;
  }
  out.clear();
  out.reserve(bytes.size());
  // iconv wants non-const input pointers; it does not write through them.
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t r = iconv(static_cast<iconv_t>(cd.get()), &in, &inLeft, &outPtr, &outLeft);
    int err = errno;
    AppendUtf32LE(buffer, sizeof buffer - outLeft, out);
    if (r != static_cast<size_t>(-1)) continue;
    if (err == E2BIG) continue;
    // A byte that does not convert, or a sequence cut off at the end of the text:
    // mark it and go on with the next byte.
    out.push_back(kReplacement);
    ++in;
    --inLeft;
    iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state (stateful encodings such as ISO-2022-JP).
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, &outPtr, &outLeft);
  AppendUtf32LE(buffer, sizeof buffer - outLeft, out);
  return true;
}

// Decodes one UTF-8 sequence at `i`; returns its length, or 0 when it is malformed.
size_t Utf8Sequence(std::string_view s, size_t i, char32_t& cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::span<const TCodePageInfo> KnownCodePages() { return kCodePages; }

const char* IconvNameOfCodePage(uint32_t codePage) {
  auto it = std::lower_bound(kCodePages.begin(), kCodePages.end(), codePage,
                             [](const TCodePageInfo& e, uint32_t n) { return e.Number < n; });
  return it != kCodePages.end() && it->Number == codePage ? it->IconvName : nullptr;
}

std::vector<TCodePageInfo> InstalledCodePages() {
  std::vector<TCodePageInfo> result;
  for (const auto& cp : kCodePages)
    if (OpenToUtf32(cp.IconvName)) result.push_back(cp);
  return result;
}

bool IsRightToLeftCodePage(uint32_t codePage) {
  static constexpr uint32_t kRtl[] = {708,   709,   710,   720,   862,   864,   1255,  1256,
                                      10004, 10005, 20420, 20424, 20838, 28596, 28598, 38598};
  return std::find(std::begin(kRtl), std::end(kRtl), codePage) != std::end(kRtl);
}

bool IsValidUtf8(std::string_view bytes) {
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = Utf8Sequence(bytes, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

TByteOrderMark DetectByteOrderMark(std::string_view bytes, size_t* length) {
  TByteOrderMark bom = TByteOrderMark::None;
  size_t len = 0;
  if (bytes.starts_with("\xEF\xBB\xBF")) bom = TByteOrderMark::Utf8, len = 3;
  else if (bytes.starts_with("\xFF\xFE")) bom = TByteOrderMark::Utf16LE, len = 2;
  else if (bytes.starts_with("\xFE\xFF")) bom = TByteOrderMark::Utf16BE, len = 2;
  if (length) *length = len;
  return bom;
}

std::u32string DecodeUtf8(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = Utf8Sequence(bytes, i, cp);
    if (n == 0) {
      out.push_back(kReplacement);
      ++i;
    } else {
      out.push_back(cp);
      i += n;
    }
  }
  return out;
}

std::u32string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u32string out;
  out.reserve(bytes.size() / 2 + 1);
  size_t units = bytes.size() / 2;
  auto unit = [&](size_t k) -> char16_t {
    auto a = static_cast<unsigned char>(bytes[2 * k]), b = static_cast<unsigned char>(bytes[2 * k + 1]);
    return bigEndian ? char16_t(a << 8 | b) : char16_t(b << 8 | a);
  };
  for (size_t k = 0; k < units; ++k) {
    char16_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
      char16_t low = unit(k + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (low - 0xDC00));
        ++k;
        continue;
      }
    }
    out.push_back(u >= 0xD800 && u <= 0xDFFF ? kReplacement : char32_t(u));
  }
  if (bytes.size() % 2) out.push_back(kReplacement);
  return out;
}

std::string EncodeUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool DecodeCodePage(std::string_view bytes, uint32_t codePage, std::u32string& out, std::string* error) {
  if (codePage == 0) {
    if (IsValidUtf8(bytes)) {
      out = DecodeUtf8(bytes);
      return true;
    }
    codePage = 1252;
  }
  if (codePage == 65001) {
    out = DecodeUtf8(bytes);
    return true;
  }
  const char* name = IconvNameOfCodePage(codePage);
  if (!name) {
    if (error) *error = "unknown code page " + std::to_string(codePage);
    return false;
  }
  return Convert(bytes, name, out, error);
}

bool DecodeText(std::string_view bytes, uint32_t codePage, std::u32string& out, bool* hadBom, std::string* error) {
  size_t bomLength = 0;
  TByteOrderMark bom = DetectByteOrderMark(bytes, &bomLength);
  if (hadBom) *hadBom = bom != TByteOrderMark::None;
  std::string_view body = bytes.substr(bomLength);
  switch (bom) {
    case TByteOrderMark::Utf8: out = DecodeUtf8(body); return true;
    case TByteOrderMark::Utf16LE: out = DecodeUtf16(body, false); return true;
    case TByteOrderMark::Utf16BE: out = DecodeUtf16(body, true); return true;
    case TByteOrderMark::None: break;
  }
  return DecodeCodePage(bytes, codePage, out, error);
}

}  // namespace vidoria
