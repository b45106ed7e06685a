// Cost of calls into the served executable, with the page host's page
// attached: an early-bound call, a late-bound call (name lookup and
// invocation, as a script client makes it), and a GetService + InvokeMethod
// round trip through the page's script. Prints the median of N of each.
//
//   vaduna_call_cost [N]      (default 200)
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "interface/interfaces.h"
#include "base/unique_resource.h"
#include "vaduna_contract.h"

namespace {

using Microsoft::WRL::ComPtr;

double NowMicroseconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// Median duration of `runs` calls of `call` in microseconds; negative when a call failed.
double Median(int runs, const std::function<HRESULT()>& call) {
  std::vector<double> samples;
  for (int i = 0; i < runs; ++i) {
    const double start = NowMicroseconds();
    if (FAILED(call())) return -1;
    samples.push_back(NowMicroseconds() - start);
  }
  std::nth_element(samples.begin(), samples.begin() + runs / 2, samples.end());
  return samples[static_cast<size_t>(runs / 2)];
}

HRESULT LateBound(IDispatch* target, const wchar_t* name, DISPPARAMS* params, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, result, nullptr, nullptr);
}

void Report(const char* what, double microseconds) {
  if (microseconds < 0) {
    std::printf("%-44s failed\n", what);
  } else {
    std::printf("%-44s %9.1f us\n", what, microseconds);
  }
}

int Run(int runs) {
  CLSID clsid;
  if (FAILED(::CLSIDFromProgID(vaduna::contract::kApplicationProgId, &clsid))) {
    std::fprintf(stderr, "the server is not registered\n");
    return 1;
  }
  ComPtr<IDispatch> app;
  HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&app));
  if (FAILED(hr)) {
    std::fprintf(stderr, "creating the application object failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  std::printf("median of %d calls each\n", runs);

  // GetLastErrCode makes no call into the page: the cost of the call alone.
  ComPtr<IVadunaHTMLApplication> early;
  hr = app.As(&early);
  if (SUCCEEDED(hr)) {
    Report("early-bound GetLastErrCode", Median(runs, [&] {
             INT code = 0;
             return early->GetLastErrCode(&code);
           }));
  } else {
    std::printf("%-44s unavailable (0x%08lX)\n", "early-bound GetLastErrCode", static_cast<unsigned long>(hr));
  }
  Report("late-bound GetLastErrCode (lookup + invoke)", Median(runs, [&] {
           DISPPARAMS none{};
           vaduna::UniqueVariant result;
           return LateBound(app.Get(), L"GetLastErrCode", &none, result.put());
         }));

  // The full road: the service from the page, then a query answered by it.
  vaduna::UniqueVariant input, output;
  DISPPARAMS none{};
  if (FAILED(LateBound(app.Get(), L"NewPropertySet", &none, input.put())) ||
      FAILED(LateBound(app.Get(), L"NewPropertySet", &none, output.put())) || input->vt != VT_DISPATCH ||
      output->vt != VT_DISPATCH) {
    std::fprintf(stderr, "no property sets: is the page host running?\n");
    return 1;
  }
  Report("GetService + InvokeMethod(\"Query\")", Median(runs, [&] {
           vaduna::UniqueBstr serviceName(::SysAllocString(L"Account Service"));
           VARIANT nameArg;
           nameArg.vt = VT_BSTR;
           nameArg.bstrVal = serviceName.get();  // borrowed for the call
           DISPPARAMS byName{&nameArg, nullptr, 1, 0};
           vaduna::UniqueVariant service;
           HRESULT callHr = LateBound(app.Get(), L"GetService", &byName, service.put());
           if (FAILED(callHr)) return callHr;
           if (service->vt != VT_DISPATCH || !service->pdispVal) return E_FAIL;
           vaduna::UniqueBstr method(::SysAllocString(L"Query"));
           VARIANT args[3];  // last argument first
           args[0] = *output.get();
           args[1] = *input.get();
           args[2].vt = VT_BSTR;
           args[2].bstrVal = method.get();
           DISPPARAMS invokeArgs{args, nullptr, 3, 0};
           vaduna::UniqueVariant ok;
           callHr = LateBound(service->pdispVal, L"InvokeMethod", &invokeArgs, ok.put());
           if (FAILED(callHr)) return callHr;
           return (ok->vt == VT_BOOL && ok->boolVal == VARIANT_TRUE) ? S_OK : E_FAIL;
         }));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 200;
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int exitCode = Run(runs);
  ::CoUninitialize();
  return exitCode;
}
