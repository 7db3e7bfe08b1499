#pragma once
// Windows code-page numbers, which project files store, mapped onto iconv encodings,
// and the decoding of subtitle text into Unicode code points.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

struct TCodePageInfo {
  uint32_t Number;        // Windows code-page number
  const char* IconvName;  // glibc iconv encoding name
  const char* Name;       // name shown to the user
};

// Every code page the program knows, in number order.
std::span<const TCodePageInfo> KnownCodePages();

// The iconv name of a code page, or nullptr when the number is not in the table.
const char* IconvNameOfCodePage(uint32_t codePage);

// The known code pages that this system's iconv can convert from.
std::vector<TCodePageInfo> InstalledCodePages();

// Code pages whose scripts run right to left (Arabic, Hebrew).
bool IsRightToLeftCodePage(uint32_t codePage);

bool IsValidUtf8(std::string_view bytes);

enum class TByteOrderMark : uint8_t { None, Utf8, Utf16LE, Utf16BE };

// The byte-order mark at the start of `bytes`, and its length in `length`.
TByteOrderMark DetectByteOrderMark(std::string_view bytes, size_t* length = nullptr);

// Decodes UTF-8; each malformed sequence becomes U+FFFD.
std::u32string DecodeUtf8(std::string_view bytes);

// Decodes UTF-16 of either byte order. Unpaired surrogates and a dangling odd byte
// become U+FFFD.
std::u32string DecodeUtf16(std::string_view bytes, bool bigEndian);

std::string EncodeUtf8(std::u32string_view text);

// Decodes text in `codePage`. Code page 0 stands for the system's ANSI code page: UTF-8
// when the bytes are valid UTF-8, else Windows-1252. Bytes that do not convert become
// U+FFFD. False (with the reason) when the code page is unknown or cannot be converted
// on this system.
bool DecodeCodePage(std::string_view bytes, uint32_t codePage, std::u32string& out, std::string* error);

// Decodes a whole text file: a byte-order mark chooses its encoding and is removed;
// otherwise DecodeCodePage with `codePage`. `hadBom` tells which of the two happened.
bool DecodeText(std::string_view bytes, uint32_t codePage, std::u32string& out, bool* hadBom, std::string* error);

}  // namespace vidoria
