// Where Windows and Wine answer differently, a test names both values in one
// assertion and expects the one of the platform it runs on.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "base/platform.h"

namespace vaduna::test {

using vaduna::RunningUnderWine;

template <class T>
T PlatformValue(T windows, T wine) {
  return RunningUnderWine() ? wine : windows;
}

}  // namespace vaduna::test

// EXPECT_EQ against the value of the running platform; a failure names both.
#define VADUNA_EXPECT_PLATFORM_EQ(actual, windowsValue, wineValue)                          \
  EXPECT_EQ(actual, ::vaduna::test::PlatformValue<decltype(windowsValue)>(windowsValue, wineValue)) \
      << "Windows gives " #windowsValue ", Wine " #wineValue
