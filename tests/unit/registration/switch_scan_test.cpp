// The command-line scan for the registration switches.
#include "registration/switch_scan.h"
#include "vaduna_contract.h"

#include <gtest/gtest.h>

namespace vaduna {
namespace {

const std::wstring kProgram = std::wstring(L"\"C:\\Program Files\\Vaduna\\") + contract::kServerFile + L"\"";

SwitchAction Scan(const wchar_t* arguments) {
  const std::wstring line = kProgram + arguments;
  return ScanSwitches(line.c_str());
}

TEST(SwitchScan, SwitchWordsEndingTheCommandLine) {
  EXPECT_EQ(SwitchAction::Register, Scan(L" /RegServer"));
  EXPECT_EQ(SwitchAction::Register, Scan(L" -regserver"));
  EXPECT_EQ(SwitchAction::Unregister, Scan(L" /UnregServer"));
  EXPECT_EQ(SwitchAction::Unregister, Scan(L" -UNREGSERVER"));
  // At the first separator the rest is "RegServer /UnregServer".
  EXPECT_EQ(SwitchAction::Unregister, Scan(L" /RegServer /UnregServer"));
  EXPECT_EQ(SwitchAction::Register, Scan(L" /UnregServer /RegServer"));
}

TEST(SwitchScan, PerUserSwitchWords) {
  EXPECT_EQ(SwitchAction::RegisterPerUser, Scan(L" /RegServerPerUser"));
  EXPECT_EQ(SwitchAction::RegisterPerUser, Scan(L" -regserverperuser"));
  EXPECT_EQ(SwitchAction::UnregisterPerUser, Scan(L" /UnregServerPerUser"));
  EXPECT_EQ(SwitchAction::UnregisterPerUser, Scan(L" -UNREGSERVERPERUSER"));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" /RegServerPerUser /s"));
  EXPECT_EQ(SwitchAction::Diagnose, Scan(L" /Diagnose"));
  EXPECT_EQ(SwitchAction::Diagnose, Scan(L" -diagnose"));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" /RegServerPer"));
}

TEST(SwitchScan, AnythingElseServes) {
  EXPECT_EQ(SwitchAction::Serve, Scan(L""));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" /RegServer /s"));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" /RegServer "));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" RegServer"));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" -Embedding"));
  EXPECT_EQ(SwitchAction::Serve, Scan(L" /"));
  EXPECT_EQ(SwitchAction::Serve, ScanSwitches(nullptr));
  EXPECT_EQ(SwitchAction::Serve, ScanSwitches(L""));
  // A separator inside the program path only gives a position that matches nothing.
  EXPECT_EQ(SwitchAction::Register, ScanSwitches(L"C:\\my-tools\\server.exe -RegServer"));
  EXPECT_EQ(SwitchAction::Serve, ScanSwitches(L"C:\\my-RegServer\\server.exe"));
}

TEST(SwitchScan, NextSwitch) {
  const wchar_t* text = L"a/b-c";
  EXPECT_EQ(text + 2, NextSwitch(text, L"-/"));
  EXPECT_EQ(text + 4, NextSwitch(text + 2, L"-/"));
  EXPECT_EQ(nullptr, NextSwitch(text + 4, L"-/"));
  EXPECT_EQ(nullptr, NextSwitch(nullptr, L"-/"));
  EXPECT_EQ(nullptr, NextSwitch(L"", L"-/"));
}

}  // namespace
}  // namespace vaduna
