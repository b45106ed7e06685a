#include "registration/script_lexer.h"

#include <cwchar>

#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

constexpr size_t kPlaceholderNameCapacity = 32;

bool IsWhiteSpace(wchar_t c) noexcept { return c == L'\t' || c == L'\n' || c == L'\r' || c == L' '; }

// Units of the character at p, as the platform steps over it.
size_t CharacterUnits(const wchar_t* p) noexcept {
  const wchar_t* next = ::CharNextW(p);
  return next > p ? static_cast<size_t>(next - p) : 1;
}

// Growable CoTaskMem text for the expansion.
class ExpansionBuffer {
 public:
  HRESULT Init(size_t textLength) noexcept {
    capacity_ = textLength * 2 < 100 ? 1000 : textLength * 2;
    data_.reset(static_cast<wchar_t*>(::CoTaskMemAlloc(capacity_ * sizeof(wchar_t))));
    if (!data_) return E_OUTOFMEMORY;
    data_.get()[0] = L'\0';
    return S_OK;
  }

  HRESULT Append(const wchar_t* units, size_t count) noexcept {
    if (length_ + count + 1 >= capacity_) {
      size_t capacity = capacity_;
      while (capacity <= length_ + count + 1) capacity *= 2;
      void* grown = ::CoTaskMemRealloc(data_.get(), capacity * sizeof(wchar_t));
      if (grown == nullptr) return E_OUTOFMEMORY;
      data_.release();
      data_.reset(static_cast<wchar_t*>(grown));
      capacity_ = capacity;
    }
    wmemcpy(data_.get() + length_, units, count);
    length_ += count;
    data_.get()[length_] = L'\0';
    return S_OK;
  }

  wchar_t* Release() noexcept { return data_.release(); }

 private:
  UniqueCoTaskMem<wchar_t> data_;
  size_t capacity_ = 0;
  size_t length_ = 0;
};

}  // namespace

HRESULT ExpandPlaceholders(const wchar_t* text, const PlaceholderTable& table,
                           wchar_t** expanded) noexcept {
  if (text == nullptr || expanded == nullptr) return E_POINTER;
  ExpansionBuffer out;
  HRESULT hr = out.Init(wcslen(text));
  if (FAILED(hr)) return hr;

  const wchar_t* p = text;
  while (*p != L'\0') {
    if (*p != L'%') {
      const size_t units = CharacterUnits(p);
      VADUNA_RETURN_IF_FAILED(out.Append(p, units));
      p += units;
      continue;
    }
    if (p[1] == L'%') {
      VADUNA_RETURN_IF_FAILED(out.Append(L"%", 1));
      p += 2;
      continue;
    }
    const wchar_t* name = p + 1;
    const wchar_t* close = *name == L'\0' ? nullptr : wcschr(name, L'%');
    if (close == nullptr) return DISP_E_EXCEPTION;
    const size_t nameLength = static_cast<size_t>(close - name);
    if (nameLength >= kPlaceholderNameCapacity) return E_FAIL;
    wchar_t nameBuffer[kPlaceholderNameCapacity];
    wmemcpy(nameBuffer, name, nameLength);
    nameBuffer[nameLength] = L'\0';
    hr = S_OK;
    const bool found = table.Lookup(nameBuffer, [&](const wchar_t* value) {
      hr = out.Append(value, wcslen(value));
    });
    if (!found) return DISP_E_EXCEPTION;
    VADUNA_RETURN_IF_FAILED(hr);
    p = close + 1;
  }
  *expanded = out.Release();
  return S_OK;
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
