// A window port with no windows: every call is accepted and nothing is shown. For headless runs
// (fuzz targets, benchmarks); message boxes answer OK and modal dialogs end with 2.
#pragma once

#include "state/window_port.h"

namespace talmeris {

class NullWindowPort final : public WindowPort {
 public:
  void EnableControl(WindowId, int, bool) override {}
  void CheckControl(WindowId, int, bool) override {}
  void SetControlText(WindowId, int, std::string_view) override {}
  void SetReadOnly(WindowId, int, bool) override {}
  void FocusControl(WindowId, int) override {}
  void SetTextLimit(WindowId, int, int) override {}
  void SetWindowTitle(WindowId, std::string_view) override {}
  void ListAdd(WindowId, int, std::string_view) override {}
  void ListDeleteExact(WindowId, int, std::string_view) override {}
  void ListClear(WindowId, int) override {}
  void ListSelect(WindowId, int, int) override {}
  void ListDeleteAt(WindowId, int, int) override {}
  void SortList(WindowId, int) override {}
  std::string ControlText(WindowId, int) override { return {}; }
  bool IsChecked(WindowId, int) override { return false; }
  void SetButtonDown(WindowId, int, bool) override {}
  void SetControlValue(WindowId, int, int) override {}
  bool IsButtonDown(WindowId, int) override { return false; }
  int ListFindExact(WindowId, int, std::string_view) override { return -1; }
  int ListCount(WindowId, int) override { return 0; }
  int ListSelection(WindowId, int) override { return -1; }
  std::string ListSelectedText(WindowId, int) override { return {}; }
  std::string ListItemText(WindowId, int, int) override { return {}; }
  int TextWidth(std::string_view text) override { return 6 * static_cast<int>(text.size()); }
  void EndDialog(WindowId, int) override {}
  void RequestClose(WindowId) override {}
  void PostRefresh(WindowId) override {}
  void PostMessageBox(WindowId, std::string_view, std::string_view, unsigned, int) override {}
  void StopTimer(WindowId) override {}
  void Repaint(WindowId) override {}
  int RunModalDialog(WindowId, int) override { return 2; }
  int MessageBox(WindowId, std::string_view, std::string_view, unsigned) override { return 1; }
};

}  // namespace talmeris
