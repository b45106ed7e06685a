// Where Windows and Wine answer differently, a test names both values in one
// assertion and expects the one of the platform it runs on.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace vaduna::test {

// True under Wine, whose ntdll exports wine_get_version; Windows' does not.
inline bool RunningUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

template <class T>
T PlatformValue(T windows, T wine) {
  return RunningUnderWine() ? wine : windows;
}

}  // namespace vaduna::test

// EXPECT_EQ against the value of the running platform; a failure names both.
#define VADUNA_EXPECT_PLATFORM_EQ(actual, windowsValue, wineValue)                          \
  EXPECT_EQ(actual, ::vaduna::test::PlatformValue<decltype(windowsValue)>(windowsValue, wineValue)) \
      << "Windows gives " #windowsValue ", Wine " #wineValue
