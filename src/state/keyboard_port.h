// The push-to-talk key: a system-wide hot key that keeps the key from other programs, and the
// key's state for polling. Implemented on X11 in src/ui/x11_keyboard.cpp.
#pragma once

#include "state/window_port.h"

namespace talmeris {

class KeyboardPort {
 public:
  virtual ~KeyboardPort() = default;
  virtual bool RegisterHotKey(WindowId window, int id, unsigned modifiers,
                              unsigned virtual_key) = 0;
  virtual bool IsKeyDown(unsigned virtual_key) = 0;
};

// The stand-in: registers nothing, no key is ever down.
class NullKeyboard final : public KeyboardPort {
 public:
  bool RegisterHotKey(WindowId, int, unsigned, unsigned) override { return true; }
  bool IsKeyDown(unsigned) override { return false; }
};

}  // namespace talmeris
