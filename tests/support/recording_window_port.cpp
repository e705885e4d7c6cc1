#include "support/recording_window_port.h"

#include <algorithm>
#include <cctype>

namespace talmeris::test {
namespace {
std::string Id(WindowId w, int c) {
  return std::to_string(w) + ":" + std::to_string(c);
}
bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}
}  // namespace

void RecordingWindowPort::Record(std::string line) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(line));
}
std::vector<std::string> RecordingWindowPort::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}
std::vector<BoxCall> RecordingWindowPort::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}
int RecordingWindowPort::CountCalls(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(
      calls_.begin(), calls_.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}
int RecordingWindowPort::EndCode(WindowId w) const {
  std::lock_guard lock(mutex_);
  auto it = ended.find(w);
  return it == ended.end() ? -1 : it->second;
}
std::vector<std::string> RecordingWindowPort::ListSnapshot(WindowId w, int c) const {
  std::lock_guard lock(mutex_);
  auto it = lists.find({w, c});
  return it == lists.end() ? std::vector<std::string>{} : it->second;
}
void RecordingWindowPort::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
  boxes_.clear();
}

void RecordingWindowPort::EnableControl(WindowId w, int c, bool on) {
  std::lock_guard lock(mutex_);
  enabled[{w, c}] = on;
  Record("enable " + Id(w, c) + (on ? " 1" : " 0"));
}
void RecordingWindowPort::CheckControl(WindowId w, int c, bool on) {
  std::lock_guard lock(mutex_);
  checked[{w, c}] = on;
  Record("check " + Id(w, c) + (on ? " 1" : " 0"));
}
void RecordingWindowPort::SetButtonDown(WindowId w, int c, bool on) {
  std::lock_guard lock(mutex_);
  down[{w, c}] = on;
  Record("down " + Id(w, c) + (on ? " 1" : " 0"));
}
void RecordingWindowPort::SetControlValue(WindowId w, int c, int value) {
  std::lock_guard lock(mutex_);
  values[{w, c}] = value;
}
bool RecordingWindowPort::IsButtonDown(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  return down[{w, c}];
}
void RecordingWindowPort::SetControlText(WindowId w, int c, std::string_view text) {
  std::lock_guard lock(mutex_);
  texts[{w, c}] = std::string(text);
  Record("text " + Id(w, c) + " " + std::string(text));
}
void RecordingWindowPort::SetReadOnly(WindowId w, int c, bool ro) {
  Record("readonly " + Id(w, c) + (ro ? " 1" : " 0"));
}
void RecordingWindowPort::FocusControl(WindowId w, int c) {
  Record("focus " + Id(w, c));
}
void RecordingWindowPort::SetTextLimit(WindowId w, int c, int n) {
  Record("limit " + Id(w, c) + " " + std::to_string(n));
}
void RecordingWindowPort::SetWindowTitle(WindowId w, std::string_view title) {
  Record("title " + std::to_string(w) + " " + std::string(title));
}
namespace {
bool LessNoCase(std::string_view a, std::string_view b) {
  auto fold = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
    return static_cast<unsigned char>(fold(x)) < static_cast<unsigned char>(fold(y));
  });
}
}  // namespace

void RecordingWindowPort::ListAdd(WindowId w, int c, std::string_view text) {
  std::lock_guard lock(mutex_);
  auto& l = lists[{w, c}];
  if (sorted_lists.count({w, c})) {
    l.insert(
        std::upper_bound(l.begin(), l.end(), text,
                         [](std::string_view t, const std::string& s) { return LessNoCase(t, s); }),
        std::string(text));
  } else {
    l.emplace_back(text);
  }
  Record("listadd " + Id(w, c) + " " + std::string(text));
}
void RecordingWindowPort::ListDeleteExact(WindowId w, int c, std::string_view text) {
  std::lock_guard lock(mutex_);
  auto& l = lists[{w, c}];
  auto it =
      std::find_if(l.begin(), l.end(), [&](const std::string& s) { return SameNoCase(s, text); });
  if (it != l.end()) l.erase(it);
  Record("listdelete " + Id(w, c) + " " + std::string(text));
}
void RecordingWindowPort::ListClear(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  lists[{w, c}].clear();
  Record("listclear " + Id(w, c));
}
void RecordingWindowPort::ListDeleteAt(WindowId w, int c, int index) {
  std::lock_guard lock(mutex_);
  auto& l = lists[{w, c}];
  if (index >= 0 && index < static_cast<int>(l.size())) l.erase(l.begin() + index);
  // As a list box does: the deleted row's selection goes with it, later rows move up.
  if (auto it = selection.find({w, c}); it != selection.end() && it->second >= index) {
    if (it->second == index) {
      selection.erase(it);
    } else {
      --it->second;
    }
  }
  Record("listdeleteat " + Id(w, c) + " " + std::to_string(index));
}
void RecordingWindowPort::SortList(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  sorted_lists.insert({w, c});
}
std::string RecordingWindowPort::ListItemText(WindowId w, int c, int index) {
  std::lock_guard lock(mutex_);
  auto& l = lists[{w, c}];
  return index >= 0 && index < static_cast<int>(l.size()) ? l[index] : std::string();
}
int RecordingWindowPort::TextWidth(std::string_view text) {
  int width = 0;
  for (char ch : text) width += ch == 'W' ? 12 : ch == 'M' || ch == 'm' ? 9 : 6;
  return width;
}
void RecordingWindowPort::ListSelect(WindowId w, int c, int index) {
  std::lock_guard lock(mutex_);
  selection[{w, c}] = index;
  Record("select " + Id(w, c) + " " + std::to_string(index));
}
std::string RecordingWindowPort::ControlText(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  return texts[{w, c}];
}
bool RecordingWindowPort::IsChecked(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  return checked[{w, c}];
}
int RecordingWindowPort::ListFindExact(WindowId w, int c, std::string_view text) {
  std::lock_guard lock(mutex_);
  auto& l = lists[{w, c}];
  for (std::size_t i = 0; i < l.size(); ++i) {
    if (SameNoCase(l[i], text)) return static_cast<int>(i);
  }
  return -1;
}
int RecordingWindowPort::ListCount(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  return static_cast<int>(lists[{w, c}].size());
}
int RecordingWindowPort::ListSelection(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  auto it = selection.find({w, c});
  return it == selection.end() ? -1 : it->second;
}
std::string RecordingWindowPort::ListSelectedText(WindowId w, int c) {
  std::lock_guard lock(mutex_);
  int index = ListSelection(w, c);
  auto& l = lists[{w, c}];
  return index >= 0 && index < static_cast<int>(l.size()) ? l[index] : std::string();
}
void RecordingWindowPort::EndDialog(WindowId w, int code) {
  std::lock_guard lock(mutex_);
  ended[w] = code;
  Record("end " + std::to_string(w) + " " + std::to_string(code));
}
void RecordingWindowPort::RequestClose(WindowId w) {
  Record("close " + std::to_string(w));
}
void RecordingWindowPort::PostRefresh(WindowId w) {
  std::lock_guard lock(mutex_);
  ++refreshes;
  ++refreshed_[w];
}
void RecordingWindowPort::PostMessageBox(WindowId owner, std::string_view text,
                                         std::string_view caption, unsigned type, int then) {
  MessageBox(owner, text, caption, type);
  if (then == kThenClose) RequestClose(owner);
  if (then > 0) EndDialog(owner, then);
}
void RecordingWindowPort::StopTimer(WindowId w) {
  Record("stoptimer " + std::to_string(w));
}
void RecordingWindowPort::Repaint(WindowId w) {
  Record("repaint " + std::to_string(w));
}

int RecordingWindowPort::RunModalDialog(WindowId owner, int resource) {
  Record("dialog " + std::to_string(resource));
  std::function<int(WindowId)> script;
  {
    std::lock_guard lock(mutex_);
    if (auto it = on_dialog.find(resource); it != on_dialog.end()) script = it->second;
  }
  if (script) return script(owner);
  std::lock_guard lock(mutex_);
  auto& results = dialog_results[resource];
  if (results.empty()) return 2;
  int code = results.front();
  results.pop_front();
  return code;
}

int RecordingWindowPort::MessageBox(WindowId owner, std::string_view text, std::string_view caption,
                                    unsigned type) {
  BoxCall call{owner, std::string(text), std::string(caption), type};
  std::function<void(const BoxCall&)> hook;
  int answer = kIdOk;
  {
    std::lock_guard lock(mutex_);
    boxes_.push_back(call);
    calls_.push_back("box " + call.caption + " | " + call.text);
    hook = on_box;
    if (!box_answers.empty()) {
      answer = box_answers.front();
      box_answers.pop_front();
    }
  }
  if (hook) hook(call);
  return answer;
}

}  // namespace talmeris::test
