// Registration of classes, categories and the type library. The test
// executable carries the server's registry scripts and type library.
#include "registration/module_registration.h"

#include <comcat.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registration/script_interpreter.h"
#include "registration/script_registrar.h"
#include "tests/support/platform.h"
#include "tests/unit/registration/registry_scratch.h"
#include "vaduna_contract.h"

namespace vaduna {
namespace {

using testing::KeyExists;
using testing::ReadString;

constexpr CATID kSafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr CATID kSafeForInitializing = {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr wchar_t kSafeForScriptingText[] = L"{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
constexpr wchar_t kSafeForInitializingText[] = L"{7DD95802-9882-11CF-9FA9-00AA006C42C4}";

std::wstring ClsidKey(const wchar_t* clsid, const wchar_t* sub = nullptr) {
  std::wstring path = std::wstring(L"CLSID\\") + clsid;
  if (sub != nullptr) path += std::wstring(L"\\") + sub;
  return path;
}

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH];
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

TEST(EscapeQuotes, DoublesEverySingleQuote) {
  EXPECT_EQ(L"C:\\it''s ''x''", EscapeQuotes(L"C:\\it's 'x'"));
  EXPECT_EQ(L"", EscapeQuotes(L""));
}

TEST(ScriptRegistrar, Placeholders) {
  ScriptRegistrar registrar;
  EXPECT_EQ(E_INVALIDARG, registrar.AddPlaceholder(nullptr, L"v"));
  EXPECT_EQ(E_INVALIDARG, registrar.AddPlaceholder(L"n", nullptr));
  EXPECT_EQ(S_OK, registrar.AddPlaceholder(L"Name", L"first"));
  EXPECT_EQ(S_OK, registrar.AddPlaceholder(L"NAME", L"second"));
  std::wstring found;
  EXPECT_TRUE(registrar.Placeholders().Lookup(L"name", [&](const wchar_t* v) { found = v; }));
  EXPECT_EQ(L"first", found);
  EXPECT_EQ(S_OK, registrar.ClearPlaceholders());
  EXPECT_FALSE(registrar.Placeholders().Lookup(L"name", [](const wchar_t*) {}));
}

// The class script of the service, run from a copy of this executable whose
// path holds a single quote.
class QuotedModulePath : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
    directory_ = std::wstring(temp) + L"vaduna it's here";
    ::CreateDirectoryW(directory_.c_str(), nullptr);
    copy_ = directory_ + L"\\server copy.exe";
    ASSERT_TRUE(::CopyFileW(ExecutablePath().c_str(), copy_.c_str(), FALSE));
  }
  void TearDown() override {
    ::DeleteFileW(copy_.c_str());
    ::RemoveDirectoryW(directory_.c_str());
  }

  std::wstring directory_;
  std::wstring copy_;
};

TEST_F(QuotedModulePath, IsStoredUnchanged) {
  const std::wstring localServer = ClsidKey(contract::kClsidService, L"LocalServer32");
  ASSERT_EQ(S_OK, RunScriptWithModule(copy_.c_str(), true, 106, true, nullptr, 0));
  EXPECT_EQ(L"\"" + copy_ + L"\"", ReadString(HKEY_CLASSES_ROOT, localServer, nullptr));

  // A library's path goes in without double quotes.
  ASSERT_EQ(S_OK, RunScriptWithModule(copy_.c_str(), false, 106, true, nullptr, 0));
  EXPECT_EQ(copy_, ReadString(HKEY_CLASSES_ROOT, localServer, nullptr));

  // Extras come first and win a lookup.
  const Placeholder extra = {L"Module", L"extra value"};
  ASSERT_EQ(S_OK, RunScriptWithModule(copy_.c_str(), true, 106, true, &extra, 1));
  EXPECT_EQ(L"extra value", ReadString(HKEY_CLASSES_ROOT, localServer, nullptr));

  ASSERT_EQ(S_OK, RunScriptWithModule(copy_.c_str(), true, 106, false, nullptr, 0));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(contract::kClsidService)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, contract::kServiceProgIdVersioned));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST(RunScriptResource, LoaderFailuresComeFromTheLastError) {
  ScriptRegistrar registrar;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND),
            registrar.RunScriptResource(ExecutablePath().c_str(), 999, L"REGISTRY", true));
  VADUNA_EXPECT_PLATFORM_EQ(registrar.RunScriptResource(L"C:\\no such dir\\none.exe", 100, L"REGISTRY", true),
                            HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// A class table of three test classes whose registry functions record their
// calls; the second fails to register.
constexpr CLSID kClass1 = {0xB5A0E5D0, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xA1}};
constexpr CLSID kClass2 = {0xB5A0E5D0, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xA2}};
constexpr CLSID kClass3 = {0xB5A0E5D0, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0xA3}};
constexpr wchar_t kClass1Text[] = L"{B5A0E5D0-0000-4000-8000-0000000000A1}";
constexpr HRESULT kRowFailure = static_cast<HRESULT>(0x80041234);

std::vector<std::string> g_calls;

const CategoryEntry* SafeCategories() {
  static const CategoryEntry entries[] = {
      {kCategoryImplemented, &kSafeForScripting},
      {kCategoryImplemented, &kSafeForInitializing},
      {kCategoryEnd, nullptr},
  };
  return entries;
}

HRESULT Row1(bool doRegister) {
  // Unregistration removes the categories before the class script runs.
  const bool categories = KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Implemented Categories"));
  g_calls.push_back(std::string(doRegister ? "register" : "unregister") + " 1" +
                    (categories ? " with categories" : ""));
  return S_OK;
}
HRESULT Row2(bool doRegister) {
  g_calls.push_back(doRegister ? "register 2" : "unregister 2");
  return doRegister ? kRowFailure : S_OK;
}
HRESULT Row3(bool doRegister) {
  g_calls.push_back(doRegister ? "register 3" : "unregister 3");
  return S_OK;
}

const ClassEntry kTestTable[] = {
    {&kClass1, &Row1, nullptr, nullptr, nullptr, 0, nullptr, &SafeCategories, nullptr},
    {&kClass2, &Row2, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
    {&kClass3, &Row3, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};

class ClassTableRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    Cleanup();
  }
  void TearDown() override { Cleanup(); }
  static void Cleanup() {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text).c_str());
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text).c_str());
  }
  static std::wstring TypeLibKey() { return std::wstring(L"TypeLib\\") + contract::kLibId; }
};

TEST_F(ClassTableRegistration, RegisterAllStopsAtTheFirstFailingRow) {
  RemoveTypeLibrary(::GetModuleHandleW(nullptr));
  ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));

  EXPECT_EQ(kRowFailure, RegisterAll(kTestTable, true, nullptr));
  EXPECT_EQ((std::vector<std::string>{"register 1", "register 2"}), g_calls);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Implemented Categories\\") + kSafeForScriptingText));
  EXPECT_TRUE(
      KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Implemented Categories\\") + kSafeForInitializingText));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));
}

TEST_F(ClassTableRegistration, UnregisterAllRemovesCategoriesBeforeTheScript) {
  ASSERT_EQ(S_OK, UpdateClassCategories(kClass1, SafeCategories(), true));
  EXPECT_EQ(S_OK, UnregisterAll(kTestTable, false, nullptr));
  EXPECT_EQ((std::vector<std::string>{"unregister 1", "unregister 2", "unregister 3"}), g_calls);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Implemented Categories")));
}

TEST_F(ClassTableRegistration, OnlyTheGivenClass) {
  EXPECT_EQ(S_OK, RegisterAll(kTestTable, false, &kClass3));
  EXPECT_EQ(S_OK, UnregisterAll(kTestTable, false, &kClass3));
  EXPECT_EQ((std::vector<std::string>{"register 3", "unregister 3"}), g_calls);
}

TEST_F(ClassTableRegistration, UnregistrationDeletesOnlyEmptyCategoryKeys) {
  ASSERT_EQ(S_OK, UpdateClassCategories(kClass1, SafeCategories(), true));
  const std::wstring foreign = ClsidKey(kClass1Text, L"Implemented Categories\\{B5A0E5D0-0000-4000-8000-0000000000FF}");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, foreign.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
  ::RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Required Categories").c_str(),
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ::RegCloseKey(key);

  EXPECT_EQ(S_OK, UpdateClassCategories(kClass1, SafeCategories(), false));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Implemented Categories\\") + kSafeForScriptingText));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, foreign));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(kClass1Text, L"Required Categories")));

  // Nothing to do without a table or for GUID_NULL.
  EXPECT_EQ(S_OK, UpdateClassCategories(kClass1, nullptr, true));
  EXPECT_EQ(S_OK, UpdateClassCategories(GUID_NULL, SafeCategories(), true));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClsidKey(L"{00000000-0000-0000-0000-000000000000}", L"Implemented Categories")));
}

TEST_F(ClassTableRegistration, TypeLibraryFromTheExecutable) {
  const HMODULE self = ::GetModuleHandleW(nullptr);
  ASSERT_EQ(S_OK, InstallTypeLibrary(self));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\1.0"));
  std::wstring directory = ExecutablePath();
  directory.erase(directory.find_last_of(L"\\/:") + 1);
  EXPECT_EQ(directory, ReadString(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\1.0\\HELPDIR", nullptr));

  BSTR path = reinterpret_cast<BSTR>(0xdeadbeef);
  ITypeLib* library = nullptr;
  ASSERT_EQ(S_OK, LocateTypeLibrary(self, &path, &library));
  EXPECT_EQ(ExecutablePath(), path);
  ::SysFreeString(path);
  library->Release();

  ASSERT_EQ(S_OK, RemoveTypeLibrary(self));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));
  // Removing it again reports the platform's failure.
  VADUNA_EXPECT_PLATFORM_EQ(RemoveTypeLibrary(self), TYPE_E_REGISTRYACCESS, E_INVALIDARG);
}


// A copy of this executable, loaded as a library from a path of the given
// length, so that its module path has that length.
class LongModulePath {
 public:
  explicit LongModulePath(size_t length) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    directory_ = std::wstring(temp) + L"vaduna_long";
    ::CreateDirectoryW(directory_.c_str(), nullptr);
    const size_t fixed = directory_.size() + 1 + 4;  // separator and ".exe"
    path_ = directory_ + L"\\" + std::wstring(length - fixed, L'p') + L".exe";
    if (::CopyFileW(ExecutablePath().c_str(), path_.c_str(), FALSE)) {
      module_ = ::LoadLibraryExW(path_.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    }
  }
  ~LongModulePath() {
    if (module_ != nullptr) ::FreeLibrary(module_);
    ::DeleteFileW(path_.c_str());
    ::RemoveDirectoryW(directory_.c_str());
  }
  HMODULE Module() const { return module_; }

 private:
  std::wstring directory_;
  std::wstring path_;
  HMODULE module_ = nullptr;
};

TEST(ModuleFilePath, UpTo259Units) {
  wchar_t path[MAX_PATH];
  LongModulePath fits(259);
  ASSERT_NE(nullptr, fits.Module());
  EXPECT_EQ(S_OK, ModuleFilePath(fits.Module(), path));
  EXPECT_EQ(259u, wcslen(path));
}

TEST(ModuleFilePath, FillingTheBufferFails) {
  wchar_t path[MAX_PATH];
  LongModulePath fills(260);
  ASSERT_NE(nullptr, fills.Module());
  EXPECT_EQ(static_cast<HRESULT>(0x8007007A), ModuleFilePath(fills.Module(), path));
}

}  // namespace
}  // namespace vaduna
