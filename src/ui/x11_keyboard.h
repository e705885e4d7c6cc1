// The push-to-talk key. Under X11 it is grabbed on the root window, so it works (and is kept
// from other programs) whichever window has the focus, and its state is read from the server's
// keymap. Elsewhere (Wayland) only the client's own windows see it.
#pragma once

#include <QObject>
#include <atomic>
#include <memory>

#include "state/keyboard_port.h"

struct _XDisplay;

namespace talmeris::ui {

class X11Keyboard final : public KeyboardPort {
 public:
  // Opens its own connection to the X server named by `display` (null: $DISPLAY).
  explicit X11Keyboard(const char* display = nullptr);
  ~X11Keyboard() override;
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;
  bool Available() const { return display_ != nullptr; }
  bool RegisterHotKey(WindowId window, int id, unsigned modifiers, unsigned virtual_key) override;
  bool IsKeyDown(unsigned virtual_key) override;

 private:
  ::_XDisplay* display_ = nullptr;
};

// The key as the client's own windows see it: an application-wide event filter.
class FocusKeyboard final : public QObject, public KeyboardPort {
 public:
  FocusKeyboard();
  bool RegisterHotKey(WindowId, int, unsigned, unsigned) override { return true; }
  bool IsKeyDown(unsigned virtual_key) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::atomic<bool> down_{false};
};

// The X11 keyboard when there is an X server, else the focus keyboard; `note` says which.
std::unique_ptr<KeyboardPort> CreateKeyboard(bool* global);

}  // namespace talmeris::ui
