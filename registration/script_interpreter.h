// Runs a registry script against the registry: register mode opens or creates
// every key it names and writes every value; unregister mode removes them
// again bottom-up, except what is marked "NoRemove". No delete follows a
// registry link: a link that is to go goes itself, its target stays whole.
#pragma once

#include <windows.h>

#include "registration/placeholder_table.h"
#include "registration/script_lexer.h"
#include "base/unique_resource.h"

namespace vaduna {

class ScriptInterpreter {
 public:
  explicit ScriptInterpreter(const PlaceholderTable& placeholders) noexcept
      : placeholders_(placeholders) {}

  // Expands the placeholders and runs every root block. In register mode a
  // failed root block is run again in unregister mode and its first failure
  // returned; earlier root blocks stay registered. In unregister mode the
  // first failure ends the run.
  HRESULT Run(const wchar_t* script, bool doRegister) noexcept;

  // Deletes name below parent with all its subkeys; a registry status (2 for
  // an absent key), not an HRESULT. A registry link is deleted itself, never
  // the key it points to nor anything below that.
  static LONG DeleteKeyTree(HKEY parent, const wchar_t* name) noexcept;

 private:
  HRESULT RunRegisterBlock(Token& token, HKEY parent) noexcept;
  HRESULT RegisterValueStatement(Token& token, HKEY parent) noexcept;
  HRESULT RegisterKeyStatement(Token& token, HKEY parent, UniqueHkey& current) noexcept;
  HRESULT RunUnregisterBlock(Token& token, HKEY parent, bool skip) noexcept;
  HRESULT UnregisterValueStatement(Token& token, HKEY parent, bool keep) noexcept;
  HRESULT UnregisterKeyStatement(Token& token, HKEY parent, bool skip, bool remove, bool blockAllowed) noexcept;
  HRESULT WriteValue(Token& token, HKEY key, const wchar_t* valueName) noexcept;
  HRESULT ReadValueName(wchar_t (&name)[260]) noexcept;

  const PlaceholderTable& placeholders_;
  ScriptLexer lexer_{nullptr};
};

// Expands and runs script with table; see ScriptInterpreter::Run.
HRESULT RunRegistryScript(const wchar_t* script, bool doRegister, const PlaceholderTable& table) noexcept;

}  // namespace vaduna
