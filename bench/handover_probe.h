// The connector's two thread hand-overs of a call, alone: the calling COM
// thread posts to an Asio I/O thread (as the connector posts its call frame to
// the socket's strand), and that thread wakes the caller through a condition
// variable (as the connector's I/O thread does when the reply has come). What
// the platform charges for the connector's design, without a socket or a page.
#pragma once

#include <windows.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

namespace bench {

class HandoverProbe {
 public:
  HandoverProbe();
  ~HandoverProbe();
  HandoverProbe(const HandoverProbe&) = delete;
  HandoverProbe& operator=(const HandoverProbe&) = delete;

  // One hand-over to the I/O thread and back; false if the I/O thread did not answer within 10 s.
  bool RoundTrip();

 private:
  boost::asio::io_context io_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread thread_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE done_ = CONDITION_VARIABLE_INIT;
};

}  // namespace bench
