#include "connector/desktop/log_file.h"

#include <shlobj.h>

#include "vaduna_contract.h"

namespace vaduna::connector::desktop {

namespace {

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

std::wstring LogFile::DefaultPath() {
  UniqueCoTaskMem<wchar_t> folder;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, folder.put()))) return {};
  return std::wstring(folder.get()) + L"\\" + contract::kLogFile;
}

std::wstring LogFile::PreviousPath(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  const std::size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return path + L".old";
  return path.substr(0, dot) + L".old" + path.substr(dot);
}

LogFile::LogFile(std::wstring path, std::uint64_t capBytes) : path_(std::move(path)), capBytes_(capBytes) {
  const std::wstring folder = FolderOf(path_);
  // Creates every missing level; an existing folder is no failure, and any other one shows when opening.
  if (!folder.empty()) ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
}

bool LogFile::Open() noexcept {
  // Appends atomically at the end, also when another process appends; readers, writers and a rename of the
  // file by another connector's rotation are all let through.
  const HANDLE file = ::CreateFileW(path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_.reset(file);
  return true;
}

void LogFile::Rotate() noexcept {
  file_.reset();
  if (!::MoveFileExW(path_.c_str(), PreviousPath(path_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const HANDLE file =
        ::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  Open();
}

void LogFile::Write(std::string_view line) noexcept {
  try {
    std::string text(line);
    if (!text.empty() && text.back() == '\n' && (text.size() < 2 || text[text.size() - 2] != '\r')) {
      text.insert(text.size() - 1, 1, '\r');
    }
    SrwExclusive hold(lock_);
    if (!file_ && !Open()) return;
    // The size on disk, not a count of our own: another process may have appended or rotated.
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file_.get(), &size) && size.QuadPart > 0 &&
        static_cast<std::uint64_t>(size.QuadPart) + text.size() > capBytes_) {
      Rotate();
      if (!file_) return;
    }
    DWORD written = 0;
    if (!::WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) file_.reset();
  } catch (...) {
    // Out of memory: the line is lost.
  }
}

}  // namespace vaduna::connector::desktop
