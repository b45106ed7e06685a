// Serialises what the server does with one script object's handle member:
// finding its wrapper by the handle, binding a new wrapper and writing the
// handle, resetting it when a wrapper goes, and changing the children of a
// script property set. Without it, two threads making the first GetService
// for one script service would each make a wrapper, and a duplicate's
// clean-up would erase the handle of the wrapper that lives.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace vaduna {

class WrapGate {
 public:
  // Blocks while another thread holds the gate of identity (a script
  // object's COM identity); re-entrant on the thread that holds it, as a
  // page may call back on the calling thread. A null identity gates nothing.
  explicit WrapGate(IUnknown* identity) noexcept;
  ~WrapGate();
  WrapGate(const WrapGate&) = delete;
  WrapGate& operator=(const WrapGate&) = delete;

 private:
  IUnknown* identity_;  // null when nothing is held
};

}  // namespace vaduna
