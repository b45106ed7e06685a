#include "registration/script_interpreter.h"

#include <cwchar>
#include <iterator>

#include "registration/registry_links.h"
#include "registration/registry_value.h"
#include "base/hresult.h"
#include "base/unique_resource.h"

namespace vaduna {
namespace {

struct RootKeyName {
  const wchar_t* name;
  HKEY key;
};

const RootKeyName kRootKeys[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},
    {L"HKPD", HKEY_PERFORMANCE_DATA},
    {L"HKDD", HKEY_DYN_DATA},
    {L"HKCC", HKEY_CURRENT_CONFIG},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys that "ForceRemove" and "Delete" never delete.
const wchar_t* const kProtectedKeyNames[] = {
    L"AppID", L"CLSID",    L"Component Categories", L"FileType", L"Interface", L"Hardware",
    L"Mime",  L"SAM",      L"SECURITY",             L"SYSTEM",   L"Software",  L"TypeLib",
};

constexpr size_t kNameCapacity = 260;

// DeleteKeyTree's answer for a tree deeper than its bound.
constexpr LONG kTreeTooDeepStatus = ERROR_CANTOPEN;

HKEY RootKeyFromName(const wchar_t* name) noexcept {
  for (const RootKeyName& root : kRootKeys) {
    if (::lstrcmpiW(root.name, name) == 0) return root.key;
  }
  return nullptr;
}

bool IsProtectedKeyName(const wchar_t* name) noexcept {
  for (const wchar_t* protectedName : kProtectedKeyNames) {
    if (::lstrcmpiW(protectedName, name) == 0) return true;
  }
  return false;
}

// One key below the block's key: an empty name would reopen the block's key
// itself (and a delete by it remove that key), a backslash would reach deeper.
bool IsSingleKeyName(const Token& token) noexcept {
  return token.First() != L'\0' && wcschr(token.text, L'\\') == nullptr;
}

// Opens a key of unregister mode. A key to be removed is opened as itself,
// so that a link is found as one (isLink); a kept key is opened as usual, so
// a "NoRemove" link, as the platform keeps for some keys of its own, leads
// to the content the script describes below it.
LONG OpenForUnregister(HKEY parent, const wchar_t* name, bool remove, UniqueHkey& key, bool& isLink) noexcept {
  isLink = false;
  if (!remove) return ::RegOpenKeyExW(parent, name, 0, KEY_READ, key.put());
  const LONG status = OpenKeyAsItself(parent, name, KEY_READ, key);
  if (status == ERROR_SUCCESS) isLink = IsRegistryLink(key.get());
  return status;
}

LONG DeleteTreeAtLevel(HKEY parent, const wchar_t* name, unsigned level) noexcept;

// Deletes every subkey of key, which is at level of the tree being deleted.
LONG DeleteSubkeys(HKEY key, unsigned level) noexcept {
  // Each listed subkey is gone before the next listing, so index 0 suffices.
  for (;;) {
    wchar_t subkey[256];
    DWORD length = static_cast<DWORD>(std::size(subkey));
    if (::RegEnumKeyExW(key, 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return ERROR_SUCCESS;
    }
    const LONG status = DeleteTreeAtLevel(key, subkey, level + 1);
    if (status != ERROR_SUCCESS) return status;
  }
}

// level: the level of name in the tree being deleted, 1 for its top. The
// bound is checked before a key is opened, so the recursion ends there.
LONG DeleteTreeAtLevel(HKEY parent, const wchar_t* name, unsigned level) noexcept {
  if (level > ScriptInterpreter::kMaxKeyTreeDepth) return kTreeTooDeepStatus;
  UniqueHkey key;
  LONG status = OpenKeyAsItself(parent, name, KEY_READ | DELETE, key);
  if (status != ERROR_SUCCESS) return status;
  // A link goes alone: what lies below its target is not ours.
  if (!IsRegistryLink(key.get())) {
    status = DeleteSubkeys(key.get(), level);
    if (status != ERROR_SUCCESS) return status;
  }
  return DeleteOpenedKey(key.get());
}

}  // namespace

HRESULT ScriptInterpreter::Run(const wchar_t* script, bool doRegister) noexcept {
  UniqueCoTaskMem<wchar_t> expanded;
  VADUNA_RETURN_IF_FAILED(ExpandPlaceholders(script, placeholders_, expanded.put()));
  lexer_.SetPosition(expanded.get());
  if (*expanded.get() == L'\0') return S_OK;

  Token token;
  for (;;) {
    VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
    const HKEY root = RootKeyFromName(token.text);
    if (root == nullptr) return DISP_E_EXCEPTION;
    VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
    if (token.First() != L'{') return DISP_E_EXCEPTION;

    if (doRegister) {
      const wchar_t* blockStart = lexer_.Position();
      // The taking back below stops at the bound as well and would leave the
      // keys above it behind: such a block is refused before it starts.
      if (NestsTooDeep(token)) return DISP_E_EXCEPTION;
      const HRESULT hr = RunRegisterBlock(token, root, 1);
      if (FAILED(hr)) {
        // Take back what the failed block wrote, as far as the script describes it.
        lexer_.SetPosition(blockStart);
        RunUnregisterBlock(token, root, false, 1);
        return hr;
      }
    } else {
      VADUNA_RETURN_IF_FAILED(RunUnregisterBlock(token, root, false, 1));
    }
    if (lexer_.SkipWhiteSpace()) return S_OK;
  }
}

HRESULT ScriptInterpreter::EnterBlock(unsigned depth) noexcept {
  if (depth <= kMaxBlockDepth) return S_OK;
  depthExceeded_ = true;
  return DISP_E_EXCEPTION;
}

// Reads the block at the position in skip mode, which touches nothing, and
// sets the position back. Only the depth is judged here: any other fault of
// the text is met at its place in the register run.
bool ScriptInterpreter::NestsTooDeep(Token& token) noexcept {
  const wchar_t* blockStart = lexer_.Position();
  depthExceeded_ = false;
  RunUnregisterBlock(token, nullptr, true, 1);
  lexer_.SetPosition(blockStart);
  return depthExceeded_;
}

HRESULT ScriptInterpreter::ReadValueName(wchar_t (&name)[kNameCapacity]) noexcept {
  Token token;
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  // The registry takes longer value names, but this buffer does not:
  // refusing is safer than writing a truncated name.
  if (wcslen(token.text) >= kNameCapacity) return DISP_E_EXCEPTION;
  wcscpy(name, token.text);
  return S_OK;
}

HRESULT ScriptInterpreter::RegisterValueStatement(Token& token, HKEY parent) noexcept {
  wchar_t valueName[kNameCapacity];
  VADUNA_RETURN_IF_FAILED(ReadValueName(valueName));
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  if (token.First() != L'=') return DISP_E_EXCEPTION;
  return WriteValue(token, parent, valueName);
}

HRESULT ScriptInterpreter::RegisterKeyStatement(Token& token, HKEY parent, UniqueHkey& current) noexcept {
  if (!IsSingleKeyName(token)) return DISP_E_EXCEPTION;
  // An existing key is opened, never re-created; one that only opens for
  // reading stays read-only.
  if (::RegOpenKeyExW(parent, token.text, 0, KEY_READ | KEY_WRITE, current.put()) != ERROR_SUCCESS &&
      ::RegOpenKeyExW(parent, token.text, 0, KEY_READ, current.put()) != ERROR_SUCCESS) {
    const LONG status = ::RegCreateKeyExW(parent, token.text, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_READ | KEY_WRITE, nullptr, current.put(), nullptr);
    if (status != ERROR_SUCCESS) return HresultFromStatus(status);
  }
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  if (token.First() == L'=') return WriteValue(token, current.get(), nullptr);
  return S_OK;
}

HRESULT ScriptInterpreter::RunRegisterBlock(Token& token, HKEY parent, unsigned depth) noexcept {
  VADUNA_RETURN_IF_FAILED(EnterBlock(depth));
  UniqueHkey current;
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  if (token.First() == L'}') return S_OK;

  for (;;) {
    bool blockAllowed = true;
    bool isDelete = false;
    if (token.Is(L"ForceRemove") || token.Is(L"Delete")) {
      isDelete = token.Is(L"Delete");
      VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
      if (!IsSingleKeyName(token)) return DISP_E_EXCEPTION;
      if (!IsProtectedKeyName(token.text)) DeleteKeyTree(parent, token.text);
    }
    if (isDelete) {
      VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
      VADUNA_RETURN_IF_FAILED(lexer_.SkipValueClause(token));
      blockAllowed = false;
    } else {
      if (token.Is(L"NoRemove")) VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
      if (token.Is(L"Val")) {
        VADUNA_RETURN_IF_FAILED(RegisterValueStatement(token, parent));
        blockAllowed = false;
      } else {
        VADUNA_RETURN_IF_FAILED(RegisterKeyStatement(token, parent, current));
      }
    }

    if (token.IsExactly(L"{")) {
      // No script gives a value or a "Delete" a block of its own.
      if (!blockAllowed) return DISP_E_EXCEPTION;
      VADUNA_RETURN_IF_FAILED(RunRegisterBlock(token, current.get(), depth + 1));
      VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
    }
    if (token.First() == L'}') return S_OK;
  }
}

HRESULT ScriptInterpreter::RunUnregisterBlock(Token& token, HKEY parent, bool skip, unsigned depth) noexcept {
  VADUNA_RETURN_IF_FAILED(EnterBlock(depth));
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  if (token.First() == L'}') return S_OK;

  for (;;) {
    bool remove = true;
    bool blockAllowed = true;
    if (token.Is(L"ForceRemove") || token.Is(L"Delete")) {
      blockAllowed = !token.Is(L"Delete");
      VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
    }
    if (token.Is(L"NoRemove")) {
      remove = false;
      VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
    }
    if (token.Is(L"Val")) {
      VADUNA_RETURN_IF_FAILED(UnregisterValueStatement(token, parent, skip || !remove));
    } else {
      VADUNA_RETURN_IF_FAILED(UnregisterKeyStatement(token, parent, skip, remove, blockAllowed, depth));
    }
    if (token.First() == L'}') return S_OK;
  }
}

HRESULT ScriptInterpreter::UnregisterValueStatement(Token& token, HKEY parent, bool keep) noexcept {
  wchar_t valueName[kNameCapacity];
  VADUNA_RETURN_IF_FAILED(ReadValueName(valueName));
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  if (token.First() != L'=') return DISP_E_EXCEPTION;
  if (!keep) {
    UniqueHkey self;
    LONG status = ::RegOpenKeyExW(parent, nullptr, 0, KEY_WRITE, self.put());
    if (status != ERROR_SUCCESS) return HresultFromStatus(status);
    status = ::RegDeleteValueW(self.get(), valueName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HresultFromStatus(status);
  }
  VADUNA_RETURN_IF_FAILED(lexer_.SkipValueClause(token));
  if (token.IsExactly(L"{")) return DISP_E_EXCEPTION;
  return S_OK;
}

// The key's block is run first, then the key is deleted unless kept. A key
// to be removed that is a link goes as the link itself: its block is only
// read, since nothing below a link is the script's to remove.
HRESULT ScriptInterpreter::UnregisterKeyStatement(Token& token, HKEY parent, bool skip, bool remove,
                                                  bool blockAllowed, unsigned depth) noexcept {
  if (!IsSingleKeyName(token)) return DISP_E_EXCEPTION;
  UniqueHkey current;
  bool isLink = false;
  LONG status = ERROR_FILE_NOT_FOUND;
  if (!skip) status = OpenForUnregister(parent, token.text, remove, current, isLink);
  wchar_t keptName[kNameCapacity];
  wcsncpy(keptName, token.text, kNameCapacity - 1);
  keptName[kNameCapacity - 1] = L'\0';

  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  VADUNA_RETURN_IF_FAILED(lexer_.SkipValueClause(token));
  if (token.IsExactly(L"{")) {
    if (!blockAllowed) return DISP_E_EXCEPTION;
    // A skipped block touches nothing, so it fails only on malformed text;
    // reading on from inside it would misread the statements that follow.
    const bool skipBlock = skip || status != ERROR_SUCCESS || isLink;
    VADUNA_RETURN_IF_FAILED(RunUnregisterBlock(token, current.get(), skipBlock, depth + 1));
    VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  }

  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HresultFromStatus(status);
  status = ::RegCloseKey(current.release());
  if (status != ERROR_SUCCESS) return HresultFromStatus(status);
  if (!remove) return S_OK;
  // Non-recursive: a key with subkeys the script does not describe stays.
  return HresultFromStatus(DeleteKeyAsItself(parent, keptName));
}

HRESULT ScriptInterpreter::WriteValue(Token& token, HKEY key, const wchar_t* valueName) noexcept {
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  const ScriptValueType type = ValueTypeFromLetter(token.text);
  if (type == ScriptValueType::Unknown) return DISP_E_EXCEPTION;
  VADUNA_RETURN_IF_FAILED(lexer_.ReadToken(token));
  VADUNA_RETURN_IF_FAILED(WriteScriptValue(key, valueName, type, token.text));
  return lexer_.ReadToken(token);
}

LONG ScriptInterpreter::DeleteKeyTree(HKEY parent, const wchar_t* name) noexcept {
  return DeleteTreeAtLevel(parent, name, 1);
}

HRESULT RunRegistryScript(const wchar_t* script, bool doRegister, const PlaceholderTable& table) noexcept {
  ScriptInterpreter interpreter(table);
  return interpreter.Run(script, doRegister);
}

}  // namespace vaduna
