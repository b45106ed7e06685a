// What the desktop side's tests share: registry roots of their own for a
// SiteStore, and the build's programs run as child processes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "connector/desktop/site_store.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop::test {

// The keys "user" and "machine" below HKCU\Software\VadunaTest\<name>.<process id>, made for one test and
// deleted after it (test processes run side by side).
class ScratchRoots {
 public:
  explicit ScratchRoots(const std::wstring& name)
      : path_(L"Software\\VadunaTest\\" + name + L"." + std::to_wstring(::GetCurrentProcessId())) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\user").c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, user_.put(), nullptr));
    EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, (path_ + L"\\machine").c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, machine_.put(), nullptr));
  }
  ~ScratchRoots() {
    user_.reset();
    machine_.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  SiteRoots roots() const { return {user_.get(), machine_.get()}; }

  // The machine policy value that allows or forbids the dialog (a DWORD).
  void SetPromptPolicy(DWORD value) const {
    UniqueHkey policy;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(machine_.get(), contract::kPolicyKey, 0, nullptr, 0, KEY_SET_VALUE,
                                               nullptr, policy.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(policy.get(), contract::kPromptPolicyValue, 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&value), sizeof value));
  }

 private:
  const std::wstring path_;
  UniqueHkey user_;
  UniqueHkey machine_;
};

// The build's bin folder, where the test runs from, with a final backslash.
inline std::wstring BinaryFolder() {
  wchar_t self[MAX_PATH];
  std::wstring folder(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// A program of the build's bin folder started with arguments; its standard output is read.
class Program {
 public:
  Program(const std::wstring& file, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write = nullptr;
    EXPECT_TRUE(::CreatePipe(output_.put(), &write, &inherit, 0));
    const UniqueHandle writeEnd(write);
    ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring command = L"\"" + BinaryFolder() + file + L"\" " + arguments;
    STARTUPINFOW startup{sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process));
    process_.reset(process.hProcess);
    ::CloseHandle(process.hThread);
  }

  // Its output once it has ended, and its exit code (STILL_ACTIVE when it did not end within timeoutMs).
  std::string Finish(DWORD& exitCode, DWORD timeoutMs = 30000) {
    exitCode = STILL_ACTIVE;
    if (::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return {};
    ::GetExitCodeProcess(process_.get(), &exitCode);
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(output_.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) output.append(buffer, read);
    return output;
  }

 private:
  UniqueHandle output_;
  UniqueHandle process_;
};

}  // namespace vaduna::connector::desktop::test
