// The bounds kept outside a page's protocol: the growing, capped delay after
// failing accepts, and the bytes a page that stops reading may leave queued.
#include <gtest/gtest.h>

#include <vector>

#include "connector/accept_backoff.h"
#include "connector/frame_queue.h"

namespace vaduna::connector {
namespace {

using std::chrono::milliseconds;

TEST(Bounds, FailingAcceptsWaitLongerEachTimeUpToTheCapAndNotOnceOneSucceeds) {
  AcceptBackoff backoff;
  std::vector<milliseconds> delays;
  for (int i = 0; i < 9; ++i) delays.push_back(backoff.Failed());
  EXPECT_EQ((std::vector<milliseconds>{milliseconds(10), milliseconds(20), milliseconds(40), milliseconds(80),
                                       milliseconds(160), milliseconds(320), milliseconds(640), kAcceptRetryMax,
                                       kAcceptRetryMax}),
            delays);
  EXPECT_TRUE(backoff.capped());
  backoff.Succeeded();
  EXPECT_FALSE(backoff.capped());
  EXPECT_EQ(kAcceptRetryFirst, backoff.Failed());
}

TEST(Bounds, QueuedFramesStopAtTheBoundAndTheFrameBeingWrittenStays) {
  FrameQueue queue(10);
  EXPECT_TRUE(queue.Push("12345"));
  EXPECT_TRUE(queue.Push("678"));
  EXPECT_FALSE(queue.Push("abc")) << "11 bytes";
  EXPECT_EQ(8u, queue.bytes());
  EXPECT_TRUE(queue.Push("ab"));
  queue.DropWaiting();
  EXPECT_EQ("12345", queue.front());
  EXPECT_EQ(5u, queue.bytes());
  queue.Pop();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(0u, queue.bytes());
  EXPECT_TRUE(queue.Push(std::string(10, 'x')));
}

}  // namespace
}  // namespace vaduna::connector
