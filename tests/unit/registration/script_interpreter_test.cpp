// Registry scripts run against the registry, each test below its own HKCU
// scratch key.
#include "registration/script_interpreter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/platform.h"
#include "tests/unit/registration/registry_scratch.h"

namespace vaduna {
namespace {

using testing::IsLink;
using testing::KeyExists;
using testing::ReadRaw;
using testing::ReadString;
using testing::ScratchKey;
using testing::ScratchLink;

class Interpreter : public ::testing::Test {
 protected:
  Interpreter() : scratch_(testing::CurrentTestName()) {}

  HRESULT Register(const std::wstring& body) { return RunRegistryScript(scratch_.Wrap(body).c_str(), true, table_); }
  HRESULT Unregister(const std::wstring& body) {
    return RunRegistryScript(scratch_.Wrap(body).c_str(), false, table_);
  }
  bool Exists(const std::wstring& sub) { return KeyExists(HKEY_CURRENT_USER, scratch_.Path(sub)); }
  std::optional<std::wstring> String(const std::wstring& sub, const wchar_t* name) {
    return ReadString(HKEY_CURRENT_USER, scratch_.Path(sub), name);
  }
  std::vector<BYTE> Bytes(const wchar_t* name, DWORD expectedType) {
    const auto raw = ReadRaw(HKEY_CURRENT_USER, scratch_.Path(), name);
    if (!raw) return {0xde, 0xad};
    EXPECT_EQ(expectedType, raw->type);
    return raw->bytes;
  }

  PlaceholderTable table_;
  ScratchKey scratch_;
};

std::wstring Repeat(const std::wstring& text, size_t times) {
  std::wstring out;
  while (times-- > 0) out += text;
  return out;
}

std::vector<BYTE> Utf16Bytes(const std::wstring& units) {
  const BYTE* p = reinterpret_cast<const BYTE*>(units.data());
  return std::vector<BYTE>(p, p + units.size() * sizeof(wchar_t));
}

TEST_F(Interpreter, ScriptsWithoutStatements) {
  EXPECT_EQ(S_OK, RunRegistryScript(L"", true, table_));
  EXPECT_EQ(S_OK, RunRegistryScript(L"", false, table_));
  EXPECT_EQ(DISP_E_EXCEPTION, RunRegistryScript(L" \r\n\t", true, table_));
  EXPECT_EQ(S_OK, RunRegistryScript(L"HKCU { }", true, table_));
  EXPECT_EQ(S_OK, RunRegistryScript(L"HKCU { }\r\n", false, table_));
  // Written together the braces are one token: the closing brace is never found.
  EXPECT_EQ(DISP_E_EXCEPTION, RunRegistryScript(L"HKCU {}", true, table_));
  EXPECT_EQ(DISP_E_EXCEPTION, RunRegistryScript(L"HKXX { }", true, table_));
  EXPECT_EQ(DISP_E_EXCEPTION, RunRegistryScript(L"HKCU x { }", true, table_));
}

TEST_F(Interpreter, RegistersKeysAndStringValues) {
  ASSERT_EQ(S_OK, table_.Add(L"Module", L"C:\\it''s\\a.exe"));
  ASSERT_EQ(S_OK, Register(L"Key = s 'default' { Child { } val Name = s '%Module%' val Empty = s '' }"));
  EXPECT_EQ(L"default", String(L"Key", nullptr));
  EXPECT_EQ(L"C:\\it's\\a.exe", String(L"Key", L"Name"));
  EXPECT_EQ(L"", String(L"Key", L"Empty"));
  EXPECT_TRUE(Exists(L"Key\\Child"));
  // The string is written with its NUL.
  EXPECT_EQ(Utf16Bytes(std::wstring(L"default", 8)), ReadRaw(HKEY_CURRENT_USER, scratch_.Path(L"Key"), nullptr)->bytes);
}

TEST_F(Interpreter, NamesKeywordsAndTypeLettersIgnoreCase) {
  const std::wstring body = L"nOrEmOvE Kept = S 'a' { VAL v = s 'b' }  forceremove Gone { }";
  const std::wstring script = L"hkey_current_user { NoRemove software { noremove VADUNATEST { NoREMOVE '" +
                              testing::CurrentTestName() +
                              L"' { " + body + L" } } } }";
  ASSERT_EQ(S_OK, RunRegistryScript(script.c_str(), true, table_));
  EXPECT_EQ(L"a", String(L"Kept", nullptr));
  EXPECT_EQ(L"b", String(L"Kept", L"v"));
  EXPECT_TRUE(Exists(L"Gone"));
  ASSERT_EQ(S_OK, RunRegistryScript(script.c_str(), false, table_));
  EXPECT_TRUE(Exists(L"Kept"));
  EXPECT_FALSE(String(L"Kept", L"v").has_value());
  EXPECT_FALSE(Exists(L"Gone"));
}

TEST_F(Interpreter, MalformedStatementsFail) {
  // "=" written against the name: the name token holds "=s" and no "=" follows.
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"val Name=s 'x'"));
  EXPECT_FALSE(String(L"", L"Name=s").has_value());
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"A\\B { }"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"ForceRemove A\\B { }"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"val X = q 'x'"));
  EXPECT_EQ(DISP_E_EXCEPTION, Unregister(L"A\\B { }"));
  EXPECT_FALSE(Exists(L"A"));
  // Value names are limited to 259 characters.
  EXPECT_EQ(S_OK, Register(L"val " + std::wstring(259, L'v') + L" = s 'x'"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"val " + std::wstring(260, L'v') + L" = s 'x'"));
  // No block belongs to a value or a "Delete".
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"val V = s 'x' { }"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"Delete K { }"));
}

TEST_F(Interpreter, EmptyKeyNamesAreRefused) {
  // An empty name reopens the block's own key: a delete by it would take
  // that key and everything below it.
  scratch_.CreateSubkey(L"Sibling");
  scratch_.CreateSubkey(L"Leaf");
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"ForceRemove '' { }"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"Delete ''"));
  EXPECT_TRUE(Exists(L"Sibling"));
  EXPECT_EQ(DISP_E_EXCEPTION, Register(L"'' = s 'x'"));
  EXPECT_FALSE(String(L"", nullptr).has_value());
  EXPECT_EQ(DISP_E_EXCEPTION, Unregister(L"NoRemove Leaf { '' { } }"));
  EXPECT_TRUE(Exists(L"Leaf"));
}

TEST_F(Interpreter, BinaryValues) {
  ASSERT_EQ(S_OK, Register(L"val Two = b ABcd val Digit = B 1G val Empty = b ''"));
  EXPECT_EQ((std::vector<BYTE>{0xAB, 0xCD}), Bytes(L"Two", REG_BINARY));
  EXPECT_EQ((std::vector<BYTE>{0x10}), Bytes(L"Digit", REG_BINARY));
  EXPECT_EQ((std::vector<BYTE>{}), Bytes(L"Empty", REG_BINARY));

  const std::wstring big(600, L'f');
  ASSERT_EQ(S_OK, Register(L"val Big = b " + big));
  EXPECT_EQ(std::vector<BYTE>(300, 0xFF), Bytes(L"Big", REG_BINARY));

  EXPECT_EQ(E_FAIL, Register(L"val Odd = b ABC"));
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, scratch_.Path(), L"Odd").has_value());
}

TEST_F(Interpreter, MultiStringValues) {
  ASSERT_EQ(S_OK, Register(L"val One = m 'a\\0b' val Two = m 'a\\0b\\0' val Three = m 'a\\0\\0b' val Four = m 'a\\b'"));
  const std::vector<BYTE> aNulBNulNul = Utf16Bytes(std::wstring(L"a\0b\0\0", 5));
  EXPECT_EQ(aNulBNulNul, Bytes(L"One", REG_MULTI_SZ));
  EXPECT_EQ(aNulBNulNul, Bytes(L"Two", REG_MULTI_SZ));
  EXPECT_EQ(Utf16Bytes(std::wstring(L"a\0\0", 3)), Bytes(L"Three", REG_MULTI_SZ));
  EXPECT_EQ(Utf16Bytes(std::wstring(L"a\\b\0\0", 5)), Bytes(L"Four", REG_MULTI_SZ));

  const std::wstring big(300, L'z');
  ASSERT_EQ(S_OK, Register(L"val Big = m '" + big + L"'"));
  EXPECT_EQ(Utf16Bytes(big + std::wstring(2, L'\0')), Bytes(L"Big", REG_MULTI_SZ));
}

TEST_F(Interpreter, DwordValues) {
  ASSERT_EQ(S_OK, Register(L"val Number = d 305419896 val Max = D '4294967295'"));
  EXPECT_EQ((std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}), Bytes(L"Number", REG_DWORD));
  EXPECT_EQ((std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}), Bytes(L"Max", REG_DWORD));
  // Not a number: refused with the conversion's failure, nothing written.
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Register(L"val Word = d 'twelve'"));
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, scratch_.Path(), L"Word").has_value());
}

TEST_F(Interpreter, ForceRemoveSparesProtectedNames) {
  scratch_.CreateSubkey(L"CLSID\\Kept");
  scratch_.CreateSubkey(L"Other\\Deep\\Deeper");
  ASSERT_EQ(S_OK, Register(L"ForceRemove CLSID { New { } } ForceRemove Other = s 'fresh' { New { } }"));
  EXPECT_TRUE(Exists(L"CLSID\\Kept"));
  EXPECT_TRUE(Exists(L"CLSID\\New"));
  EXPECT_FALSE(Exists(L"Other\\Deep"));
  EXPECT_TRUE(Exists(L"Other\\New"));
  EXPECT_EQ(L"fresh", String(L"Other", nullptr));
}

TEST_F(Interpreter, DeleteRemovesATreeAndCreatesNothing) {
  scratch_.CreateSubkey(L"Old\\Deep");
  scratch_.CreateSubkey(L"Software\\Kept");
  ASSERT_EQ(S_OK, Register(L"Delete Old = s 'ignored' Delete Absent Delete Software"));
  EXPECT_FALSE(Exists(L"Old"));
  EXPECT_FALSE(Exists(L"Absent"));
  EXPECT_TRUE(Exists(L"Software\\Kept"));
}

TEST_F(Interpreter, UnregisterRemovesDescribedContentBottomUp) {
  const std::wstring script =
      L"NoRemove Shared { Mine = s 'x' { Inner { val V = s 'v' } val W = d 1 } val Keep = s 'k' }"
      L" NoRemove val Stays = s 's'";
  ASSERT_EQ(S_OK, Register(script));
  ASSERT_TRUE(String(L"Shared\\Mine\\Inner", L"V").has_value());
  ASSERT_EQ(S_OK, Unregister(script));
  EXPECT_TRUE(Exists(L"Shared"));
  EXPECT_FALSE(Exists(L"Shared\\Mine"));
  EXPECT_FALSE(String(L"Shared", L"Keep").has_value());
  EXPECT_EQ(L"s", String(L"", L"Stays"));
  // A second run finds nothing and still succeeds.
  EXPECT_EQ(S_OK, Unregister(script));
}

TEST_F(Interpreter, UnregisterWithAbsentKeysParsesEveryBlock) {
  scratch_.CreateSubkey(L"Present");
  // The absent keys' blocks hold statements that would fail if run; the
  // present key after them is still found and deleted.
  ASSERT_EQ(S_OK, Unregister(L"Absent = s 'x' { Deeper { val V = s 'v' } val W = b 0 } "
                             L"ForceRemove AlsoAbsent { } Present { }"));
  EXPECT_FALSE(Exists(L"Present"));
  EXPECT_TRUE(Exists(L""));
}

TEST_F(Interpreter, MalformedBlockOfAnAbsentKeyStopsUnregistering) {
  scratch_.CreateSubkey(L"Present");
  // Read on from inside the broken block, "Present" would be taken as a
  // statement of the scratch key's own block and deleted there.
  EXPECT_EQ(DISP_E_EXCEPTION, Unregister(L"Absent { Bad\\Name { Present { } } }"));
  EXPECT_TRUE(Exists(L"Present"));
}

TEST_F(Interpreter, UnregisterFailsOnAnUndescribedSubkey) {
  const std::wstring script = L"Key { Described { } val V = s 'v' }";
  ASSERT_EQ(S_OK, Register(script));
  scratch_.CreateSubkey(L"Key\\Foreign");
  // The delete of a key with subkeys fails with access denied.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), Unregister(script));
  EXPECT_FALSE(Exists(L"Key\\Described"));
  EXPECT_FALSE(String(L"Key", L"V").has_value());
  EXPECT_TRUE(Exists(L"Key\\Foreign"));
}

TEST_F(Interpreter, KeyInBracesAfterAKeyWithoutValue) {
  const std::wstring body = L"Plain {B5A0E5D0-0000-4000-8000-000000000001} = s 'guid' { Sub { } }";
  ASSERT_EQ(S_OK, Register(body));
  EXPECT_TRUE(Exists(L"Plain"));
  EXPECT_EQ(L"guid", String(L"{B5A0E5D0-0000-4000-8000-000000000001}", nullptr));
  EXPECT_TRUE(Exists(L"{B5A0E5D0-0000-4000-8000-000000000001}\\Sub"));
  ASSERT_EQ(S_OK, Unregister(body));
  EXPECT_FALSE(Exists(L"Plain"));
  EXPECT_FALSE(Exists(L"{B5A0E5D0-0000-4000-8000-000000000001}"));
}

TEST_F(Interpreter, FailedRootBlockIsTakenBackInRegisterMode) {
  const std::wstring first = scratch_.Wrap(L"First = s '1'");
  const std::wstring second = scratch_.Wrap(L"Second = s '2' { val Good = s 'g' } Third = s 'x' { val Bad = q 'x' }");
  ASSERT_EQ(DISP_E_EXCEPTION, RunRegistryScript((first + second).c_str(), true, table_));
  EXPECT_EQ(L"1", String(L"First", nullptr));
  EXPECT_FALSE(Exists(L"Second"));
  EXPECT_FALSE(Exists(L"Third"));
  EXPECT_TRUE(Exists(L""));
}

TEST_F(Interpreter, UnregisterStopsAtTheFirstFailedRootBlock) {
  ASSERT_EQ(S_OK, Register(L"Blocked { } Later { }"));
  scratch_.CreateSubkey(L"Blocked\\Foreign");
  const std::wstring script = scratch_.Wrap(L"Blocked { }") + scratch_.Wrap(L"Later { }");
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), RunRegistryScript(script.c_str(), false, table_));
  EXPECT_TRUE(Exists(L"Later"));
}

TEST_F(Interpreter, DeleteKeyTreeReportsStatus) {
  scratch_.CreateSubkey(L"Tree\\A\\B");
  scratch_.CreateSubkey(L"Tree\\C");
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, scratch_.Path().c_str(), 0, KEY_ALL_ACCESS, &scratch));
  EXPECT_EQ(ERROR_SUCCESS, ScriptInterpreter::DeleteKeyTree(scratch, L"Tree"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ScriptInterpreter::DeleteKeyTree(scratch, L"Tree"));
  ::RegCloseKey(scratch);
  EXPECT_FALSE(Exists(L"Tree"));
}

// Links below the scratch key point into a second scratch key, the target,
// whose content a delete that follows links would take.
class RegistryLinks : public Interpreter {
 protected:
  RegistryLinks() : target_(testing::CurrentTestName() + L"Target") {
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, target_.Path(L"Sub\\Deeper").c_str(), L"V",
                                               REG_SZ, L"kept", sizeof(L"kept")));
  }
  void ExpectTargetUntouched() {
    EXPECT_EQ(L"kept", ReadString(HKEY_CURRENT_USER, target_.Path(L"Sub\\Deeper"), L"V"));
  }

  ScratchKey target_;
};

TEST_F(RegistryLinks, RegisterModeDeletesTheLinkNotItsTarget) {
  const ScratchLink inKey(scratch_.Path(L"Key\\Link"), target_.Path());
  const ScratchLink named(scratch_.Path(L"Named"), target_.Path());
  const ScratchLink deleted(scratch_.Path(L"Deleted"), target_.Path());
  ASSERT_EQ(S_OK, Register(L"ForceRemove Key { New { } } ForceRemove Named = s 'new' { Sub { } } Delete Deleted"));
  EXPECT_FALSE(Exists(L"Key\\Link"));
  EXPECT_TRUE(Exists(L"Key\\New"));
  // The link's place holds a key of its own now.
  EXPECT_FALSE(IsLink(scratch_.Path(L"Named")));
  EXPECT_FALSE(Exists(L"Named\\Sub\\Deeper"));
  EXPECT_FALSE(IsLink(scratch_.Path(L"Deleted")));
  ExpectTargetUntouched();
}

TEST_F(RegistryLinks, UnregisterModeDeletesTheLinkNotItsTarget) {
  const ScratchLink link(scratch_.Path(L"Key\\Link"), target_.Path());
  // The script describes the whole target: followed, the link would lead there.
  ASSERT_EQ(S_OK, Unregister(L"Key { Link { Sub { Deeper { val V = s 'x' } } } }"));
  EXPECT_FALSE(Exists(L"Key"));
  ExpectTargetUntouched();
}

TEST_F(RegistryLinks, DeleteKeyTreeDeletesALinkItself) {
  const ScratchLink link(scratch_.Path(L"Link"), target_.Path());
  const ScratchLink dangling(scratch_.Path(L"Dangling"), target_.Path(L"Absent"));
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, scratch_.Path().c_str(), 0, KEY_ALL_ACCESS, &scratch));
  EXPECT_EQ(ERROR_SUCCESS, ScriptInterpreter::DeleteKeyTree(scratch, L"Link"));
  EXPECT_EQ(ERROR_SUCCESS, ScriptInterpreter::DeleteKeyTree(scratch, L"Dangling"));
  ::RegCloseKey(scratch);
  EXPECT_FALSE(IsLink(scratch_.Path(L"Link")));
  EXPECT_FALSE(IsLink(scratch_.Path(L"Dangling")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target_.Path(L"Absent")));
  ExpectTargetUntouched();
}

// A chain of levels keys "k": as script text, each key's block holding the
// next, and as the path of its last key.
std::wstring NestedKeys(size_t levels) { return Repeat(L"k { ", levels) + Repeat(L"} ", levels); }
std::wstring ChainPath(size_t levels) { return L"k" + Repeat(L"\\k", levels - 1); }

// Wrap puts four blocks around a body: HKCU, Software, VadunaTest and the scratch key.
constexpr size_t kLevelsAtBound = ScriptInterpreter::kMaxBlockDepth - 4;

TEST_F(Interpreter, BlocksNestedToTheBoundRunInEveryMode) {
  const std::wstring script = NestedKeys(kLevelsAtBound);
  ASSERT_EQ(S_OK, Register(script));
  EXPECT_TRUE(Exists(ChainPath(kLevelsAtBound)));
  EXPECT_EQ(S_OK, Unregister(script));
  EXPECT_FALSE(Exists(L"k"));
  EXPECT_EQ(S_OK, Unregister(script));  // all absent: skip mode
}

TEST_F(Interpreter, BlocksNestedBeyondTheBoundFailInEveryMode) {
  scratch_.CreateSubkey(L"Present");
  for (const size_t levels : {kLevelsAtBound + 1, size_t{100000}}) {
    SCOPED_TRACE(levels);
    const std::wstring nested = NestedKeys(levels);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.Path(L"k").c_str());
    // Skip mode, "k" being absent: the run ends there.
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(nested + L"Present { }"));
    EXPECT_TRUE(Exists(L"Present"));
    // Register mode: refused before "ForceRemove" deletes or anything is made.
    scratch_.CreateSubkey(L"k\\Kept");
    EXPECT_EQ(DISP_E_EXCEPTION, Register(L"ForceRemove " + nested));
    EXPECT_TRUE(Exists(L"k\\Kept"));
    EXPECT_FALSE(Exists(L"k\\k"));
    // Unregister mode, the keys present past the bound: nothing is removed.
    scratch_.CreateSubkey(ChainPath(kLevelsAtBound + 1));
    EXPECT_EQ(DISP_E_EXCEPTION, Unregister(nested));
    EXPECT_TRUE(Exists(ChainPath(kLevelsAtBound + 1)));
  }
}

TEST_F(Interpreter, DeleteKeyTreeStopsAtItsDepthBound) {
  // Platform difference: Windows keeps at most 512 levels of keys, so no tree
  // below the scratch key reaches the bound there; Wine keeps deeper ones.
  if (!test::RunningUnderWine()) GTEST_SKIP() << "no key tree this deep on Windows";
  const size_t bound = ScriptInterpreter::kMaxKeyTreeDepth;
  scratch_.CreateSubkey(ChainPath(bound + 1));
  HKEY scratch = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, scratch_.Path().c_str(), 0, KEY_ALL_ACCESS, &scratch));
  EXPECT_EQ(ERROR_CANTOPEN, ScriptInterpreter::DeleteKeyTree(scratch, L"k"));
  EXPECT_TRUE(Exists(ChainPath(bound + 1)));
  ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_CURRENT_USER, scratch_.Path(ChainPath(bound + 1)).c_str()));
  EXPECT_EQ(ERROR_SUCCESS, ScriptInterpreter::DeleteKeyTree(scratch, L"k"));
  ::RegCloseKey(scratch);
  EXPECT_FALSE(Exists(L"k"));
}

}  // namespace
}  // namespace vaduna
