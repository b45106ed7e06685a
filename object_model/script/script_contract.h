// Every member the server calls on the page's script objects, by name. The
// script side implements exactly these; members are called as methods unless
// noted. Names are matched by the script engine's own lookup.
#pragma once


#include "vaduna_contract.h"
namespace vaduna::script {

// Script application object.
inline constexpr wchar_t kAppName[] = L"Name";                      // () -> string
inline constexpr wchar_t kAppGetService[] = L"GetService";          // (service name) -> service
inline constexpr wchar_t kAppNewPropertySet[] = L"NewPropertySet";  // () -> empty property set
inline constexpr wchar_t kAppIsReady[] = L"IsReady";                // () -> truth value

// Script service.
inline constexpr wchar_t kServiceName[] = L"Name";                  // () -> string
inline constexpr wchar_t kServiceInvokeMethod[] = L"InvokeMethod";  // (method, input set) -> output set

// Script property set.
inline constexpr wchar_t kGetProperty[] = L"GetProperty";            // (name) -> string
inline constexpr wchar_t kSetProperty[] = L"SetProperty";            // (name, value)
inline constexpr wchar_t kPropertyExists[] = L"PropertyExists";      // (name) -> truth value
inline constexpr wchar_t kRemoveProperty[] = L"RemoveProperty";      // (name) -> truth value
inline constexpr wchar_t kGetFirstProperty[] = L"GetFirstProperty";  // () -> string
inline constexpr wchar_t kGetNextProperty[] = L"GetNextProperty";    // () -> string
inline constexpr wchar_t kGetPropertyCount[] = L"GetPropertyCount";  // () -> 32-bit integer
inline constexpr wchar_t kGetType[] = L"GetType";                    // () -> string
inline constexpr wchar_t kSetType[] = L"SetType";                    // (type) -> truth value
inline constexpr wchar_t kGetValue[] = L"GetValue";                  // () -> string
inline constexpr wchar_t kSetValue[] = L"SetValue";                  // (value) -> truth value
inline constexpr wchar_t kReset[] = L"Reset";                        // ()
inline constexpr wchar_t kAddChild[] = L"AddChild";                  // (child set) -> truth value
inline constexpr wchar_t kInsertChildAt[] = L"InsertChildAt";        // (child set, index)
inline constexpr wchar_t kRemoveChild[] = L"RemoveChild";            // (index) -> truth value
inline constexpr wchar_t kGetChild[] = L"GetChild";                  // (index) -> child set or nothing
inline constexpr wchar_t kGetChildCount[] = L"GetChildCount";        // () -> 32-bit integer
inline constexpr wchar_t kEncodeAsString[] = L"EncodeAsString";      // () -> string
inline constexpr wchar_t kDecodeFromString[] = L"DecodeFromString";  // (encoded string)

// Property of a script service or property set, read and written as a 32-bit
// integer: the handle of the server object that wraps it.
inline constexpr const wchar_t* kHandleMember = contract::kHandleMember;

}  // namespace vaduna::script
