// Tokens and placeholder expansion of registry scripts.
#include "registration/script_lexer.h"

#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"

namespace vaduna {
namespace {

// Reads every token of text; the last entry is the failing result's text.
std::wstring Tokens(const wchar_t* text, HRESULT* end = nullptr) {
  ScriptLexer lexer(text);
  Token token;
  std::wstring joined;
  HRESULT hr;
  while (SUCCEEDED(hr = lexer.ReadToken(token))) joined += L"[" + std::wstring(token.text) + L"]";
  if (end != nullptr) *end = hr;
  return joined;
}

TEST(ScriptLexer, QuotedTokens) {
  HRESULT end = S_OK;
  // A doubled quote inside quotes is one quote; the closing quote ends the
  // token even when the next one follows directly.
  EXPECT_EQ(L"[it's][][x''y][a][b]", Tokens(L"'it''s' '' x''y 'a'b", &end));
  EXPECT_EQ(DISP_E_EXCEPTION, end);
  // Quoted and bare tokens cannot be told apart.
  EXPECT_EQ(L"[{]", Tokens(L"'{'"));

  ScriptLexer lexer(L"'unterminated ''");
  Token token;
  EXPECT_EQ(DISP_E_EXCEPTION, lexer.ReadToken(token));
}

TEST(ScriptLexer, OnlyFourWhiteSpaceCharactersSeparate) {
  EXPECT_EQ(L"[a][b][c][d][e\vf]", Tokens(L"a\tb\nc\r d e\vf"));
  // Braces and "=" written together with other text are part of one token.
  EXPECT_EQ(L"[{}][name=s]", Tokens(L"{} name=s"));
}

TEST(ScriptLexer, EndOfTextWhereATokenIsNeededFails) {
  for (const wchar_t* text : {L"", L" \t\r\n"}) {
    ScriptLexer lexer(text);
    Token token;
    EXPECT_EQ(DISP_E_EXCEPTION, lexer.ReadToken(token));
  }
}

TEST(ScriptLexer, TokenLengthLimit) {
  for (bool quoted : {false, true}) {
    SCOPED_TRACE(quoted ? "quoted" : "bare");
    const std::wstring longest(4094, L'x');
    const std::wstring tooLong(4095, L'x');
    const std::wstring q = quoted ? L"'" : L"";

    std::wstring text = q + longest + q + L" next";
    ScriptLexer accepted(text.c_str());
    Token token;
    ASSERT_EQ(S_OK, accepted.ReadToken(token));
    EXPECT_EQ(longest, token.text);
    ASSERT_EQ(S_OK, accepted.ReadToken(token));
    EXPECT_STREQ(L"next", token.text);

    text = q + tooLong + q;
    ScriptLexer refused(text.c_str());
    EXPECT_EQ(DISP_E_EXCEPTION, refused.ReadToken(token));
  }
}

TEST(ScriptLexer, SkipValueClause) {
  ScriptLexer lexer(L"= s 'a value' next");
  Token token;
  ASSERT_EQ(S_OK, lexer.ReadToken(token));
  ASSERT_EQ(S_OK, lexer.SkipValueClause(token));
  EXPECT_STREQ(L"next", token.text);
  // Not a clause: the token stays and nothing is read.
  ASSERT_EQ(S_OK, lexer.SkipValueClause(token));
  EXPECT_STREQ(L"next", token.text);

  ScriptLexer truncated(L"= s");
  ASSERT_EQ(S_OK, truncated.ReadToken(token));
  EXPECT_EQ(DISP_E_EXCEPTION, truncated.SkipValueClause(token));
}

class Expansion : public ::testing::Test {
 protected:
  // The expanded text, or the failure as "failed 0x..." text.
  std::wstring Expand(const std::wstring& text) {
    wchar_t* out = reinterpret_cast<wchar_t*>(0xdeadbeef);
    const HRESULT hr = ExpandPlaceholders(text.c_str(), table_, &out);
    lastResult_ = hr;
    if (FAILED(hr)) {
      EXPECT_EQ(reinterpret_cast<wchar_t*>(0xdeadbeef), out);
      return L"failed";
    }
    UniqueCoTaskMem<wchar_t> owned(out);
    return owned.get();
  }

  PlaceholderTable table_;
  HRESULT lastResult_ = S_OK;
};

TEST_F(Expansion, PercentSignsAndNames) {
  ASSERT_EQ(S_OK, table_.Add(L"Module", L"\"C:\\it''s.exe\""));
  ASSERT_EQ(S_OK, table_.Add(L"Percent", L"50%Module%"));
  ASSERT_EQ(S_OK, table_.Add(L"module", L"second pair, never found"));

  EXPECT_EQ(L"", Expand(L""));
  EXPECT_EQ(L"100% 'a%b'", Expand(L"100%% 'a%%b'"));
  EXPECT_EQ(L"x='\"C:\\it''s.exe\"'", Expand(L"x='%MODULE%'"));
  // A value is copied as it is, never expanded again.
  EXPECT_EQ(L"50%Module%", Expand(L"%Percent%"));
}

TEST_F(Expansion, Failures) {
  ASSERT_EQ(S_OK, table_.Add(std::wstring(31, L'n').c_str(), L"v"));
  ASSERT_EQ(S_OK, table_.Add(std::wstring(32, L'n').c_str(), L"v"));

  EXPECT_EQ(L"v", Expand(L"%" + std::wstring(31, L'n') + L"%"));
  EXPECT_EQ(L"failed", Expand(L"%" + std::wstring(32, L'n') + L"%"));
  EXPECT_EQ(E_FAIL, lastResult_);
  EXPECT_EQ(L"failed", Expand(L"end %"));
  EXPECT_EQ(DISP_E_EXCEPTION, lastResult_);
  EXPECT_EQ(L"failed", Expand(L"%nnn"));
  EXPECT_EQ(DISP_E_EXCEPTION, lastResult_);
  EXPECT_EQ(L"failed", Expand(L"%unknown%"));
  EXPECT_EQ(DISP_E_EXCEPTION, lastResult_);

  wchar_t* out = reinterpret_cast<wchar_t*>(0xdeadbeef);
  EXPECT_EQ(E_POINTER, ExpandPlaceholders(nullptr, table_, &out));
  EXPECT_EQ(reinterpret_cast<wchar_t*>(0xdeadbeef), out);
  EXPECT_EQ(E_POINTER, ExpandPlaceholders(L"x", table_, nullptr));
}

TEST_F(Expansion, GrowsPastTheFirstCapacity) {
  const std::wstring big(3000, L'v');
  ASSERT_EQ(S_OK, table_.Add(L"Big", big.c_str()));
  EXPECT_EQ(L"<" + big + L"|" + big + L">", Expand(L"<%Big%|%Big%>"));
}

}  // namespace
}  // namespace vaduna
