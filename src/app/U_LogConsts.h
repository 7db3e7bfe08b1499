#pragma once
// Severities, log entries and the reporting base of every engine object.

#include "app/C_TextStorage.h"
#include "platform/MessageFormat.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vidoria {

enum TSeverity : uint8_t {
  EVT_INFO = 0,
  EVT_WARNING = 1,
  EVT_ERROR = 2,
  EVT_CRITICAL = 3,
  EVT_FILE = 4,
  EVT_READ = 5,
  EVT_WRITE = 6,
  EVT_UNKNOWN = 7,
  EVT_DEBUG = 8,
};

// Bit n stands for severity n.
using TSeveritySet = uint16_t;
constexpr TSeveritySet SeverityBit(TSeverity s) { return static_cast<TSeveritySet>(1u << s); }
constexpr TSeveritySet kAllSeverities = 0x1FF;
constexpr bool InSet(TSeveritySet set, TSeverity s) { return (set & SeverityBit(s)) != 0; }

enum TLogFileMode : uint8_t {
  LFM_NORMAL = 0,         // the file is rewritten
  LFM_DECORELOGFILE = 1,  // a new, time-stamped file for each run
  LFM_INCREMENTAL = 2,    // this run's lines go on top of the existing file
};

struct TLoggedEvent {
  std::string Text;
  std::chrono::system_clock::time_point Time;
  TSeverity Severity = EVT_INFO;
  int32_t Index = 0;  // entries that existed before this one
};

// (sender, severity, text). The text is already translated and formatted.
using TLogCallback = std::function<void(const void* sender, TSeverity severity, const std::string& text)>;

// Base of every object that reports to the log. Without a callback, reports are dropped.
class TLoggingObject {
 public:
  virtual ~TLoggingObject() = default;

  TLogCallback LogCallback;

  void Log(TSeverity severity, std::string_view text) const {
    if (LogCallback) LogCallback(this, severity, TTextStorage::Lookup(text));
  }

  template <typename... Args>
  void LogFmt(TSeverity severity, std::string_view format, const Args&... args) const {
    if (!LogCallback) return;
    LogCallback(this, severity, FormatMessage(TTextStorage::Lookup(format), format, args...));
  }
};

}  // namespace vidoria
