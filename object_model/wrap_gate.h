// Serialises what the server does with one script object's handle member:
// finding its wrapper by the handle, binding a new wrapper and writing the
// handle, resetting it when a wrapper goes, and changing the children of a
// script property set. Without it, two threads making the first GetService
// for one script service would each make a wrapper, and a duplicate's
// clean-up would erase the handle of the wrapper that lives.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <unordered_map>

namespace vaduna {

// The gates of one server: one entry per script object while a thread holds
// or waits for its gate. Outlives every object of its server context.
class WrapGates {
 public:
  WrapGates() noexcept = default;
  WrapGates(const WrapGates&) = delete;
  WrapGates& operator=(const WrapGates&) = delete;

 private:
  friend class WrapGate;
  struct Gate {
    DWORD holder = 0;  // thread id; 0 while free
    ULONG depth = 0;   // re-entries of the holder
    ULONG users = 0;   // the holder and the waiters; the entry goes at 0
  };
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE freed_ = CONDITION_VARIABLE_INIT;
  std::unordered_map<IUnknown*, Gate> gates_;
};

class WrapGate {
 public:
  // Blocks while another thread holds the gate of identity (a script
  // object's COM identity); re-entrant on the thread that holds it, as a
  // page may call back on the calling thread. A null identity gates nothing.
  WrapGate(WrapGates& gates, IUnknown* identity) noexcept;
  // Takes the gate only when no other thread holds it: a release must never
  // wait, as the holder may be waiting, across a call into the page, for a
  // callback on another thread that makes this very release.
  struct NoWait {};
  WrapGate(WrapGates& gates, IUnknown* identity, NoWait) noexcept;
  ~WrapGate();
  WrapGate(const WrapGate&) = delete;
  WrapGate& operator=(const WrapGate&) = delete;

  // Whether this gate holds its script object's gate.
  bool held() const noexcept { return identity_ != nullptr; }

 private:
  void Enter(IUnknown* identity, bool wait) noexcept;

  WrapGates& gates_;
  IUnknown* identity_;  // null when nothing is held
};

}  // namespace vaduna
