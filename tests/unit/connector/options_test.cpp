// The command line: origins as browsers send them, and the values refused.
#include "connector/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace vaduna::connector {
namespace {

std::optional<std::string> Parse(std::vector<const wchar_t*> args, Options& options) {
  args.insert(args.begin(), vaduna::contract::kConnectorFile);
  return ParseOptions(static_cast<int>(args.size()), args.data(), options);
}

TEST(Options, DefaultsAndEveryOption) {
  Options options;
  EXPECT_EQ(std::nullopt, Parse({}, options));
  EXPECT_EQ(vaduna::contract::kConnectorDefaultPort, options.port);
  EXPECT_EQ(30u, options.callTimeoutSeconds);
  EXPECT_EQ(std::nullopt, Parse({L"--port", L"0", L"--allow-origin", L"http://127.0.0.1:8080", L"--allow-origin",
                                 L"HTTPS://Example.COM:443", L"--call-timeout", L"5", L"--verbose", L"--log-format", L"json"},
                                options));
  EXPECT_EQ(0, options.port);
  EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:8080", "https://example.com"}), options.allowedOrigins);
  EXPECT_EQ(5u, options.callTimeoutSeconds);
  EXPECT_TRUE(options.verbose);
  EXPECT_EQ(LogFormat::kJson, options.logFormat);
}

TEST(Options, WrongValuesAreRefusedWithTheReason) {
  Options options;
  for (std::vector<const wchar_t*> wrong :
       {std::vector<const wchar_t*>{L"--port"}, {L"--port", L"65536"}, {L"--port", L"-1"}, {L"--port", L"80x"},
        {L"--call-timeout", L"0"}, {L"--call-timeout", L"3601"}, {L"--allow-origin", L"null"},
        {L"--allow-origin", L"*"}, {L"--log-format", L"xml"}, {L"--log-format"}, {L"--bogus"}}) {
    const auto reason = Parse(wrong, options);
    ASSERT_TRUE(reason.has_value()) << wrong.size();
    EXPECT_FALSE(reason->empty());
  }
}

TEST(Options, OriginsAreNormalisedAsBrowsersSendThemAndAnythingElseIsRefused) {
  EXPECT_EQ("http://127.0.0.1:8080", NormaliseOrigin("http://127.0.0.1:8080"));
  EXPECT_EQ("http://localhost", NormaliseOrigin("http://localhost:80"));
  EXPECT_EQ("https://app.example.com:8443", NormaliseOrigin("HTTPS://App.Example.com:8443"));
  EXPECT_EQ("http://[::1]:3000", NormaliseOrigin("http://[::1]:3000"));
  for (const char* wrong : {"null", "*", "127.0.0.1:8080", "ftp://example.com", "http://", "http://host/",
                            "http://host/path", "http://host:", "http://host:0", "http://host:70000",
                            "http://user@host", "http://host?x", "http://ho st", "http://[::1", "file:///c:/page.html",
                            "http://*.example.com"}) {
    EXPECT_EQ(std::nullopt, NormaliseOrigin(wrong)) << wrong;
  }
}

TEST(Options, NumericHostsInAnotherFormThanBrowsersSendAreRefusedWithTheirForm) {
  struct Case {
    const char* host;
    const char* canonical;  // "" no address; nullptr a host name
  };
  for (const Case& form : {Case{"127.0.0.1", "127.0.0.1"}, {"127.1", "127.0.0.1"}, {"127.0.1", "127.0.0.1"},
                           {"2130706433", "127.0.0.1"}, {"0x7f.0.0.1", "127.0.0.1"}, {"0177.0.0.01", "127.0.0.1"},
                           {"0x7F000001", "127.0.0.1"}, {"127.0.0.1.", "127.0.0.1"}, {"192.168.0.300", ""},
                           {"1.2.3.4.5", ""}, {"4294967296", ""}, {"08.1", ""}, {"1..1", ""},
                           {"localhost", nullptr}, {"app.example", nullptr}, {"1.2.example", nullptr}}) {
    const std::optional<std::string> got = CanonicalIpv4(form.host);
    if (form.canonical == nullptr) {
      EXPECT_EQ(std::nullopt, got) << form.host;
    } else {
      EXPECT_EQ(form.canonical, got.value_or("(a name)")) << form.host;
    }
  }
  Options options;
  EXPECT_EQ("--allow-origin http://127.1:8080: browsers write this address as 127.0.0.1; write --allow-origin "
            "http://127.0.0.1:8080",
            Parse({L"--allow-origin", L"http://127.1:8080"}, options).value_or("accepted"));
  EXPECT_NE(std::nullopt, Parse({L"--allow-origin", L"http://300.1.1.1"}, options));
  EXPECT_EQ(std::nullopt, Parse({L"--allow-origin", L"http://[::1]:8080"}, options));
}

}  // namespace
}  // namespace vaduna::connector
