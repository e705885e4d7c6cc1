// The port through which the core reaches windows. The core never includes a toolkit: every
// window operation it needs is one call here, naming windows by id and controls by the numbers
// of the dialog templates. Texts are single-byte (ISO 8859-1); the toolkit widens them.
//
// Threads: calls that return nothing may come from any thread; from a worker thread they are
// posted to the main thread and never wait for it. The query calls (those returning a value other
// than a message box answer) are made on the main thread only. A message box blocks its caller
// until answered; a box whose owner dialog has ended answers at once, so a worker waiting on one
// never holds up shutdown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talmeris {

using WindowId = std::uint32_t;
constexpr WindowId kNoWindow = 0;

// Message box types (icon and buttons) and answers, with the values the program always used.
enum : unsigned {
  kMbOk = 0x00,
  kMbOkCancel = 0x01,
  kMbYesNo = 0x04,
  kMbRetryCancel = 0x05,
  kMbIconError = 0x10,  // also "stop"
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
  // Ours: the text is a report of tab-separated columns, shown unwrapped in a fixed-width font
  // with a tab stop every 8 characters so that the columns line up.
  kMbTabular = 0x10000,
};
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

// Notification codes delivered with a command.
enum : int {
  kNotifyClicked = 0,      // button clicked; also menu/accelerator
  kNotifySelChange = 1,    // list or drop-down selection changed
  kNotifyDoubleClick = 2,  // list double-click
  kNotifyEditChange = 0x300,
};

// Dialog templates, by resource id.
enum : int {
  kMainDialog = 130,
  kOfflineMessagesDialog = 139,
  kPlayerInfoDialog = 141,
  kConfigurationDialog = 142,
  kProfileEditorDialog = 150,
  kPasswordDialog = 170,
  kJoystickMappingDialog = 173,
  kLoginDialog = 160,
  kWelcomeDialog = 166,
  kNewAccountDialog = 171,
  kAudioSetupDialog = 180,  // the voice layer's own
};

class WindowPort {
 public:
  virtual ~WindowPort() = default;

  // Control state; any thread.
  virtual void EnableControl(WindowId window, int control, bool enabled) = 0;
  virtual void CheckControl(WindowId window, int control, bool checked) = 0;
  virtual void SetControlText(WindowId window, int control, std::string_view text) = 0;
  virtual void SetReadOnly(WindowId window, int control, bool read_only) = 0;
  virtual void FocusControl(WindowId window, int control) = 0;
  virtual void SetTextLimit(WindowId window, int control, int max_chars) = 0;
  virtual void SetWindowTitle(WindowId window, std::string_view title) = 0;
  // A push button shown pushed (or released) by the program, as a held mouse button shows it.
  virtual void SetButtonDown(WindowId window, int control, bool down) = 0;
  // A progress bar's value.
  virtual void SetControlValue(WindowId window, int control, int value) = 0;

  // Lists (list boxes and drop-down lists); any thread.
  virtual void ListAdd(WindowId window, int control, std::string_view text) = 0;
  virtual void ListDeleteExact(WindowId window, int control, std::string_view text) = 0;
  virtual void ListClear(WindowId window, int control) = 0;
  virtual void ListSelect(WindowId window, int control, int index) = 0;
  virtual void ListDeleteAt(WindowId window, int control, int index) = 0;
  // From now on the list keeps its items sorted by text, letters compared without regard to case.
  virtual void SortList(WindowId window, int control) = 0;

  // Queries; main thread only.
  virtual std::string ControlText(WindowId window, int control) = 0;
  virtual bool IsChecked(WindowId window, int control) = 0;
  // Pushed by the program or held down with the mouse.
  virtual bool IsButtonDown(WindowId window, int control) = 0;
  virtual int ListFindExact(WindowId window, int control, std::string_view text) = 0;
  virtual int ListCount(WindowId window, int control) = 0;
  virtual int ListSelection(WindowId window, int control) = 0;  // -1 = none
  virtual std::string ListSelectedText(WindowId window, int control) = 0;
  virtual std::string ListItemText(WindowId window, int control, int index) = 0;

  // Any thread: the width in pixels of a text in the system's general font, as the chat display
  // shows it.
  virtual int TextWidth(std::string_view text) = 0;

  // Windows; any thread.
  virtual void EndDialog(WindowId window, int code) = 0;
  virtual void RequestClose(WindowId window) = 0;  // the orderly close, as the close box does
  virtual void PostRefresh(WindowId window) = 0;   // the event log's notification
  virtual void StopTimer(WindowId window) = 0;
  // Main thread: draws the window's pending changes now, before the caller blocks.
  virtual void Repaint(WindowId window) = 0;

  // Modal; main thread only. Returns the dialog's end code.
  virtual int RunModalDialog(WindowId owner, int resource) = 0;
  // Any thread, never waits: shows the box on the main thread; once it is answered, ends `owner`
  // with `then` (kThenNothing: no more; kThenClose: the orderly close, as the close box does).
  virtual void PostMessageBox(WindowId owner, std::string_view text, std::string_view caption,
                              unsigned type, int then) = 0;
  static constexpr int kThenNothing = 0;
  static constexpr int kThenClose = -1;

  // Modal; any thread. Blocks the caller until answered.
  virtual int MessageBox(WindowId owner, std::string_view text, std::string_view caption,
                         unsigned type) = 0;
};

}  // namespace talmeris
