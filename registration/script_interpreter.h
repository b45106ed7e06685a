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
  // Blocks nested deeper than this (the root block being the first) fail
  // with DISP_E_EXCEPTION in every mode. Our scripts nest three blocks at
  // most; 64 leaves room for any hand-written one while keeping the
  // recursion, about a kilobyte of stack a level, far from a stack's end.
  static constexpr unsigned kMaxBlockDepth = 64;
  // DeleteKeyTree opens no more levels than this, the named key being the
  // first. The registry itself keeps at most 512 levels of keys, so only a
  // registry that breaks that rule (Wine's does) meets the bound; the
  // recursion then stays within a few hundred kilobytes of stack.
  static constexpr unsigned kMaxKeyTreeDepth = 512;

  explicit ScriptInterpreter(const PlaceholderTable& placeholders) noexcept
      : placeholders_(placeholders) {}

  // Expands the placeholders and runs every root block. In register mode a
  // root block nested beyond kMaxBlockDepth fails before anything of it is
  // done; any other failed root block is run again in unregister mode and
  // its first failure returned; earlier root blocks stay registered. In
  // unregister mode the first failure ends the run.
  HRESULT Run(const wchar_t* script, bool doRegister) noexcept;

  // Deletes name below parent with all its subkeys; a registry status (2 for
  // an absent key), not an HRESULT. A registry link is deleted itself, never
  // the key it points to nor anything below that; ERROR_CANTOPEN for a tree
  // deeper than kMaxKeyTreeDepth.
  static LONG DeleteKeyTree(HKEY parent, const wchar_t* name) noexcept;

 private:
  HRESULT RunRegisterBlock(Token& token, HKEY parent, unsigned depth) noexcept;
  HRESULT RegisterValueStatement(Token& token, HKEY parent) noexcept;
  HRESULT RegisterKeyStatement(Token& token, HKEY parent, UniqueHkey& current) noexcept;
  HRESULT RunUnregisterBlock(Token& token, HKEY parent, bool skip, unsigned depth) noexcept;
  HRESULT UnregisterValueStatement(Token& token, HKEY parent, bool keep) noexcept;
  HRESULT UnregisterKeyStatement(Token& token, HKEY parent, bool skip, bool remove, bool blockAllowed,
                                 unsigned depth) noexcept;
  HRESULT WriteValue(Token& token, HKEY key, const wchar_t* valueName) noexcept;
  HRESULT ReadValueName(wchar_t (&name)[260]) noexcept;
  HRESULT EnterBlock(unsigned depth) noexcept;
  bool NestsTooDeep(Token& token) noexcept;

  const PlaceholderTable& placeholders_;
  ScriptLexer lexer_{nullptr};
  // Set when a block beyond kMaxBlockDepth was refused.
  bool depthExceeded_ = false;
};

// Expands and runs script with table; see ScriptInterpreter::Run.
HRESULT RunRegistryScript(const wchar_t* script, bool doRegister, const PlaceholderTable& table) noexcept;

}  // namespace vaduna
