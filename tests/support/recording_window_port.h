// A window port that records every call and plays a scripted user: message boxes and modal
// dialogs answer as the test says.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "state/window_port.h"

namespace talmeris::test {

struct BoxCall {
  WindowId owner;
  std::string text;
  std::string caption;
  unsigned type;
};

class RecordingWindowPort : public WindowPort {
 public:
  // Every call as a line, e.g. "enable 5:1025 0", "text 5:1049 Lag: 12 ms".
  std::vector<std::string> Calls() const;
  std::vector<BoxCall> Boxes() const;
  int CountCalls(const std::string& prefix) const;
  void ClearCalls();

  // Scripted answers. A modal dialog runs `on_dialog[resource]` if set, else returns the
  // next scripted end code for it, else 2.
  std::map<int, std::deque<int>> dialog_results;
  std::map<int, std::function<int(WindowId owner)>> on_dialog;
  std::deque<int> box_answers;  // default kIdOk
  std::function<void(const BoxCall&)> on_box;

  // State the queries read.
  std::map<std::pair<WindowId, int>, std::string> texts;
  std::map<std::pair<WindowId, int>, bool> checked;
  std::map<std::pair<WindowId, int>, std::vector<std::string>> lists;
  std::map<std::pair<WindowId, int>, int> selection;
  std::set<std::pair<WindowId, int>> sorted_lists;
  std::map<std::pair<WindowId, int>, bool> enabled;
  std::map<std::pair<WindowId, int>, bool> down;  // buttons shown pushed (or held by the user)
  std::map<std::pair<WindowId, int>, int> values;
  std::map<WindowId, int> ended;  // EndDialog codes
  int refreshes = 0;

  // Reads for threads other than the one driving the port (taken under its lock).
  int EndCode(WindowId w) const;  // -1 while not ended
  int RefreshCount(WindowId w) const {
    std::lock_guard lock(mutex_);
    auto it = refreshed_.find(w);
    return it == refreshed_.end() ? 0 : it->second;
  }
  std::vector<std::string> ListSnapshot(WindowId w, int c) const;

  // Accessors that read well inside assertions.
  std::string& Text(WindowId w, int c) { return texts[{w, c}]; }
  bool& Checked(WindowId w, int c) { return checked[{w, c}]; }
  bool& Enabled(WindowId w, int c) { return enabled[{w, c}]; }
  bool EnableTouched(WindowId w, int c) const { return enabled.count({w, c}) > 0; }
  std::vector<std::string>& List(WindowId w, int c) { return lists[{w, c}]; }
  int& Selection(WindowId w, int c) { return selection[{w, c}]; }

  void EnableControl(WindowId window, int control, bool on) override;
  void CheckControl(WindowId window, int control, bool on) override;
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
  // Deterministic: 6 pixels a character, 9 for 'M' and 'm', 12 for 'W'.
  int TextWidth(std::string_view text) override;
  void EndDialog(WindowId window, int code) override;
  void RequestClose(WindowId window) override;
  void PostRefresh(WindowId window) override;
  void StopTimer(WindowId window) override;
  // Recorded as a box (answered at once), then the end or the close it asks for.
  void PostMessageBox(WindowId owner, std::string_view text, std::string_view caption,
                      unsigned type, int then) override;
  void Repaint(WindowId window) override;
  int RunModalDialog(WindowId owner, int resource) override;
  int MessageBox(WindowId owner, std::string_view text, std::string_view caption,
                 unsigned type) override;

 private:
  void Record(std::string line);
  mutable std::recursive_mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<BoxCall> boxes_;
  std::map<WindowId, int> refreshed_;
};

}  // namespace talmeris::test
