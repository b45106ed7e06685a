// The browser page of the demo and of the end-to-end tests. It runs a page
// script in the JScript engine, hands the script's application object to the
// server through AttachAppObject, creates and signals the readiness event,
// and serves the server's calls into the script until it is told to stop.
//
//   vaduna_page_host PAGE.js [--stop-file PATH] [--seconds N]
//
// Prints "page host ready: NAME" once the page can take service calls, and
// "page host stopped" after OnUnload. Stops when PATH exists or after N
// seconds (default 300). Exit code 0, or 1 with a message on standard error.
#include <windows.h>
#include <wrl/client.h>

#include <cwchar>
#include <string>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "tools/page_host/page_script.h"
#include "tools/page_host/script_site.h"
#include "vaduna_contract.h"

namespace {

using Microsoft::WRL::ComPtr;
using page_host::PrintError;
using page_host::PrintLine;

// The global of the page script that holds its script application object.
constexpr const wchar_t* kPageApplicationGlobal = L"pageApplication";
constexpr DWORD kPollMs = 100;

struct Options {
  std::wstring scriptPath;
  std::wstring stopFile;
  DWORD seconds = 300;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--stop-file" && i + 1 < argc) {
      options.stopFile = argv[++i];
    } else if (arg == L"--seconds" && i + 1 < argc) {
      options.seconds = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (options.scriptPath.empty() && arg.rfind(L"--", 0) != 0) {
      options.scriptPath = arg;
    } else {
      return false;
    }
  }
  return !options.scriptPath.empty();
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  ::wsprintfW(text, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// Late-bound call of a method of the server's application object. The page
// host uses its IDispatch half: its marshalling needs no type library.
HRESULT CallMethod(IDispatch* target, const wchar_t* name, VARIANT* argument, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  VADUNA_RETURN_IF_FAILED(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  DISPPARAMS params{argument, nullptr, argument ? 1u : 0u, 0};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr,
                        nullptr);
}

int Fail(const std::wstring& what, HRESULT hr) {
  PrintError(L"page host: " + what + L" failed with " + Hex(hr));
  return 1;
}

bool StopRequested(const Options& options, ULONGLONG deadline) {
  if (::GetTickCount64() >= deadline) return true;
  return !options.stopFile.empty() && ::GetFileAttributesW(options.stopFile.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The server calls into the page's objects through this thread's message
// queue (single-threaded apartment), so the wait must keep pumping.
void PumpUntilStopped(const Options& options) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(options.seconds) * 1000;
  while (!StopRequested(options, deadline)) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_ALLINPUT);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
}

int RunPage(const Options& options) {
  std::wstring code;
  HRESULT hr = page_host::ReadTextFile(options.scriptPath, code);
  if (FAILED(hr)) return Fail(L"reading " + options.scriptPath, hr);

  page_host::PageScript script;
  hr = script.Run(code);
  if (FAILED(hr)) return Fail(L"running the page script", hr);
  ComPtr<IDispatch> pageApp;
  hr = script.GetGlobalObject(kPageApplicationGlobal, pageApp);
  if (FAILED(hr)) return Fail(L"reading the page script's pageApplication", hr);

  // The server only opens the event; it must exist before AttachAppObject.
  vaduna::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, vaduna::contract::kReadyEventName));
  if (!ready) return Fail(L"creating the readiness event", vaduna::HresultFromLastError());

  CLSID clsid;
  hr = ::CLSIDFromProgID(vaduna::contract::kApplicationProgId, &clsid);
  if (FAILED(hr)) return Fail(L"looking up the server's application class", hr);
  ComPtr<IDispatch> serverApp;
  hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&serverApp));
  if (FAILED(hr)) return Fail(L"creating the server's application object", hr);
  VARIANT page;
  page.vt = VT_DISPATCH;
  page.pdispVal = pageApp.Get();  // borrowed for the call
  vaduna::UniqueVariant ignored;
  hr = CallMethod(serverApp.Get(), L"AttachAppObject", &page, ignored.put());
  if (FAILED(hr)) return Fail(L"AttachAppObject", hr);

  vaduna::UniqueVariant name;
  hr = CallMethod(serverApp.Get(), L"Name", nullptr, name.put());
  ::SetEvent(ready.get());
  const bool named = SUCCEEDED(hr) && name->vt == VT_BSTR && name->bstrVal;
  PrintLine(L"page host ready: " + std::wstring(named ? name->bstrVal : L"(no name)"));

  PumpUntilStopped(options);

  ::ResetEvent(ready.get());
  hr = CallMethod(serverApp.Get(), L"OnUnload", nullptr, ignored.put());
  serverApp.Reset();
  pageApp.Reset();
  script.Close();
  if (FAILED(hr)) return Fail(L"OnUnload", hr);
  PrintLine(L"page host stopped");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintError(L"usage: vaduna_page_host PAGE.js [--stop-file PATH] [--seconds N]");
    return 2;
  }
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return Fail(L"CoInitializeEx", hr);
  int exitCode = RunPage(options);
  ::CoUninitialize();
  return exitCode;
}
