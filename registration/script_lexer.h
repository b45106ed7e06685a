// The text level of the registry script language: placeholder expansion and
// tokens.
#pragma once

#include <windows.h>

#include <cwchar>

#include "registration/placeholder_table.h"

namespace vaduna {

// One token: at most kMaxTokenUnits units and a NUL.
struct Token {
  static constexpr size_t kCapacity = 4096;
  static constexpr size_t kMaxTokenUnits = kCapacity - 2;
  wchar_t text[kCapacity] = {};

  wchar_t First() const noexcept { return text[0]; }
  bool Is(const wchar_t* word) const noexcept { return ::lstrcmpiW(text, word) == 0; }
  // Unit for unit: lstrcmpW would ignore characters such as a soft hyphen.
  bool IsExactly(const wchar_t* word) const noexcept { return ::wcscmp(text, word) == 0; }
};

// Replaces every %name% of text by its value from table and "%%" by "%".
// The text is expanded once: values are copied as they are. On success
// *expanded is a CoTaskMem string the caller frees.
// E_POINTER for a null text or output; DISP_E_EXCEPTION for an unclosed "%"
// or an unknown name; E_FAIL for a name of 32 units or more; E_OUTOFMEMORY.
HRESULT ExpandPlaceholders(const wchar_t* text, const PlaceholderTable& table,
                           wchar_t** expanded) noexcept;

// Reads tokens from an expanded script, one character step at a time.
class ScriptLexer {
 public:
  explicit ScriptLexer(const wchar_t* text) noexcept : position_(text) {}

  // Reads the next token, bare or in single quotes ("''" inside quotes is one
  // quote). DISP_E_EXCEPTION at the end of the text, for an unterminated
  // quote, or for a token longer than Token::kMaxTokenUnits.
  HRESULT ReadToken(Token& token) noexcept;
  // When token begins with "=", reads the type, the value and the next
  // token into token; otherwise does nothing.
  HRESULT SkipValueClause(Token& token) noexcept;
  // Steps over TAB, LF, CR and SPACE; true when the end of the text follows.
  bool SkipWhiteSpace() noexcept;

  const wchar_t* Position() const noexcept { return position_; }
  void SetPosition(const wchar_t* position) noexcept { position_ = position; }

 private:
  const wchar_t* position_;
};

}  // namespace vaduna
