// The class table: one row per creatable class with what the host needs to
// register it, to make its class object and to create its instances.
#pragma once

#include <windows.h>
#include <comcat.h>

namespace vaduna {

// Kind of a category table entry; kind 0 ends the table.
enum CategoryKind : DWORD { kCategoryEnd = 0, kCategoryImplemented = 1, kCategoryRequired = 2 };

struct CategoryEntry {
  DWORD kind;
  const CATID* id;
};

using RegistryFunction = HRESULT (*)(bool doRegister);
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);
using ClassObjectCreator = HRESULT (*)(InstanceCreator creator, REFIID iid, void** out);
using DescriptionFunction = const wchar_t* (*)();
using CategoryMapFunction = const CategoryEntry* (*)();
using ClassHook = void (*)(bool starting);

struct ClassEntry {
  const CLSID* clsid;  // null marks the end row
  RegistryFunction registryFunction;
  ClassObjectCreator classObjectCreator;
  InstanceCreator instanceCreator;
  IUnknown* cachedClassObject;
  DWORD cookie;
  DescriptionFunction description;
  CategoryMapFunction categoryMap;
  ClassHook classHook;
};

// Registers one class object per row with the runtime, in table order, while
// the result stays S_OK; the cookies go into the rows.
HRESULT RegisterClassObjects(ClassEntry* table, DWORD context, DWORD flags) noexcept;
// Revokes every row with a cookie, in table order, while the result stays S_OK.
HRESULT RevokeClassObjects(ClassEntry* table) noexcept;

}  // namespace vaduna
