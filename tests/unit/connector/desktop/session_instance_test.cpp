// One connector per session: the claim, the record a second start reads, and
// the executables that logon and a command line start.
#include "connector/desktop/session_instance.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "connector/desktop/log_file.h"
#include "connector/utf.h"
#include "tests/unit/connector/desktop/desktop_test_support.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop {
namespace {

using namespace std::chrono_literals;

InstanceNames TestNames(const wchar_t* test) {
  const std::wstring suffix = std::wstring(test) + L"." + std::to_wstring(::GetCurrentProcessId());
  return {L"Local\\VadunaTest.Instance." + suffix, L"Local\\VadunaTest.Record." + suffix};
}

// Claim from a thread of its own: the mutex is the claiming thread's, and taking it again on the same thread
// would succeed.
HRESULT ClaimElsewhere(const InstanceNames& names) {
  HRESULT result = E_FAIL;
  std::thread([&] { result = SessionInstance(names).Claim(); }).join();
  return result;
}

TEST(SessionInstance, OneClaimsAndASecondStartReadsItsRecord) {
  const InstanceNames names = TestNames(L"Claim");
  EXPECT_EQ(std::nullopt, SessionInstance::ReadRunning(names, 0ms));
  SessionInstance first(names);
  EXPECT_EQ(E_UNEXPECTED, first.Publish(12345, L"C:\\logs\\connector.log"));
  ASSERT_EQ(S_OK, first.Claim());
  EXPECT_EQ(S_FALSE, ClaimElsewhere(names));

  std::optional<RunningConnector> running = SessionInstance::ReadRunning(names, 0ms);
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(::GetCurrentProcessId(), running->processId);
  EXPECT_EQ(0, running->port);
  EXPECT_EQ("a connector runs in this session already: process " + std::to_string(::GetCurrentProcessId()) +
                ", not listening yet",
            DescribeRunning(running));

  // A reader that waits sees the port as soon as it is published.
  std::thread publisher([&] {
    ::Sleep(100);
    EXPECT_EQ(S_OK, first.Publish(12345, L"C:\\logs\\connector.log"));
  });
  running = SessionInstance::ReadRunning(names, 10s);
  publisher.join();
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(12345, running->port);
  EXPECT_EQ("a connector runs in this session already: process " + std::to_string(::GetCurrentProcessId()) +
                ", port 12345, log C:\\logs\\connector.log",
            DescribeRunning(running));

  first.Release();
  EXPECT_EQ(std::nullopt, SessionInstance::ReadRunning(names, 0ms));
  EXPECT_EQ(S_OK, ClaimElsewhere(names));
}

TEST(SessionInstance, APlaceAbandonedWithoutReleaseIsFreeAndItsRecordRewritten) {
  const InstanceNames names = TestNames(L"Abandoned");
  SessionInstance ended(names);
  std::thread([&] {
    ASSERT_EQ(S_OK, ended.Claim());
    ASSERT_EQ(S_OK, ended.Publish(12345, L"C:\\old.log"));
  }).join();  // the owning thread ends: the mutex is abandoned, the record stays mapped

  SessionInstance next(names);
  ASSERT_EQ(S_OK, next.Claim());
  const std::optional<RunningConnector> running = SessionInstance::ReadRunning(names, 0ms);
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(0, running->port);  // the new claimant's record: starting
}

WORD Subsystem(const std::wstring& file) {
  std::ifstream image(file.c_str(), std::ios::binary);
  IMAGE_DOS_HEADER dos{};
  image.read(reinterpret_cast<char*>(&dos), sizeof dos);
  if (!image || dos.e_magic != IMAGE_DOS_SIGNATURE) return 0;
  IMAGE_NT_HEADERS64 nt{};
  image.seekg(dos.e_lfanew);
  image.read(reinterpret_cast<char*>(&nt), sizeof nt);
  if (!image || nt.Signature != IMAGE_NT_SIGNATURE) return 0;
  return nt.OptionalHeader.Subsystem;
}

TEST(ConnectorExecutables, LogonStartsAWindowsGuiProgramACommandLineAConsoleOne) {
  EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, Subsystem(test::BinaryFolder() + contract::kConnectorWindowlessFile));
  EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, Subsystem(test::BinaryFolder() + contract::kConnectorFile));
}

TEST(ConnectorExecutables, ASecondStartEndsWith0AndTheWindowlessOneNamesTheRunningOneInItsLog) {
  SessionInstance running;  // the session's place, as the running connector holds it
  ASSERT_EQ(S_OK, running.Claim());
  ASSERT_EQ(S_OK, running.Publish(12345, L"C:\\logs\\connector.log"));

  for (const wchar_t* program : {contract::kConnectorFile, contract::kConnectorWindowlessFile}) {
    DWORD exitCode = 1;
    test::Program(program, L"").Finish(exitCode, 5000);
    EXPECT_EQ(0u, exitCode) << "a second start of " << ToUtf8(program);
  }

  std::ifstream log(LogFile::DefaultPath().c_str(), std::ios::binary);
  std::string line;
  std::string last;
  while (std::getline(log, line)) last = line;
  EXPECT_NE(std::string::npos,
            last.find("a connector runs in this session already: process " + std::to_string(::GetCurrentProcessId()) +
                      ", port 12345, log C:\\logs\\connector.log; this start ends and changes nothing"))
      << last;
}

}  // namespace
}  // namespace vaduna::connector::desktop
