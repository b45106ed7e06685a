// Test entry: every test process lives in the multithreaded apartment, as
// the server does.
#include <objbase.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int result = RUN_ALL_TESTS();
  if (SUCCEEDED(init)) ::CoUninitialize();
  return result;
}
