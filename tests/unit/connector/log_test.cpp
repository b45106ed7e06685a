// Each log event as the sentence people read and as the JSON line programs follow.
#include "connector/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vaduna::connector {
namespace {

struct EventCase {
  std::string event;
  LogFields fields;
  std::string prose;
  std::string json;  // without the time
};

TEST(Log, EveryEventReadsAsASentenceAndAsJson) {
  const std::vector<EventCase> cases = {
      {"listening", {.port = 9000, .ms = 30000, .message = "Svc 1.0"},
       "Svc 1.0 listening on 127.0.0.1:9000, call time-out 30 s",
       R"("event":"listening","ms":30000,"port":9000,"message":"Svc 1.0"})"},
      {"origin_allowed", {.origin = "http://127.0.0.1:8080"}, "pages from http://127.0.0.1:8080 may attach",
       R"("event":"origin_allowed","origin":"http://127.0.0.1:8080"})"},
      {"refused", {.origin = "null", .message = "a page from null, which is not allowed"},
       "refused a page from null, which is not allowed",
       R"("event":"refused","origin":"null","message":"a page from null, which is not allowed"})"},
      {"connected", {.page = 2, .origin = "http://a"}, "page 2 connected from http://a",
       R"("event":"connected","page":2,"origin":"http://a"})"},
      {"replaced", {.page = 3, .previous = 2}, "page 3 replaces page 2", R"("event":"replaced","page":3,"previous":2})"},
      {"attached", {.page = 3}, "page 3 attached to the server", R"("event":"attached","page":3})"},
      {"ended", {.page = 3, .message = "connection ended: \"bye\"\n"}, "page 3 ended: connection ended: \"bye\"\n",
       R"("event":"ended","page":3,"message":"connection ended: \"bye\"\n"})"},
      {"call", {.page = 1, .call = 7, .object = 4, .member = "Name", .kind = "get"},
       "page 1: call 7 Name (get) on object 4",
       R"("event":"call","page":1,"call":7,"object":4,"member":"Name","kind":"get"})"},
      {"answered", {.page = 1, .call = 7, .ms = 12, .result = "0x00000000"}, "page 1: call 7 answered 0x00000000 after 12 ms",
       R"("event":"answered","page":1,"call":7,"result":"0x00000000","ms":12})"},
      {"timed_out", {.page = 1, .call = 8, .member = "Slow"}, "page 1: call 8 (Slow) timed out",
       R"("event":"timed_out","page":1,"call":8,"member":"Slow"})"},
      {"unload_failed", {.result = "0x80004005"}, "OnUnload failed with 0x80004005",
       R"("event":"unload_failed","result":"0x80004005"})"},
      {"stopped", {}, "stopped", R"("event":"stopped"})"},
      {"something_new", {.message = "\x01"}, "something_new", R"("event":"something_new","message":"\u0001"})"},
  };
  for (const EventCase& c : cases) {
    EXPECT_EQ(c.prose, ProseOf(c.event, c.fields)) << c.event;
    EXPECT_EQ(R"({"time":"T",)" + c.json, JsonOf("T", c.event, c.fields)) << c.event;
  }
}

TEST(Log, TheFormatChoosesTheLineAndDetailsNeedVerbose) {
  std::vector<std::string> lines;
  const auto sink = [&lines](std::string_view line) { lines.emplace_back(line); };
  Log json(false, sink, LogFormat::kJson);
  json.Write("attached", {.page = 5});
  json.Detail("call", {.page = 5});
  Log prose(true, sink);
  prose.Detail("attached", {.page = 5});
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u, lines[0].find(R"({"time":")"));
  EXPECT_NE(std::string::npos, lines[0].find(R"(Z","event":"attached","page":5}
)"));
  EXPECT_EQ(" page 5 attached to the server\n", lines[1].substr(12));  // after "hh:mm:ss.mmm"
}

}  // namespace
}  // namespace vaduna::connector
