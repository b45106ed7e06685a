#include "connector/log.h"

#include <cstdio>

#include "base/unique_resource.h"

namespace vaduna::connector {

namespace {

void WriteToStandardError(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string LocalStamp() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
  return stamp;
}

// UTC, so that lines of processes in different time zones (Wine's and the host's) compare.
std::string UtcStamp() {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return stamp;
}

}  // namespace

Log::Log(bool verbose, Sink sink, LogFormat format)
    : verbose_(verbose), format_(format), sink_(sink ? std::move(sink) : Sink(WriteToStandardError)) {}

void Log::Write(std::string_view event, const LogFields& fields) noexcept {
  try {
    std::string line = format_ == LogFormat::kJson ? JsonOf(UtcStamp(), event, fields)
                                                   : LocalStamp() + " " + ProseOf(event, fields);
    line.push_back('\n');
    SrwExclusive hold(lock_);
    sink_(line);
  } catch (...) {
    // A line that cannot be written is lost; the event it reports goes on.
  }
}

void Log::Detail(std::string_view event, const LogFields& fields) noexcept {
  if (verbose_) Write(event, fields);
}

std::string HexCode(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace vaduna::connector
