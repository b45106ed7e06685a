// Load on the served executable with a page attached: THREADS threads of
// the multithreaded apartment, each with its own application object, each
// running rounds of mixed late-bound calls through IDispatch until it has
// made at least CALLS calls. Every answer is checked.
//
//   vaduna_load_client THREADS CALLS [NAME]
//   vaduna_load_client --server-usage
//
// One round (25 calls), on the page's "Account Service":
//   GetService("Account Service"); NewPropertySet (input); SetProperty
//   "Customer" = "ACME" and "Tag" = a tag unique to the round; GetProperty
//   "Tag"; NewPropertySet (output); InvokeMethod("Query") -> True; the
//   output's GetType "AccountList", GetChildCount 2, GetChild(0) and
//   GetChild(1) with their "Id"s A-1001 and A-1002; Copy of the output and
//   the copy's GetChildCount 2; InvokeMethod("Echo", input, copy) -> True and
//   the copy's "Tag" (the copy now stands for the input's page set);
//   GetService("Payroll Service") -> S_OK with a null object, GetLastErrCode
//   203; then the release of each of the six objects the round obtained,
//   checked to leave no reference of this process on it (the service: at
//   most one per other thread, which obtain the same one).
// A thread's activation of its application object and its release count as
// two more calls.
//
// Prints one line per failed check (at most 20) and the summary
//   load NAME: threads T, calls C, failures F, seconds S, calls/s R
// Exit code 0 when every check held, 1 otherwise.
//
// --server-usage reads the server process of this Wine prefix (found by its
// executable's name) once a second until nine readings in a row agree (at
// most 60 s) and prints the last one:
//   server pid P threads T handles H private_bytes B settled after S s (SOURCES)
// ("unsettled after 60 s" when they never agreed); exit code 0, or 1 when
// there is not exactly one such process or a figure cannot be read.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <barrier>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_resource.h"
#include "base/variant_builders.h"
#include "vaduna_contract.h"

namespace {

using Microsoft::WRL::ComPtr;
using vaduna::BorrowedObject;
using vaduna::BorrowedString;
using vaduna::Int32Value;
using vaduna::UniqueBstr;
using vaduna::UniqueHandle;
using vaduna::UniqueVariant;

constexpr wchar_t kService[] = L"Account Service";
constexpr wchar_t kUnknownService[] = L"Payroll Service";
constexpr int kNoServiceCode = 203;
constexpr int kCallsPerRound = 25;
constexpr int kMaxReportedFailures = 20;

double NowSeconds() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
  return out;
}

// What an answer held, for a failure's line.
std::wstring Describe(HRESULT hr, const VARIANT& value) {
  wchar_t text[96];
  std::swprintf(text, 96, L"hr 0x%08lX vt %u", static_cast<unsigned long>(hr), value.vt);
  std::wstring out = text;
  if (value.vt == VT_BSTR) out += L" \"" + std::wstring(value.bstrVal ? value.bstrVal : L"") + L"\"";
  if (value.vt == VT_I4) out += L" " + std::to_wstring(value.lVal);
  if (value.vt == VT_INT) out += L" " + std::to_wstring(value.intVal);
  if (value.vt == VT_BOOL) out += value.boolVal ? L" true" : L" false";
  if (value.vt == VT_DISPATCH) out += value.pdispVal ? L" object" : L" null object";
  return out;
}

// The failures of all threads of this process.
class FailureLog {
 public:
  void Add(const std::wstring& line) {
    std::lock_guard hold(mutex_);
    if (++count_ <= kMaxReportedFailures) std::printf("FAIL %s\n", Narrow(line).c_str());
  }
  long Count() {
    std::lock_guard hold(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  long count_ = 0;
};

// One thread's calls: each late-bound call is a name lookup and an
// invocation, counted as one call, as is each release of an object.
class Caller {
 public:
  Caller(FailureLog& failures, int thread, int threads) : failures_(failures), thread_(thread), threads_(threads) {}

  long calls() const { return calls_; }
  void CountActivation() { ++calls_; }
  void SetRound(int round) { round_ = round; }

  // Invokes member `name` of target with args (first argument first).
  HRESULT Call(IDispatch* target, const wchar_t* name, std::initializer_list<VARIANT> args, VARIANT* result) {
    ::VariantInit(result);
    if (target == nullptr) return E_POINTER;  // an earlier failure left nothing to call: no call made
    ++calls_;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.begin(), args.end());  // DISPPARAMS holds the last argument first
    std::reverse(reversed.begin(), reversed.end());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO exception{};
    hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, &exception, nullptr);
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return hr;
  }

  // A call that must answer the string `expected`.
  void ExpectString(const wchar_t* label, IDispatch* target, const wchar_t* name,
                    std::initializer_list<VARIANT> args, const std::wstring& expected) {
    UniqueVariant result;
    const HRESULT hr = Call(target, name, args, result.put());
    if (hr == S_OK && result->vt == VT_BSTR && expected == (result->bstrVal ? result->bstrVal : L"")) return;
    Fail(label, Describe(hr, *result.get()), L"\"" + expected + L"\"");
  }

  void ExpectTrue(const wchar_t* label, IDispatch* target, const wchar_t* name,
                  std::initializer_list<VARIANT> args) {
    UniqueVariant result;
    const HRESULT hr = Call(target, name, args, result.put());
    if (hr == S_OK && result->vt == VT_BOOL && result->boolVal == VARIANT_TRUE) return;
    Fail(label, Describe(hr, *result.get()), L"true");
  }

  void ExpectNumber(const wchar_t* label, IDispatch* target, const wchar_t* name, LONG expected) {
    UniqueVariant result;
    const HRESULT hr = Call(target, name, {}, result.put());
    if (hr == S_OK && ((result->vt == VT_I4 && result->lVal == expected) ||
                       (result->vt == VT_INT && result->intVal == expected)))
      return;
    Fail(label, Describe(hr, *result.get()), std::to_wstring(expected));
  }

  // A call that must answer an object; it is handed to `object`.
  bool ExpectObject(const wchar_t* label, IDispatch* target, const wchar_t* name,
                    std::initializer_list<VARIANT> args, ComPtr<IDispatch>& object) {
    UniqueVariant result;
    const HRESULT hr = Call(target, name, args, result.put());
    if (hr == S_OK && result->vt == VT_DISPATCH && result->pdispVal != nullptr) {
      *object.ReleaseAndGetAddressOf() = result.release().pdispVal;  // the answer's reference passes to object
      return true;
    }
    Fail(label, Describe(hr, *result.get()), L"an object");
    return false;
  }

  // Gives back this thread's only reference to an object it obtained. The
  // release must leave no reference of this process on it, or, for an object
  // that all threads of the process obtain (the service: one wrapper, one
  // proxy), at most two per other thread: its own, and one the runtime may
  // hold for that thread's call on it under way (seen under Wine). A leak of
  // one reference a round would pass that bound within a few rounds.
  void Release(const wchar_t* label, ComPtr<IDispatch>& object, bool sharedByThreads = false) {
    if (!object) return;
    ++calls_;
    const ULONG allowed = sharedByThreads ? static_cast<ULONG>(2 * (threads_ - 1)) : 0;
    const ULONG left = object.Detach()->Release();
    if (left > allowed) Fail(label, L"count " + std::to_wstring(left) + L" left", L"at most " + std::to_wstring(allowed));
  }

  void Fail(const wchar_t* label, const std::wstring& got, const std::wstring& expected) {
    failures_.Add(L"thread " + std::to_wstring(thread_) + L" round " + std::to_wstring(round_) + L" " + label +
                  L": got " + got + L", expected " + expected);
  }

 private:
  FailureLog& failures_;
  int thread_;
  int threads_;
  int round_ = -1;
  long calls_ = 0;
};

// One round of mixed calls through app (see the top of the file).
void Round(Caller& c, IDispatch* app, const std::wstring& tag) {
  UniqueBstr serviceName(::SysAllocString(kService));
  UniqueBstr unknownName(::SysAllocString(kUnknownService));
  UniqueBstr customerName(::SysAllocString(L"Customer"));
  UniqueBstr customer(::SysAllocString(L"ACME"));
  UniqueBstr tagName(::SysAllocString(L"Tag"));
  UniqueBstr tagValue(::SysAllocString(tag.c_str()));
  UniqueBstr idName(::SysAllocString(L"Id"));
  UniqueBstr query(::SysAllocString(L"Query"));
  UniqueBstr echo(::SysAllocString(L"Echo"));

  ComPtr<IDispatch> service, input, output, child0, child1, copy;
  c.ExpectObject(L"GetService", app, L"GetService", {BorrowedString(serviceName.get())}, service);
  c.ExpectObject(L"NewPropertySet (input)", app, L"NewPropertySet", {}, input);
  c.ExpectTrue(L"SetProperty Customer", input.Get(), L"SetProperty",
               {BorrowedString(customerName.get()), BorrowedString(customer.get())});
  c.ExpectTrue(L"SetProperty Tag", input.Get(), L"SetProperty",
               {BorrowedString(tagName.get()), BorrowedString(tagValue.get())});
  c.ExpectString(L"GetProperty Tag", input.Get(), L"GetProperty", {BorrowedString(tagName.get())}, tag);
  c.ExpectObject(L"NewPropertySet (output)", app, L"NewPropertySet", {}, output);
  c.ExpectTrue(L"InvokeMethod Query", service.Get(), L"InvokeMethod",
               {BorrowedString(query.get()), BorrowedObject(input.Get()), BorrowedObject(output.Get())});
  c.ExpectString(L"answer GetType", output.Get(), L"GetType", {}, L"AccountList");
  c.ExpectNumber(L"answer GetChildCount", output.Get(), L"GetChildCount", 2);
  c.ExpectObject(L"GetChild(0)", output.Get(), L"GetChild", {Int32Value(0)}, child0);
  c.ExpectString(L"child 0 Id", child0.Get(), L"GetProperty", {BorrowedString(idName.get())}, L"A-1001");
  c.ExpectObject(L"GetChild(1)", output.Get(), L"GetChild", {Int32Value(1)}, child1);
  c.ExpectString(L"child 1 Id", child1.Get(), L"GetProperty", {BorrowedString(idName.get())}, L"A-1002");
  c.ExpectObject(L"Copy", output.Get(), L"Copy", {}, copy);
  c.ExpectNumber(L"copy GetChildCount", copy.Get(), L"GetChildCount", 2);
  // Echo answers the input's page set: the copy now stands for it.
  c.ExpectTrue(L"InvokeMethod Echo into the copy", service.Get(), L"InvokeMethod",
               {BorrowedString(echo.get()), BorrowedObject(input.Get()), BorrowedObject(copy.Get())});
  c.ExpectString(L"echoed Tag", copy.Get(), L"GetProperty", {BorrowedString(tagName.get())}, tag);

  // An unknown service: the call succeeds with a null object (the method's
  // S_FALSE reaches a late-bound caller as S_OK), and the application
  // object records 203.
  {
    UniqueVariant result;
    const HRESULT hr = c.Call(app, L"GetService", {BorrowedString(unknownName.get())}, result.put());
    if (hr != S_OK || result->vt != VT_DISPATCH || result->pdispVal != nullptr) {
      c.Fail(L"unknown GetService", Describe(hr, *result.get()), L"hr 0x00000000 vt 9 null object");
    }
  }
  c.ExpectNumber(L"unknown GetService GetLastErrCode", app, L"GetLastErrCode", kNoServiceCode);

  c.Release(L"release of child 0", child0);
  c.Release(L"release of child 1", child1);
  c.Release(L"release of the copy", copy);
  c.Release(L"release of the output", output);
  c.Release(L"release of the input", input);
  c.Release(L"release of the service", service, true);
}

struct ThreadResult {
  long calls = 0;
};

void RunThread(int thread, int threads, long budget, FailureLog& failures, std::barrier<>& start,
               ThreadResult& out) {
  Caller c(failures, thread, threads);
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ComPtr<IDispatch> app;
  CLSID clsid{};
  HRESULT hr = FAILED(init) ? init : ::CLSIDFromProgID(vaduna::contract::kApplicationProgId, &clsid);
  if (SUCCEEDED(hr)) hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&app));
  if (FAILED(hr)) c.Fail(L"activation", Describe(hr, vaduna::EmptyValue()), L"the application object");
  c.CountActivation();
  start.arrive_and_wait();
  if (app) {
    const std::wstring prefix = L"p" + std::to_wstring(::GetCurrentProcessId()) + L"-t" + std::to_wstring(thread);
    for (int round = 0; c.calls() + 1 < budget; ++round) {  // the final release is the last call
      c.SetRound(round);
      Round(c, app.Get(), prefix + L"-r" + std::to_wstring(round));
    }
    c.Release(L"release of the application object", app);
  }
  out.calls = c.calls();
  if (SUCCEEDED(init)) ::CoUninitialize();
}

int RunLoad(int threads, long callsPerThread, const std::wstring& name) {
  FailureLog failures;
  std::vector<ThreadResult> results(static_cast<size_t>(threads));
  std::barrier<> start(threads + 1);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back(RunThread, t, threads, callsPerThread, std::ref(failures), std::ref(start),
                         std::ref(results[static_cast<size_t>(t)]));
  }
  start.arrive_and_wait();  // every thread holds its application object
  const double began = NowSeconds();
  for (std::thread& worker : workers) worker.join();
  const double seconds = NowSeconds() - began;
  long calls = 0;
  for (const ThreadResult& result : results) calls += result.calls;
  const long failed = failures.Count();
  std::printf("load %s: threads %d, calls %ld, failures %ld, seconds %.2f, calls/s %.0f\n", Narrow(name).c_str(),
              threads, calls, failed, seconds, seconds > 0 ? static_cast<double>(calls) / seconds : 0.0);
  std::fflush(stdout);
  return failed == 0 && calls >= callsPerThread * threads ? 0 : 1;
}

// The handles of process `pid` counted in the system's handle table; -1
// when the table cannot be read.
long HandlesInSystemTable(DWORD pid) {
  // The extended table's layout (its process ids are not cut to 16 bits).
  struct Entry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ACCESS_MASK access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
  using QueryFunction = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<BYTE> buffer(1 << 20);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status =
        query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
      if (table->entries[i].processId == pid) ++count;
    }
    return count;
  }
  return -1;
}

// One reading of the server process of this prefix.
struct Usage {
  DWORD pid = 0;
  DWORD threads = 0;
  long handles = 0;
  unsigned long long privateBytes = 0;
  const char* handleSource = "";
  const char* memorySource = "";

  bool SameFigures(const Usage& other) const {
    return pid == other.pid && threads == other.threads && handles == other.handles &&
           privateBytes == other.privateBytes;
  }
};

// Reads the server process's figures; false (with a message) when there is
// not exactly one server process or a figure cannot be read.
bool ReadUsage(Usage& usage) {
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    std::fprintf(stderr, "no process snapshot: error %lu\n", ::GetLastError());
    return false;
  }
  std::vector<PROCESSENTRY32W> found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (::_wcsicmp(entry.szExeFile, vaduna::contract::kServerFile) == 0) found.push_back(entry);
  }
  if (found.size() != 1) {
    std::fprintf(stderr, "expected one server process, found %zu\n", found.size());
    return false;
  }
  usage.pid = found[0].th32ProcessID;
  usage.threads = found[0].cntThreads;
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, usage.pid));
  if (!process) {
    std::fprintf(stderr, "opening server process %lu failed: error %lu\n", usage.pid, ::GetLastError());
    return false;
  }
  DWORD handles = 0;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  if (!::GetProcessHandleCount(process.get(), &handles) ||
      !::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
    std::fprintf(stderr, "reading server process %lu failed: error %lu\n", usage.pid, ::GetLastError());
    return false;
  }
  // Wine answers GetProcessHandleCount with 0 for every process, and fills
  // PagefileUsage (the process's private memory, which Windows reports as
  // PrivateUsage too) but leaves PrivateUsage 0: the other source is read then.
  usage.handleSource = "GetProcessHandleCount";
  usage.handles = static_cast<long>(handles);
  if (usage.handles == 0) {
    usage.handleSource = "system handle table";
    usage.handles = HandlesInSystemTable(usage.pid);
  }
  usage.memorySource = "PrivateUsage";
  usage.privateBytes = memory.PrivateUsage;
  if (usage.privateBytes == 0) {
    usage.memorySource = "PagefileUsage";
    usage.privateBytes = memory.PagefileUsage;
  }
  if (usage.handles <= 0 || usage.privateBytes == 0) {
    std::fprintf(stderr, "no handle count or private bytes of server process %lu\n", usage.pid);
    return false;
  }
  return true;
}

// Reads the server's figures once a second until they have stayed the same
// for 8 s, for at most kSettleLimitSeconds, and prints the last reading. The
// runtime's worker threads that served the last calls end about 5 s after
// them, and their stacks and handles with them.
int PrintServerUsage() {
  constexpr int kSettleLimitSeconds = 60;
  constexpr int kAgreeingReadings = 9;
  Usage last;
  if (!ReadUsage(last)) return 1;
  int agreeing = 1;
  int waited = 0;
  while (agreeing < kAgreeingReadings && waited < kSettleLimitSeconds) {
    ::Sleep(1000);
    ++waited;
    Usage next;
    if (!ReadUsage(next)) return 1;
    agreeing = next.SameFigures(last) ? agreeing + 1 : 1;
    last = next;
  }
  std::printf("server pid %lu threads %lu handles %ld private_bytes %llu %s %d s (handles: %s; private bytes: %s)\n",
              last.pid, last.threads, last.handles, last.privateBytes,
              agreeing >= kAgreeingReadings ? "settled after" : "unsettled after", waited, last.handleSource,
              last.memorySource);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"--server-usage") == 0) return PrintServerUsage();
  const int threads = argc > 2 ? _wtoi(argv[1]) : 0;
  const long calls = argc > 2 ? _wtol(argv[2]) : 0;
  if (argc < 3 || argc > 4 || threads < 1 || threads > 64 || calls < kCallsPerRound) {
    std::fprintf(stderr, "usage: vaduna_load_client THREADS CALLS_PER_THREAD [NAME]\n"
                         "       vaduna_load_client --server-usage\n");
    return 2;
  }
  const std::wstring name = argc > 3 ? argv[3] : L"client";
  return RunLoad(threads, calls, name);
}
