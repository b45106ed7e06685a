// A page script running in the JScript engine on the calling thread, which
// must be a single-threaded apartment that pumps messages.
#pragma once

#include <windows.h>
#include <activscp.h>
#include <wrl/client.h>

#include <string>

#include "tools/page_host/script_site.h"

namespace page_host {

class PageScript {
 public:
  PageScript() = default;
  PageScript(const PageScript&) = delete;
  PageScript& operator=(const PageScript&) = delete;
  ~PageScript();

  // Starts the engine with the "host" item and runs the script text.
  // Fails with the engine's HRESULT, or E_FAIL when the script raised an error.
  HRESULT Run(const std::wstring& code);

  // Reads a global variable of the script that holds an object.
  // DISP_E_TYPEMISMATCH when it holds no object.
  HRESULT GetGlobalObject(const wchar_t* name, Microsoft::WRL::ComPtr<IDispatch>& object);

  // Closes the engine; the script's objects that others still hold stay alive.
  void Close() noexcept;

 private:
  Microsoft::WRL::ComPtr<IActiveScript> engine_;
  Microsoft::WRL::ComPtr<ScriptSite> site_;
};

// Reads a UTF-8 text file (a BOM is skipped).
HRESULT ReadTextFile(const std::wstring& path, std::wstring& text);

}  // namespace page_host
