// Logging: one global writer, switched per category.
//
// A statement carries a category 0..1023 and writes only when that category
// is on; nothing is formatted otherwise. Categories 197 and 198 carry the
// user-facing lines (-v) and use the short line form "time thread message";
// every other category is a debugging one (-D) and uses the detailed form
// "time thread file:line:function message".
//
//   OST_LOG(127, "path={}", path);
//   OST_LOG(197, "Accepted configuration update");
//
// Thread contract: statements are safe from any thread. LogEnabled, Logger()
// and Console() are changed only during start-up (and by tests) while no
// other thread logs.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/format.h"
#include "core/interface.h"

namespace OST {

inline constexpr int kLogCategories = 1024;
inline constexpr int kLogVerbose1 = 197;  // configuration, log file, connections
inline constexpr int kLogVerbose2 = 198;  // start-up and shut-down steps, handshakes
inline constexpr int kLogDroppedErrors = 123;

// One switch per category, all off at program start.
extern std::atomic<unsigned char> LogEnabled[kLogCategories];

class LogWriter : public virtual Interface {
 public:
  // Writes one line; the line comes without a line end.
  virtual void Write(const std::string& line) = 0;
};

class ConsoleWriter : public virtual Interface {
 public:
  virtual void Out(const std::string& text) = 0;
};

// Writes whole lines to Console() under its own mutex.
class ConsoleLogWriter : public NonCopyable, public virtual LogWriter {
 public:
  void Write(const std::string& line) override;

 private:
  std::mutex mutex_;
};

// Standard output, one line per call, flushed.
class DefaultConsoleWriter : public NonCopyable, public virtual ConsoleWriter {
 public:
  void Out(const std::string& text) override;
};

// The current log writer; a ConsoleLogWriter at program start, may be
// replaced or cleared (then nothing is logged). Never destroyed, so detached
// threads may log until the process ends.
std::unique_ptr<LogWriter>& Logger();
// The console used by ConsoleLogWriter and the usage text.
std::unique_ptr<ConsoleWriter>& Console();

// "20240131-080502.000017", UTC.
std::string LogNow();
// A number 10000..75534, stable for the calling thread's life.
unsigned LogThreadId();

// The -D argument: comma-separated category numbers or "ALL". Throws E_INVAL
// "Invalid logging category" / "Logging category out of range"; pieces
// before a failing one stay switched on.
void EnableLogCategory(std::string_view text);
// One -v: the first switches on 197, the second 198.
void IncreaseLogVerbosity();

// Write a line in one of the two forms when a Logger exists (no category test).
void LogDetailedLine(const char* file, int line, const char* function, const std::string& message);
void LogShortLine(const std::string& message);

inline bool LogOn(int category) { return LogEnabled[category].load(std::memory_order_relaxed) != 0; }

}  // namespace OST

#define OST_LOG(category, ...)                                                                    \
  do {                                                                                            \
    if (::OST::LogOn(category) && ::OST::Logger()) {                                              \
      if ((category) == ::OST::kLogVerbose1 || (category) == ::OST::kLogVerbose2)                 \
        ::OST::LogShortLine(::OST::Format(__VA_ARGS__));                                          \
      else                                                                                        \
        ::OST::LogDetailedLine(__FILE_NAME__, __LINE__, __func__, ::OST::Format(__VA_ARGS__));    \
    }                                                                                             \
  } while (0)

// A line in the short form whenever a Logger exists, whatever the categories.
#define OST_LOG_ALWAYS(...)                                         \
  do {                                                              \
    if (::OST::Logger()) ::OST::LogShortLine(::OST::Format(__VA_ARGS__)); \
  } while (0)

namespace OST {
// Test-only: every category off and the -v count back to 0.
void TEST_ResetLogSwitches();
}  // namespace OST
