// Registration of the server from its own "REGISTRY" resources: the
// application identity, the class entries, their categories and the type
// library.
#pragma once

#include <windows.h>

#include <string>

#include "hosting/class_table.h"

namespace vaduna {

class ScriptRegistrar;

struct Placeholder {
  const wchar_t* name;
  const wchar_t* value;
};

// Runs the "REGISTRY" resource resourceId of the process executable with
// "APPID", "Module" and "Module_Raw" filled in.
HRESULT RunModuleScript(UINT resourceId, bool doRegister) noexcept;
// As above; the extras are added first (they win a lookup), their results
// are not examined.
HRESULT RunModuleScript(UINT resourceId, bool doRegister, const Placeholder* extras,
                        size_t extraCount) noexcept;

// The full path of module: the failure from the last error when it is not
// available, 0x8007007A when it fills the buffer.
HRESULT ModuleFilePath(HMODULE module, wchar_t (&path)[MAX_PATH]) noexcept;

// Runs resource resourceId of the module file at modulePath with the extras,
// "APPID", "Module" (in double quotes when isExecutable) and "Module_Raw".
HRESULT RunScriptWithModule(const wchar_t* modulePath, bool isExecutable, UINT resourceId, bool doRegister,
                            const Placeholder* extras, size_t extraCount) noexcept;

// Adds "APPID" with the empty string.
HRESULT AddCommonPlaceholders(ScriptRegistrar& registrar) noexcept;

// source with every single quote doubled. Throws std::bad_alloc.
std::wstring EscapeQuotes(const wchar_t* source);

// Walks table (ended by a row with a null clsid) in order: each row's registry
// function, then its categories; the type library last when asked. Stops at
// the first failure. onlyClass, when given, selects one row.
HRESULT RegisterAll(const ClassEntry* table, bool withTypeLibrary, const CLSID* onlyClass) noexcept;
// Walks table in order: a row's categories, then its registry function; the
// type library last when asked. Stops at the first failure.
HRESULT UnregisterAll(const ClassEntry* table, bool withTypeLibrary, const CLSID* onlyClass) noexcept;

// Writes (doRegister) or removes a class's categories through the component
// categories manager; on removal deletes "Implemented Categories" and
// "Required Categories" keys that are left without subkeys. S_OK when the
// manager is not available.
HRESULT UpdateClassCategories(REFCLSID clsid, const CategoryEntry* categories,
                              bool doRegister) noexcept;

// The type library of the executable: loaded from its path, or from the path
// with the extension replaced by ".tlb". path receives a BSTR the caller frees.
HRESULT LocateTypeLibrary(HMODULE module, BSTR* path, ITypeLib** library) noexcept;
HRESULT InstallTypeLibrary(HMODULE module) noexcept;
HRESULT RemoveTypeLibrary(HMODULE module) noexcept;

// The code page in which 8-bit script text is converted, chosen once per process.
UINT ConversionCodePage() noexcept;

}  // namespace vaduna
