#include "base/pointer_guard.h"
#include "object_model/errors/error_reporting.h"

#include <wrl/client.h>

#include <utility>

namespace vaduna {
namespace {

constexpr int kDescriptionBufferLength = 1024;
constexpr wchar_t kUnknownError[] = L"Unknown Error";

// A description given as a pointer value of at most 0xFFFF is a message
// number (a null description is number 0).
bool IsMessageNumber(const wchar_t* description) noexcept {
  return reinterpret_cast<ULONG_PTR>(description) <= 0xFFFF;
}

std::optional<std::wstring_view> MessageOfModule(HMODULE module, UINT id) noexcept {
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id / 16 + 1), RT_STRING);
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(module, found);
  if (loaded == nullptr) return std::nullopt;
  const auto* block = static_cast<const WCHAR*>(::LockResource(loaded));
  if (block == nullptr) return std::nullopt;
  return StringTableEntry(block, ::SizeofResource(module, found) / sizeof(WCHAR), id % 16);
}

}  // namespace

std::optional<std::wstring_view> StringTableEntry(const WCHAR* block, size_t units, UINT index) noexcept {
  if (block == nullptr) return std::nullopt;
  size_t at = 0;
  for (UINT entry = 0;; ++entry) {
    if (at >= units) return std::nullopt;
    const size_t length = block[at++];
    if (length > units - at) return std::nullopt;
    if (entry == index) {
      if (length == 0) return std::nullopt;
      return std::wstring_view(block + at, length);
    }
    at += length;
  }
}

std::optional<std::wstring_view> LoadMessageText(UINT id) noexcept {
  // The resource modules searched in turn; the server has only its executable.
  const HMODULE modules[] = {::GetModuleHandleW(nullptr)};
  for (HMODULE module : modules) {
    if (auto text = MessageOfModule(module, id)) return text;
  }
  return std::nullopt;
}

HRESULT PublishErrorInfo(REFCLSID classId, const wchar_t* description, DWORD helpContext,
                         const wchar_t* helpFile, REFIID interfaceId, HRESULT code,
                         HINSTANCE module) noexcept {
  wchar_t loaded[kDescriptionBufferLength];
  if (IsMessageNumber(description)) {
    const UINT number = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(description));
    if (::LoadStringW(module, number, loaded, kDescriptionBufferLength) > 0) {
      description = loaded;
    } else {
      description = kUnknownError;
    }
    if (code == 0) code = static_cast<HRESULT>(0x80040000u | (number & 0xFFFFu));
  }

  Microsoft::WRL::ComPtr<ICreateErrorInfo> record;
  if (SUCCEEDED(::CreateErrorInfo(record.GetAddressOf())) && record) {
    record->SetGUID(interfaceId);
    UniqueCoTaskMem<wchar_t> progId;
    if (SUCCEEDED(::ProgIDFromCLSID(classId, progId.put())) && progId) {
      record->SetSource(progId.get());
    }
    if (helpContext != 0 && helpFile != nullptr) {
      record->SetHelpContext(helpContext);
      record->SetHelpFile(const_cast<LPOLESTR>(helpFile));
    }
    progId.reset();
    record->SetDescription(const_cast<LPOLESTR>(description));
    Microsoft::WRL::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(record.As(&info)) && info) ::SetErrorInfo(0, info.Get());
  }
  return code != 0 ? code : DISP_E_EXCEPTION;
}

HRESULT ErrorState::Record(UINT id, REFCLSID classId, REFIID interfaceId) noexcept {
  UniqueBstr text;
  if (auto message = LoadMessageText(id)) {
    text.reset(::SysAllocStringLen(message->data(), static_cast<UINT>(message->size())));
  }
  // The record gets its own copy: once the text is in the state, another
  // thread's Record may free it.
  UniqueBstr description;
  if (text) description.reset(::SysAllocStringLen(text.get(), ::SysStringLen(text.get())));
  {
    SrwExclusive hold(lock_);
    code_ = static_cast<LONG>(id);
    std::swap(text_, text);  // the old text is freed after the lock is let go
  }
  return PublishErrorInfo(classId, description.get(), 0, nullptr, interfaceId, 0, nullptr);
}

HRESULT ErrorState::GetCode(INT* code) const noexcept {
  VADUNA_RETURN_IF_NULL(code);
  SrwShared hold(lock_);
  *code = code_;
  return S_OK;
}

HRESULT ErrorState::GetText(BSTR* text) const noexcept {
  VADUNA_RETURN_IF_NULL(text);
  SrwShared hold(lock_);
  if (!text_) {
    *text = nullptr;
    return S_OK;
  }
  // A new string per call, byte for byte; the state keeps its own.
  *text = ::SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text_.get()), ::SysStringByteLen(text_.get()));
  return *text == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace vaduna
