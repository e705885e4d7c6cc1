#include "ui/x11_keyboard.h"

#include <fcntl.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>

// After Qt: Xlib's macros would otherwise rename Qt's names.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#undef KeyPress
#undef KeyRelease

namespace talmeris::ui {
namespace {

constexpr unsigned kVkOem3 = 0xC0;  // the key left of 1

KeySym KeySymFor(unsigned virtual_key) {
  return virtual_key == kVkOem3 ? XK_grave : NoSymbol;
}

// A grab another program already holds fails asynchronously; Xlib's default would end the
// process. The handler runs inside the XSync below, on the calling thread.
thread_local bool t_x_error = false;
int NoteError(Display*, XErrorEvent*) {
  t_x_error = true;
  return 0;
}

}  // namespace

X11Keyboard::X11Keyboard(const char* display) {
  display_ = XOpenDisplay(display);
  if (display_) fcntl(ConnectionNumber(display_), F_SETFD, FD_CLOEXEC);
}

X11Keyboard::~X11Keyboard() {
  if (display_) XCloseDisplay(display_);
}

bool X11Keyboard::RegisterHotKey(WindowId, int, unsigned, unsigned virtual_key) {
  if (!display_) return false;
  const KeyCode code = XKeysymToKeycode(display_, KeySymFor(virtual_key));
  if (code == 0) return false;
  const Window root = DefaultRootWindow(display_);
  auto previous = XSetErrorHandler(&NoteError);
  t_x_error = false;
  // With and without Caps Lock and Num Lock, which X counts as modifiers.
  for (unsigned locks : {0u, unsigned{LockMask}, unsigned{Mod2Mask}, unsigned{LockMask | Mod2Mask}})
    XGrabKey(display_, code, locks, root, True, GrabModeAsync, GrabModeAsync);
  XSync(display_, False);
  XSetErrorHandler(previous);
  return !t_x_error;
}

bool X11Keyboard::IsKeyDown(unsigned virtual_key) {
  if (!display_) return false;
  // The grab delivers the key's events here; nobody needs them but they must not pile up.
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
  }
  const KeyCode code = XKeysymToKeycode(display_, KeySymFor(virtual_key));
  if (code == 0) return false;
  char keys[32];
  XQueryKeymap(display_, keys);
  return (keys[code / 8] >> (code % 8)) & 1;
}

FocusKeyboard::FocusKeyboard() {
  QCoreApplication::instance()->installEventFilter(this);
}

bool FocusKeyboard::IsKeyDown(unsigned virtual_key) {
  return virtual_key == kVkOem3 && down_.load();
}

bool FocusKeyboard::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_QuoteLeft && !key->isAutoRepeat())
      down_.store(event->type() == QEvent::KeyPress);
  }
  return QObject::eventFilter(watched, event);
}

std::unique_ptr<KeyboardPort> CreateKeyboard(bool* global) {
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    auto x11 = std::make_unique<X11Keyboard>();
    if (x11->Available()) {
      *global = true;
      return x11;
    }
  }
  *global = false;
  return std::make_unique<FocusKeyboard>();
}

}  // namespace talmeris::ui
