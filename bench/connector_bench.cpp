// The cost of a client call through the connector, as a ratio to its
// floors measured in the same process and the same run, and the load for the
// connector's memory check. The bench page (bench/connector-page/) is attached
// through the connector; the echo local server (echo_server.cpp) is
// registered. See BENCHMARKS.md for the method.
//
//   vaduna_connector_bench measure ITERATIONS [WARMUP]
//       Prints "echo endpoint ws://127.0.0.1:PORT/" and waits (60 s at most) for the page's echo socket, then
//       times, one after the other in turn, ITERATIONS times each:
//         the calls      a service's Name and a property set's GetProperty, each one Invoke with a DISPID
//                        looked up before (the server forwards it to the page through the connector);
//         floor 1        the service's GetLastErrCode, the same way (a call that never leaves the server);
//         floor 2        GetIDsOfNames + Invoke on the echo server's object: the two COM round trips the
//                        server makes into the connector, answered at once by a process of the same kind;
//         floor 3        one WebSocket round trip to the page, a call frame out and the page's reply back.
//       and, in the same turn but no floor, a probe of the connector's two thread hand-overs per call
//       (handover_probe.h). Prints each one's median, 10th and 90th percentile, and the ratio of each call to
//       floor 1 + floor 2 + floor 3 (its spread over blocks of iterations).
//   vaduna_connector_bench load CALLS THREADS
//       CALLS calls from THREADS threads, in turn Name, GetProperty and the service's InvokeMethod "Copy"
//       (whose answer is a new page object every time: the connector receives it, the server binds it into
//       the thread's output set and lets the one before go, so its release goes back to the page); prints
//       the time, the rate and the spread of one call. Exit code 1 if any call failed. With "strings", only
//       Name and GetProperty (no page object crosses): to tell the two apart when memory grows.
//   vaduna_connector_bench memory
//       The private bytes (PrivateUsage), working set and handle count of the connector and of the server,
//       their handles by the list's object type index, and the indexes of known kinds (event, thread, ...).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "bench/echo_contract.h"
#include "bench/handover_probe.h"
#include "bench/page_echo.h"
#include "bench/process_memory.h"
#include "bench/samples.h"
#include "vaduna_contract.h"

namespace {

using Microsoft::WRL::ComPtr;
using bench::NowMicroseconds;
using bench::Spread;
using bench::SpreadOf;

// What the bench page answers (bench/connector-page/bench.js).
constexpr wchar_t kServiceName[] = L"Bench Service";
constexpr wchar_t kPropertyName[] = L"Customer";
constexpr wchar_t kPropertyValue[] = L"ACME";
constexpr wchar_t kCopyMethod[] = L"Copy";
// The call frames of floor 3 name object 2: the page's service is its second object (after the application).
constexpr std::uint64_t kServiceObjectId = 2;

void Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
}

HRESULT LookUp(IDispatch* target, const wchar_t* name, DISPID* id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
}

// A late-bound call as a script client makes it: method or property get.
HRESULT InvokeGet(IDispatch* target, DISPID id, VARIANT* args, UINT count, VARIANT* result) {
  DISPPARAMS params{args, nullptr, count, 0};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, result,
                        nullptr, nullptr);
}

HRESULT CallByName(IDispatch* target, const wchar_t* name, VARIANT* args, UINT count, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  const HRESULT hr = LookUp(target, name, &id);
  if (FAILED(hr)) return hr;
  return InvokeGet(target, id, args, count, result);
}

bool IsString(const VARIANT& value, const wchar_t* expected) {
  return value.vt == VT_BSTR && value.bstrVal != nullptr && std::wcscmp(value.bstrVal, expected) == 0;
}

// The objects and member ids of the measured calls, set up once (MTA: usable from every thread).
struct Road {
  ComPtr<IDispatch> app;
  ComPtr<IDispatch> service;
  ComPtr<IDispatch> set;   // a property set of the page, holding kPropertyName = kPropertyValue
  ComPtr<IDispatch> echo;  // the echo server's object, for floor 2
  DISPID nameId = DISPID_UNKNOWN;
  DISPID getPropertyId = DISPID_UNKNOWN;
  DISPID errCodeId = DISPID_UNKNOWN;
  DISPID invokeMethodId = DISPID_UNKNOWN;
  vaduna::UniqueBstr propertyName;
  vaduna::UniqueBstr copyMethod;

  ~Road() {
    // The page's objects first, the application last, as a script client lets go.
    set.Reset();
    service.Reset();
    app.Reset();
    echo.Reset();
  }
};

bool OpenRoad(Road& road, bool withEcho) {
  CLSID clsid;
  HRESULT hr = ::CLSIDFromProgID(vaduna::contract::kApplicationProgId, &clsid);
  if (FAILED(hr)) return Fail("CLSIDFromProgID (is the server registered?)", hr), false;
  hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&road.app));
  if (FAILED(hr)) return Fail("creating the application object", hr), false;

  vaduna::UniqueBstr serviceName(::SysAllocString(kServiceName));
  VARIANT arg = vaduna::BorrowedString(serviceName.get());
  vaduna::UniqueVariant service;
  hr = CallByName(road.app.Get(), L"GetService", &arg, 1, service.put());
  if (hr != S_OK || service->vt != VT_DISPATCH || service->pdispVal == nullptr) {
    return Fail("GetService(\"Bench Service\") (is the bench page attached?)", FAILED(hr) ? hr : E_FAIL), false;
  }
  road.service = service->pdispVal;

  vaduna::UniqueVariant set;
  hr = CallByName(road.app.Get(), L"NewPropertySet", nullptr, 0, set.put());
  if (hr != S_OK || set->vt != VT_DISPATCH || set->pdispVal == nullptr) {
    return Fail("NewPropertySet", FAILED(hr) ? hr : E_FAIL), false;
  }
  road.set = set->pdispVal;
  road.propertyName.reset(::SysAllocString(kPropertyName));
  vaduna::UniqueBstr value(::SysAllocString(kPropertyValue));
  VARIANT setArgs[2] = {vaduna::BorrowedString(value.get()), vaduna::BorrowedString(road.propertyName.get())};
  vaduna::UniqueVariant ignored;
  hr = CallByName(road.set.Get(), L"SetProperty", setArgs, 2, ignored.put());
  if (FAILED(hr)) return Fail("SetProperty", hr), false;

  if (FAILED(hr = LookUp(road.service.Get(), L"Name", &road.nameId)) ||
      FAILED(hr = LookUp(road.service.Get(), L"GetLastErrCode", &road.errCodeId)) ||
      FAILED(hr = LookUp(road.service.Get(), L"InvokeMethod", &road.invokeMethodId)) ||
      FAILED(hr = LookUp(road.set.Get(), L"GetProperty", &road.getPropertyId))) {
    return Fail("looking up the measured members", hr), false;
  }
  road.copyMethod.reset(::SysAllocString(kCopyMethod));
  if (!road.copyMethod) return Fail("allocating a string", E_OUTOFMEMORY), false;
  if (withEcho) {
    hr = ::CoCreateInstance(bench::kEchoClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&road.echo));
    if (FAILED(hr)) return Fail("creating the echo server's object (is it registered?)", hr), false;
  }
  return true;
}

// ---- The measured operations: S_OK, or why the answer is wrong ----

HRESULT CallName(const Road& road) {
  vaduna::UniqueVariant result;
  const HRESULT hr = InvokeGet(road.service.Get(), road.nameId, nullptr, 0, result.put());
  if (FAILED(hr)) return hr;
  return IsString(*result.get(), kServiceName) ? S_OK : E_UNEXPECTED;
}

HRESULT CallGetProperty(const Road& road) {
  VARIANT arg = vaduna::BorrowedString(road.propertyName.get());
  vaduna::UniqueVariant result;
  const HRESULT hr = InvokeGet(road.set.Get(), road.getPropertyId, &arg, 1, result.put());
  if (FAILED(hr)) return hr;
  return IsString(*result.get(), kPropertyValue) ? S_OK : E_UNEXPECTED;
}

// The page's "Copy" fills a fresh output set from the input set: True, and output bound to that new set.
HRESULT CallCopy(const Road& road, IDispatch* output) {
  // Arguments last first: the method, the input set, the output set.
  VARIANT args[3] = {vaduna::BorrowedObject(output), vaduna::BorrowedObject(road.set.Get()),
                     vaduna::BorrowedString(road.copyMethod.get())};
  vaduna::UniqueVariant result;
  const HRESULT hr = InvokeGet(road.service.Get(), road.invokeMethodId, args, 3, result.put());
  if (FAILED(hr)) return hr;
  return result->vt == VT_BOOL && result->boolVal == VARIANT_TRUE ? S_OK : E_UNEXPECTED;
}

HRESULT CallClientFloor(const Road& road) {
  vaduna::UniqueVariant result;
  return InvokeGet(road.service.Get(), road.errCodeId, nullptr, 0, result.put());
}

// What the server's bridge does for each call into the connector: the name looked up, then invoked.
HRESULT CallComFloor(const Road& road) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = LookUp(road.echo.Get(), L"Name", &id);
  if (FAILED(hr)) return hr;
  vaduna::UniqueVariant result;
  hr = InvokeGet(road.echo.Get(), id, nullptr, 0, result.put());
  if (FAILED(hr)) return hr;
  return IsString(*result.get(), bench::kEchoAnswer) ? S_OK : E_UNEXPECTED;
}

// ---- measure ----

struct Kind {
  const char* label;
  std::function<HRESULT()> run;
  std::vector<double> samples;
};

void PrintSpread(const char* label, const Spread& spread) {
  std::printf("%-58s %9.1f %9.1f %9.1f\n", label, spread.median, spread.p10, spread.p90);
}

// Each call's ratio to the sum of the floors: of the medians over all iterations, and its spread over blocks.
void PrintRatio(const char* label, const std::vector<double>& call, const std::vector<const std::vector<double>*>& floors,
                std::size_t block) {
  double sum = 0;
  for (const auto* floor : floors) sum += SpreadOf(*floor).median;
  const double ratio = SpreadOf(call).median / sum;
  std::vector<double> blockRatios;
  for (std::size_t start = 0; start + block <= call.size(); start += block) {
    const auto slice = [&](const std::vector<double>& all) {
      return std::vector<double>(all.begin() + static_cast<std::ptrdiff_t>(start),
                                 all.begin() + static_cast<std::ptrdiff_t>(start + block));
    };
    double blockSum = 0;
    for (const auto* floor : floors) blockSum += SpreadOf(slice(*floor)).median;
    blockRatios.push_back(SpreadOf(slice(call)).median / blockSum);
  }
  const Spread spread = SpreadOf(blockRatios);
  std::printf("ratio %-20s %.3f   (over %zu blocks of %zu: median %.3f, p10 %.3f, p90 %.3f)   goal <= 1.10: %s\n",
              label, ratio, blockRatios.size(), block, spread.median, spread.p10, spread.p90,
              ratio <= 1.10 ? "met" : "NOT met");
}

int Measure(int iterations, int warmup) {
  bench::PageEcho echo;
  std::string error;
  if (!echo.Listen(error)) {
    std::fprintf(stderr, "the echo endpoint cannot listen: %s\n", error.c_str());
    return 1;
  }
  std::printf("echo endpoint ws://127.0.0.1:%u/\n", static_cast<unsigned>(echo.port()));
  std::fflush(stdout);
  if (!echo.Accept(std::chrono::seconds(60), error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  Road road;
  if (!OpenRoad(road, true)) return 1;

  std::uint64_t rid = 0;
  bench::HandoverProbe handover;
  std::vector<Kind> kinds;
  kinds.push_back({"call: service Name", [&] { return CallName(road); }, {}});
  kinds.push_back({"call: property set GetProperty", [&] { return CallGetProperty(road); }, {}});
  kinds.push_back({"floor 1: client round trip (GetLastErrCode)", [&] { return CallClientFloor(road); }, {}});
  kinds.push_back({"floor 2 x2: COM lookup + invoke, echo server", [&] { return CallComFloor(road); }, {}});
  kinds.push_back({"floor 3: WebSocket round trip to the page",
                   [&] { return echo.RoundTrip(++rid, kServiceObjectId) ? S_OK : E_FAIL; }, {}});
  kinds.push_back({"probe: hand-over to an I/O thread and back (no floor)",
                   [&] { return handover.RoundTrip() ? S_OK : E_FAIL; }, {}});
  for (Kind& kind : kinds) kind.samples.reserve(static_cast<std::size_t>(iterations));

  const double started = NowMicroseconds();
  const std::size_t count = kinds.size();
  for (int i = 0; i < warmup + iterations; ++i) {
    // Every iteration times each operation once, starting one further along: none always follows the same one.
    for (std::size_t k = 0; k < count; ++k) {
      Kind& kind = kinds[(static_cast<std::size_t>(i) + k) % count];
      const double start = NowMicroseconds();
      const HRESULT hr = kind.run();
      const double took = NowMicroseconds() - start;
      if (hr != S_OK) {
        std::fprintf(stderr, "%s failed in iteration %d: 0x%08lX\n", kind.label, i, static_cast<unsigned long>(hr));
        return 1;
      }
      if (i >= warmup) kind.samples.push_back(took);
    }
  }
  const double seconds = (NowMicroseconds() - started) / 1e6;
  echo.Close();

  std::printf("%d iterations after %d of warm-up, %.0f s; times in microseconds\n", iterations, warmup, seconds);
  std::printf("%-58s %9s %9s %9s\n", "", "median", "p10", "p90");
  for (const Kind& kind : kinds) PrintSpread(kind.label, SpreadOf(kind.samples));
  const Spread comPair = SpreadOf(kinds[3].samples);
  std::printf("%-58s %9.1f\n", "floor 2: one COM round trip (half of the pair)", comPair.median / 2);
  const double floors = SpreadOf(kinds[2].samples).median + comPair.median + SpreadOf(kinds[4].samples).median;
  std::printf("%-58s %9.1f\n", "floors: 1 + 2 x floor 2 + 3", floors);
  const std::size_t block = std::max<std::size_t>(50, static_cast<std::size_t>(iterations) / 20);
  const std::vector<const std::vector<double>*> floorSamples{&kinds[2].samples, &kinds[3].samples, &kinds[4].samples};
  PrintRatio("Name / floors", kinds[0].samples, floorSamples, block);
  PrintRatio("GetProperty / floors", kinds[1].samples, floorSamples, block);
  // For the runner's breakdown: the medians, one per line.
  const char* const keys[] = {"call_name", "call_getproperty", "floor1", "floor2_pair", "floor3", "handover"};
  for (std::size_t k = 0; k < count; ++k) std::printf("median %s %.1f\n", keys[k], SpreadOf(kinds[k].samples).median);
  return 0;
}

// ---- load ----

int Load(long calls, int threadCount, bool withCopy) {
  Road road;
  if (!OpenRoad(road, false)) return 1;
  std::atomic<long> next{0};
  std::atomic<long> failures{0};
  std::atomic<HRESULT> firstFailure{S_OK};
  std::vector<std::vector<double>> samples(static_cast<std::size_t>(threadCount));
  const double started = NowMicroseconds();
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      {
        // Each thread binds its own output set: the server rebinds it on every Copy.
        vaduna::UniqueVariant output;
        HRESULT hr = CallByName(road.app.Get(), L"NewPropertySet", nullptr, 0, output.put());
        if (hr == S_OK && (output->vt != VT_DISPATCH || output->pdispVal == nullptr)) hr = E_UNEXPECTED;
        if (hr != S_OK && failures++ == 0) firstFailure = hr;
        std::vector<double>& mine = samples[static_cast<std::size_t>(t)];
        for (long n = next++; hr == S_OK && n < calls; n = next++) {
          const double start = NowMicroseconds();
          HRESULT call = S_OK;
          switch (withCopy ? n % 3 : n % 2) {
            case 0: call = CallName(road); break;
            case 1: call = CallGetProperty(road); break;
            default: call = CallCopy(road, output->pdispVal); break;
          }
          mine.push_back(NowMicroseconds() - start);
          if (call != S_OK && failures++ == 0) firstFailure = call;
        }
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = (NowMicroseconds() - started) / 1e6;
  std::vector<double> all;
  for (const auto& mine : samples) all.insert(all.end(), mine.begin(), mine.end());
  const Spread spread = SpreadOf(all);
  std::printf("load: %ld calls (%s in turn) from %d threads in %.1f s, %.0f calls/s; "
              "one call: median %.1f us, p10 %.1f, p90 %.1f; failures %ld",
              calls, withCopy ? "Name, GetProperty, InvokeMethod" : "Name, GetProperty", threadCount, seconds,
              static_cast<double>(calls) / seconds, spread.median, spread.p10, spread.p90, failures.load());
  if (failures.load() != 0) std::printf(" (the first 0x%08lX)", static_cast<unsigned long>(firstFailure.load()));
  std::printf("\n");
  return failures.load() == 0 ? 0 : 1;
}

// ---- memory ----

// The type indexes of the handle list named by handles of known kinds of this process: the list gives only an
// index, and which kind it stands for differs between systems.
void PrintTypeIndexes() {
  vaduna::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  vaduna::UniqueHandle semaphore(::CreateSemaphoreW(nullptr, 0, 1, nullptr));
  vaduna::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
  vaduna::UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId()));
  vaduna::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, ::GetCurrentProcessId()));
  vaduna::UniqueHandle completion(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  vaduna::UniqueHandle timer(::CreateWaitableTimerW(nullptr, TRUE, nullptr));
  vaduna::UniqueHandle pipe(
      ::CreateNamedPipeW(L"\\\\.\\pipe\\vaduna-bench-type", PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr));
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  vaduna::UniqueHandle tokenOwner(token);
  HKEY key = nullptr;
  ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key);
  vaduna::UniqueHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
  std::printf("type indexes:");
  for (const auto& [kind, handle] : {std::pair{"event", event.get()}, std::pair{"semaphore", semaphore.get()},
                                     std::pair{"mutex", mutex.get()}, std::pair{"thread", thread.get()},
                                     std::pair{"process", process.get()}, std::pair{"completion", completion.get()},
                                     std::pair{"timer", timer.get()}, std::pair{"pipe", pipe.get()},
                                     std::pair{"token", token}, std::pair{"key", static_cast<HANDLE>(key)},
                                     std::pair{"section", section.get()}}) {
    std::string ignored;
    const std::optional<unsigned> index = handle != nullptr ? bench::HandleTypeIndex(handle, ignored) : std::nullopt;
    if (index) std::printf(" %s=%u", kind, *index);
  }
  std::printf("\n");
  if (key != nullptr) ::RegCloseKey(key);
}

int Memory() {
  int status = 0;
  for (const auto& [role, exe] : {std::pair{"connector", vaduna::contract::kConnectorFile}, std::pair{"server", vaduna::contract::kServerFile}}) {
    std::string error;
    const std::optional<bench::ProcessMemory> memory = bench::MemoryOfProcess(exe, error);
    if (!memory) {
      std::printf("%s: %s\n", role, error.c_str());
      status = 1;
      continue;
    }
    std::printf("%s pid %lu private_bytes %llu working_set %llu handles %lu\n", role,
                static_cast<unsigned long>(memory->pid), static_cast<unsigned long long>(memory->privateBytes),
                static_cast<unsigned long long>(memory->workingSet), static_cast<unsigned long>(memory->handles));
    std::printf("%s handles by type index:", role);
    for (const auto& [type, count] : memory->handlesByType) {
      std::printf(" %u:%lu", type, static_cast<unsigned long>(count));
    }
    std::printf("\n");
    // The most frequent names among its registry key handles.
    HKEY own = nullptr;
    ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &own);
    std::string ignored;
    const std::optional<unsigned> keyType =
        own != nullptr ? bench::HandleTypeIndex(static_cast<HANDLE>(own), ignored) : std::nullopt;
    if (own != nullptr) ::RegCloseKey(own);
    if (!keyType) continue;
    std::vector<std::pair<DWORD, std::wstring>> names;
    for (const auto& [name, count] : bench::HandleNames(memory->pid, *keyType, ignored)) names.emplace_back(count, name);
    std::sort(names.rbegin(), names.rend());
    for (std::size_t i = 0; i < names.size() && i < 5; ++i) {
      std::printf("%s key handles %lu %ls\n", role, static_cast<unsigned long>(names[i].first), names[i].second.c_str());
    }
  }
  PrintTypeIndexes();
  return status;
}

int Usage() {
  std::fprintf(stderr,
               "usage: vaduna_connector_bench measure ITERATIONS [WARMUP]\n"
               "       vaduna_connector_bench load CALLS THREADS [strings]\n"
               "       vaduna_connector_bench memory\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring mode = argv[1];
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 2;
  if (mode == L"measure" && (argc == 3 || argc == 4)) {
    const int iterations = _wtoi(argv[2]);
    const int warmup = argc == 4 ? _wtoi(argv[3]) : 100;
    status = iterations > 0 && warmup >= 0 ? Measure(iterations, warmup) : Usage();
  } else if (mode == L"load" && (argc == 4 || (argc == 5 && std::wstring(argv[4]) == L"strings"))) {
    const long calls = _wtol(argv[2]);
    const int threads = _wtoi(argv[3]);
    status = calls > 0 && threads > 0 ? Load(calls, threads, argc == 4) : Usage();
  } else if (mode == L"memory" && argc == 2) {
    status = Memory();
  } else {
    status = Usage();
  }
  ::CoUninitialize();
  return status;
}
