// The window port on Qt Widgets. Dialogs are built from their Designer templates; controls are
// found by their object names ("ctl" and the control id). Calls from worker threads are posted
// to the main thread; only message boxes wait for it.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <array>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "state/dialog.h"
#include "state/window_port.h"

class QMessageBox;
class QTimer;
class QWidget;

namespace talmeris {
struct ClientContext;

namespace ui {

class QtWindowPort final : public QObject, public WindowPort {
 public:
  QtWindowPort();
  ~QtWindowPort() override;

  // The context passed to the dialog procedures. Set before the first dialog runs.
  void SetContext(ClientContext* ctx) { ctx_ = ctx; }

  // Every message box a worker is waiting on, and every later one, answers at once. Called
  // when the main dialog has ended so that shutdown never waits on a box.
  void ReleaseWaiters();

  // The open dialog of a window id, for tests; null when it has ended.
  QDialog* DialogOf(WindowId window) const;
  QWidget* ControlOf(WindowId window, int control) const;
  WindowId LastOpened() const { return last_opened_.load(); }

  void EnableControl(WindowId window, int control, bool enabled) override;
  void CheckControl(WindowId window, int control, bool checked) override;
  void SetControlText(WindowId window, int control, std::string_view text) override;
  void SetReadOnly(WindowId window, int control, bool read_only) override;
  void FocusControl(WindowId window, int control) override;
  void SetTextLimit(WindowId window, int control, int max_chars) override;
  void SetWindowTitle(WindowId window, std::string_view title) override;
  void ListAdd(WindowId window, int control, std::string_view text) override;
  void ListDeleteExact(WindowId window, int control, std::string_view text) override;
  void ListClear(WindowId window, int control) override;
  void ListSelect(WindowId window, int control, int index) override;
  void ListDeleteAt(WindowId window, int control, int index) override;
  void SortList(WindowId window, int control) override;
  std::string ControlText(WindowId window, int control) override;
  bool IsChecked(WindowId window, int control) override;
  void SetButtonDown(WindowId window, int control, bool down) override;
  void SetControlValue(WindowId window, int control, int value) override;
  bool IsButtonDown(WindowId window, int control) override;
  int ListFindExact(WindowId window, int control, std::string_view text) override;
  int ListCount(WindowId window, int control) override;
  int ListSelection(WindowId window, int control) override;
  std::string ListSelectedText(WindowId window, int control) override;
  std::string ListItemText(WindowId window, int control, int index) override;
  int TextWidth(std::string_view text) override;
  void EndDialog(WindowId window, int code) override;
  void RequestClose(WindowId window) override;
  void PostRefresh(WindowId window) override;
  void StopTimer(WindowId window) override;
  void PostMessageBox(WindowId owner, std::string_view text, std::string_view caption,
                      unsigned type, int then) override;
  void Repaint(WindowId window) override;
  int RunModalDialog(WindowId owner, int resource) override;
  int MessageBox(WindowId owner, std::string_view text, std::string_view caption,
                 unsigned type) override;

  // A list's Enter, Return or context-menu key on a selected entry: what a double-click does.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Advance widths of the 256 single-byte characters in the general system font, measured once
  // on the main thread so that any thread can measure.
  std::array<std::uint16_t, 256> advances_{};

  struct Window {
    QPointer<QDialog> dialog;
    const DialogProcedure* procedure = nullptr;
    std::unordered_map<int, QWidget*> controls;
    std::vector<QPointer<QMessageBox>> boxes;
    QTimer* timer = nullptr;
    bool ended = false;
  };

  bool OnMainThread() const { return std::this_thread::get_id() == main_thread_; }
  // Runs `f` now on the main thread, or posts it there from another thread.
  template <typename F>
  void Run(F&& f);
  Window* Find(WindowId window) const;        // main thread
  void EndWindow(WindowId window, int code);  // main thread
  QWidget* Control(WindowId window, int control) const;
  void Wire(WindowId id, Window& w);
  void Command(WindowId id, int control, int notification);
  int ShowBox(WindowId owner, const QString& text, const QString& caption, unsigned type);
  void CloseBoxesOf(Window& w);

  ClientContext* ctx_ = nullptr;
  std::thread::id main_thread_;
  std::map<WindowId, std::unique_ptr<Window>> windows_;  // main thread
  std::atomic<WindowId> next_id_{1};
  std::atomic<WindowId> last_opened_{kNoWindow};

  std::mutex refresh_mutex_;
  std::vector<WindowId> refresh_pending_;

  std::mutex box_mutex_;
  std::condition_variable box_cv_;
  bool released_ = false;
};

// The answer a message box gives when it is closed without the user.
int DefaultAnswer(unsigned type);

}  // namespace ui
}  // namespace talmeris
