// The windowless connector's log: whole lines appended to a file, which is
// moved aside as the previous one ("connector.old.log" beside
// "connector.log", replacing an older one) when the next line would take it
// over its cap. Safe from any thread; other processes may read the file, and
// append to it, meanwhile.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/unique_resource.h"
#include "connector/desktop/desktop_limits.h"

namespace vaduna::connector::desktop {

class LogFile {
 public:
  // %LOCALAPPDATA%\<contract::kLogFile>; empty when the folder is unknown.
  static std::wstring DefaultPath();
  // The previous file of path: its name with ".old" before the extension.
  static std::wstring PreviousPath(const std::wstring& path);

  // Creates the file's folder as needed; the file opens with the first line.
  explicit LogFile(std::wstring path, std::uint64_t capBytes = kLogFileCapBytes);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::wstring& path() const noexcept { return path_; }

  // Appends line (UTF-8; a final "\n" is written as "\r\n"). A line that cannot
  // be written is lost, and opening is tried again with the next one.
  void Write(std::string_view line) noexcept;

  // Write as the sink of the connector's Log. The sink must not outlive this.
  std::function<void(std::string_view)> Sink() {
    return [this](std::string_view line) { Write(line); };
  }

 private:
  bool Open() noexcept;
  // Moves the file aside and starts a new one; when it cannot be moved (a
  // reader holds the previous one open without sharing), the file starts
  // over, so that the cap holds either way.
  void Rotate() noexcept;

  const std::wstring path_;
  const std::uint64_t capBytes_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  UniqueHandle file_;  // guarded by lock_
};

}  // namespace vaduna::connector::desktop
