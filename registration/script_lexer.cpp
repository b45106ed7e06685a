#include "registration/script_lexer.h"

#include <cwchar>
#include <string>

#include "base/pointer_guard.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

// A placeholder name of this many units or more is refused (E_FAIL).
constexpr size_t kPlaceholderNameCapacity = 32;

bool IsWhiteSpace(wchar_t c) noexcept { return c == L'\t' || c == L'\n' || c == L'\r' || c == L' '; }

// Units of the character at p, as the platform steps over it.
size_t CharacterUnits(const wchar_t* p) noexcept {
  const wchar_t* next = ::CharNextW(p);
  return next > p ? static_cast<size_t>(next - p) : 1;
}

// A CoTaskMem copy of text, or null without memory.
wchar_t* CoTaskMemCopy(const std::wstring& text) noexcept {
  auto* copy = static_cast<wchar_t*>(::CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy != nullptr) wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

HRESULT ExpandPlaceholders(const wchar_t* text, const PlaceholderTable& table,
                           wchar_t** expanded) noexcept {
  VADUNA_RETURN_IF_NULL(text, expanded);
  return HresultBoundary([&]() -> HRESULT {
    std::wstring out;
    out.reserve(wcslen(text) * 2);
    const wchar_t* p = text;
    while (*p != L'\0') {
      if (*p != L'%') {
        const size_t units = CharacterUnits(p);
        out.append(p, units);
        p += units;
        continue;
      }
      if (p[1] == L'%') {
        out += L'%';
        p += 2;
        continue;
      }
      const wchar_t* name = p + 1;
      const wchar_t* close = *name == L'\0' ? nullptr : wcschr(name, L'%');
      if (close == nullptr) return DISP_E_EXCEPTION;
      const std::wstring nameText(name, close);
      if (nameText.size() >= kPlaceholderNameCapacity) return E_FAIL;
      const bool found = table.Lookup(nameText.c_str(), [&](const wchar_t* value) { out += value; });
      if (!found) return DISP_E_EXCEPTION;
      p = close + 1;
    }
    *expanded = CoTaskMemCopy(out);
    return *expanded != nullptr ? S_OK : E_OUTOFMEMORY;
  });
}

bool ScriptLexer::SkipWhiteSpace() noexcept {
  while (IsWhiteSpace(*position_)) position_ = ::CharNextW(position_);
  return *position_ == L'\0';
}

HRESULT ScriptLexer::ReadToken(Token& token) noexcept {
  token.text[0] = L'\0';
  if (SkipWhiteSpace()) return DISP_E_EXCEPTION;

  size_t stored = 0;
  // Copies units to the token; false when they would pass its limit. The
  // whole character step is checked, not only its first unit.
  auto store = [&](const wchar_t* from, size_t units) noexcept {
    if (stored + units > Token::kMaxTokenUnits) return false;
    wmemcpy(token.text + stored, from, units);
    stored += units;
    token.text[stored] = L'\0';
    return true;
  };

  if (*position_ != L'\'') {
    while (*position_ != L'\0' && !IsWhiteSpace(*position_)) {
      const size_t units = CharacterUnits(position_);
      if (!store(position_, units)) return DISP_E_EXCEPTION;
      position_ += units;
    }
    return S_OK;
  }

  ++position_;
  for (;;) {
    if (*position_ == L'\0') return DISP_E_EXCEPTION;  // unterminated
    if (*position_ == L'\'') {
      if (position_[1] != L'\'') {
        ++position_;
        return S_OK;
      }
      if (!store(position_, 1)) return DISP_E_EXCEPTION;
      position_ += 2;
      continue;
    }
    const size_t units = CharacterUnits(position_);
    if (!store(position_, units)) return DISP_E_EXCEPTION;
    position_ += units;
  }
}

HRESULT ScriptLexer::SkipValueClause(Token& token) noexcept {
  if (token.First() != L'=') return S_OK;
  VADUNA_RETURN_IF_FAILED(ReadToken(token));  // type
  VADUNA_RETURN_IF_FAILED(ReadToken(token));  // value
  return ReadToken(token);
}

}  // namespace vaduna
