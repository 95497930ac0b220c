#include "core/log.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "core/error.h"
#include "core/text.h"

namespace OST {

std::atomic<unsigned char> LogEnabled[kLogCategories] = {};

namespace {
int verbosity = 0;
}  // namespace

void ConsoleLogWriter::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Console()) Console()->Out(line);
}

void DefaultConsoleWriter::Out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::unique_ptr<LogWriter>& Logger() {
  static auto* logger = new std::unique_ptr<LogWriter>(std::make_unique<ConsoleLogWriter>());
  return *logger;
}

std::unique_ptr<ConsoleWriter>& Console() {
  static auto* console = new std::unique_ptr<ConsoleWriter>(std::make_unique<DefaultConsoleWriter>());
  return *console;
}

std::string LogNow() {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) OST_THROW(Errno("Could not get system time", "gettimeofday"));
  const int64_t seconds = now.tv_sec;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int year, month, day;
  DaysToDate(days, year, month, day);
  char text[64];
  std::snprintf(text, sizeof text, "%d%02d%02d-%02d%02d%02d.%06d", year, month + 1, day + 1,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60),
                static_cast<int>(now.tv_usec));
  return text;
}

unsigned LogThreadId() {
  return static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()) % 65535) + 10000;
}

void LogDetailedLine(const char* file, int line, const char* function, const std::string& message) {
  auto& logger = Logger();
  if (logger) logger->Write(Format("{} {} {}:{}:{} {}", LogNow(), LogThreadId(), file, line, function, message));
}

void LogShortLine(const std::string& message) {
  auto& logger = Logger();
  if (logger) logger->Write(Format("{} {} {}", LogNow(), LogThreadId(), message));
}

void EnableLogCategory(std::string_view text) {
  for (const std::string& piece : SplitString(text, ",")) {
    if (piece == "ALL") {
      for (auto& enabled : LogEnabled) enabled = 1;
      OST_LOG_ALWAYS("Enabled all log categories");
      continue;
    }
    int category;
    try {
      category = std::stoi(piece);
    } catch (const std::exception& e) {
      OST_THROW(Error(E_INVAL, "Invalid logging category").Add("category", piece).Add("what", e.what()));
    }
    if (category < 0 || category >= kLogCategories) {
      OST_THROW(Error(E_INVAL, "Logging category out of range").Add("category", std::to_string(category)));
    }
    OST_LOG(kLogVerbose1, "Enabled log category {}", category);
    LogEnabled[category] = 1;
  }
}

void IncreaseLogVerbosity() {
  ++verbosity;
  if (verbosity == 1) LogEnabled[kLogVerbose1] = 1;
  if (verbosity == 2) LogEnabled[kLogVerbose2] = 1;
}

}  // namespace OST

namespace OST {
void TEST_ResetLogSwitches() {
  for (auto& enabled : LogEnabled) enabled = 0;
  verbosity = 0;
}
}  // namespace OST
