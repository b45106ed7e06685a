// The check that opens a method taking pointer arguments: E_POINTER when
// any of them is null.
#pragma once

#include <windows.h>

namespace vaduna {

template <class... Pointers>
constexpr HRESULT RequirePointers(const Pointers*... pointers) noexcept {
  return ((pointers == nullptr) || ...) ? E_POINTER : S_OK;
}

}  // namespace vaduna

// Returns E_POINTER from the enclosing function when any argument is null.
#define VADUNA_RETURN_IF_NULL(...)                                        \
  do {                                                                    \
    if (FAILED(::vaduna::RequirePointers(__VA_ARGS__))) return E_POINTER; \
  } while (false)
