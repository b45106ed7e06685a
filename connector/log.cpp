#include "connector/log.h"

#include <cstdio>

#include "base/unique_resource.h"

namespace vaduna::connector {

namespace {

void WriteToStandardError(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

Log::Log(bool verbose, Sink sink) : verbose_(verbose), sink_(sink ? std::move(sink) : Sink(WriteToStandardError)) {}

void Log::Write(std::string_view text) noexcept {
  try {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    std::string line = stamp;
    line.append(text);
    line.push_back('\n');
    SrwExclusive hold(lock_);
    sink_(line);
  } catch (...) {
    // A line that cannot be written is lost; the event it reports goes on.
  }
}

void Log::Detail(std::string_view text) noexcept {
  if (verbose_) Write(text);
}

std::string HexCode(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace vaduna::connector
