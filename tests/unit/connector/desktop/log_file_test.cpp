// The log file: whole lines, a cap with one previous file, several threads.
#include "connector/desktop/log_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vaduna::connector::desktop {
namespace {

std::wstring ScratchFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"VadunaTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name;
}

std::string Read(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);  // MinGW's libstdc++ opens wide paths
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void RemoveTree(const std::wstring& folder) {
  // Two levels at most here: the file's folder and its parent.
  for (const std::wstring& dir : {folder + L"\\logs", folder}) {
    for (const wchar_t* name : {L"\\connector.log", L"\\connector.old.log"}) ::DeleteFileW((dir + name).c_str());
    ::RemoveDirectoryW(dir.c_str());
  }
}

TEST(LogFile, TheFileIsCappedAndMovedAsideWithOnePreviousKept) {
  EXPECT_EQ(L"C:\\a\\connector.old.log", LogFile::PreviousPath(L"C:\\a\\connector.log"));
  EXPECT_EQ(L"C:\\a.b\\log.old", LogFile::PreviousPath(L"C:\\a.b\\log"));

  const std::wstring folder = ScratchFolder(L"cap");
  RemoveTree(folder);
  const std::wstring path = folder + L"\\logs\\connector.log";  // neither folder exists yet
  {
    LogFile log(path, 64);
    log.Write("line 1 .......................\n");  // 32 bytes on disk with its \r
    log.Write("line 2 .......................\n");
    EXPECT_EQ("line 1 .......................\r\nline 2 .......................\r\n", Read(path));
    log.Write("line 3 .......................\n");  // would make 96 bytes: the file is moved aside
    EXPECT_EQ("line 3 .......................\r\n", Read(path));
    EXPECT_EQ("line 1 .......................\r\nline 2 .......................\r\n",
              Read(LogFile::PreviousPath(path)));
    log.Write("line 4 .......................\n");
    log.Write("line 5 .......................\n");  // the older previous file goes
    EXPECT_EQ("line 3 .......................\r\nline 4 .......................\r\n",
              Read(LogFile::PreviousPath(path)));

    // A reader that holds the previous file without letting it be replaced: the file starts over instead,
    // so that the cap holds.
    const HANDLE reader = ::CreateFileW(LogFile::PreviousPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    log.Write("line 6 .......................\n");
    log.Write("line 7 .......................\n");
    ::CloseHandle(reader);
    EXPECT_EQ("line 7 .......................\r\n", Read(path));
    EXPECT_EQ("line 3 .......................\r\nline 4 .......................\r\n",
              Read(LogFile::PreviousPath(path)));
  }
  RemoveTree(folder);
}

TEST(LogFile, LinesOfManyThreadsStayWhole) {
  const std::wstring folder = ScratchFolder(L"threads");
  RemoveTree(folder);
  const std::wstring path = folder + L"\\logs\\connector.log";
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  {
    LogFile log(path);
    const auto sink = log.Sink();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&sink, t] {
        for (int i = 0; i < kLines; ++i) {
          sink("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'x') + "\n");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  std::istringstream lines(Read(path));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_TRUE(line.starts_with("thread ")) << line;
    ASSERT_TRUE(line.ends_with(std::string(40, 'x') + "\r")) << line;
  }
  EXPECT_EQ(kThreads * kLines, count);
  RemoveTree(folder);
}

}  // namespace
}  // namespace vaduna::connector::desktop
