#include "ui/qt_window_port.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "app/dialogs.h"
#include "ui/line_edit_accessible.h"
#include "ui/templates.h"

namespace talmeris::ui {
namespace {

QString Widen(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
std::string Narrow(const QString& text) {
  return text.toLatin1().toStdString();
}

// A dialog whose Escape and close box go to its procedure instead of closing it.
class HostDialog final : public QDialog {
 public:
  std::function<void()> on_cancel;
  std::function<void()> on_close;
  explicit HostDialog(QWidget* parent) : QDialog(parent) {}

  void reject() override {
    if (on_cancel) on_cancel();
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    if (on_close) on_close();
  }
};

// Tabs expanded to spaces, a stop every 8 characters.
QString ExpandTabs(const QString& text) {
  QString out;
  out.reserve(text.size() * 2);
  int column = 0;
  for (QChar ch : text) {
    if (ch == u'\t') {
      do {
        out += u' ';
      } while (++column % 8 != 0);
    } else {
      out += ch;
      column = ch == u'\n' ? 0 : column + 1;
    }
  }
  return out;
}

// A report of columns: its text in a label of our own, fixed-width and never wrapped, in place
// of the box's label (which wraps any text wider than half the screen). The box's text stays
// the report as it is.
void ShowTabular(QMessageBox& box, const QString& text) {
  auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!label || !grid) return;
  auto* report = new QLabel(ExpandTabs(text), &box);
  report->setObjectName(QStringLiteral("tabularReport"));
  report->setTextFormat(Qt::PlainText);
  report->setWordWrap(false);
  report->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  report->setTextInteractionFlags(Qt::TextSelectableByMouse);
  delete grid->replaceWidget(label, report);
  label->hide();
  // The report is read once, from the label that shows it: the box's own text (which a screen
  // reader would read as the box's value too) is left empty.
  box.setText(QString());
}

// Push-like check boxes that only the program checks.
bool ProgramChecked(QWidget* w) {
  return w->property("programChecked").toBool();
}

}  // namespace

int DefaultAnswer(unsigned type) {
  switch (type & 0x0F) {
    case kMbOkCancel:
    case kMbRetryCancel:
      return kIdCancel;
    case kMbYesNo:
      return kIdNo;
    default:
      return kIdOk;
  }
}

namespace {
// A list item that sorts by text with the letters compared without regard to case, as the
// sorted list controls of the dialog templates do (Qt's own order is case-sensitive).
class CaselessItem final : public QListWidgetItem {
 public:
  explicit CaselessItem(const QString& text) : QListWidgetItem(text) {}
  bool operator<(const QListWidgetItem& other) const override {
    return text().compare(other.text(), Qt::CaseInsensitive) < 0;
  }
};
}  // namespace

QtWindowPort::QtWindowPort() : main_thread_(std::this_thread::get_id()) {
  InstallLineEditAccessible();
  const QFontMetrics metrics(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
  for (int ch = 0; ch < 256; ++ch) {
    advances_[ch] = static_cast<std::uint16_t>(metrics.horizontalAdvance(QChar(ch)));
  }
}

int QtWindowPort::TextWidth(std::string_view text) {
  int width = 0;
  for (char ch : text) width += advances_[static_cast<unsigned char>(ch)];
  return width;
}

QtWindowPort::~QtWindowPort() {
  ReleaseWaiters();
}

template <typename F>
void QtWindowPort::Run(F&& f) {
  if (OnMainThread()) {
    f();
  } else {
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
  }
}

QtWindowPort::Window* QtWindowPort::Find(WindowId window) const {
  auto it = windows_.find(window);
  if (it == windows_.end() || it->second->ended || !it->second->dialog) return nullptr;
  return it->second.get();
}

QWidget* QtWindowPort::Control(WindowId window, int control) const {
  Window* w = Find(window);
  if (!w) return nullptr;
  auto it = w->controls.find(control);
  return it == w->controls.end() ? nullptr : it->second;
}

QDialog* QtWindowPort::DialogOf(WindowId window) const {
  Window* w = Find(window);
  return w ? w->dialog.data() : nullptr;
}
QWidget* QtWindowPort::ControlOf(WindowId window, int control) const {
  return Control(window, control);
}

void QtWindowPort::ReleaseWaiters() {
  std::lock_guard lock(box_mutex_);
  released_ = true;
  box_cv_.notify_all();
}

void QtWindowPort::EnableControl(WindowId window, int control, bool enabled) {
  Run([=, this] {
    if (QWidget* c = Control(window, control)) c->setEnabled(enabled);
  });
}

void QtWindowPort::CheckControl(WindowId window, int control, bool checked) {
  Run([=, this] {
    auto* b = qobject_cast<QAbstractButton*>(Control(window, control));
    if (!b) return;
    // A radio of an exclusive group can be cleared only with the group's rule lifted: a group
    // may show no choice at all.
    QButtonGroup* group = b->group();
    if (!checked && group && group->exclusive() && b->isChecked()) {
      group->setExclusive(false);
      b->setChecked(false);
      group->setExclusive(true);
      return;
    }
    b->setChecked(checked);
  });
}

void QtWindowPort::SetButtonDown(WindowId window, int control, bool down) {
  Run([=, this] {
    if (auto* b = qobject_cast<QAbstractButton*>(Control(window, control))) b->setDown(down);
  });
}

void QtWindowPort::SetControlValue(WindowId window, int control, int value) {
  Run([=, this] {
    if (auto* p = qobject_cast<QProgressBar*>(Control(window, control))) p->setValue(value);
  });
}

bool QtWindowPort::IsButtonDown(WindowId window, int control) {
  auto* b = qobject_cast<QAbstractButton*>(Control(window, control));
  return b && b->isDown();
}

namespace {

// A text box that mostly grows at its end (the history: lines added, the oldest dropped) takes
// only what changed: what was dropped at the start goes, what is new is inserted at the end. A
// screen reader then hears the new line alone, and the caret stays where the player put it
// (at the end, it follows the new lines). Any other change replaces the whole text.
void ReplaceKeepingWhatStays(QPlainTextEdit* e, const QString& text) {
  const QString old = e->toPlainText();
  qsizetype dropped = 0;  // leading characters of `old` that `text` no longer has
  for (int lines = 0; lines < 256 && !text.startsWith(QStringView(old).mid(dropped)); ++lines) {
    const qsizetype next = old.indexOf('\n', dropped);
    dropped = next < 0 ? old.size() : next + 1;
  }
  if (!text.startsWith(QStringView(old).mid(dropped))) {
    e->setPlainText(text);
    e->moveCursor(QTextCursor::End);
    e->verticalScrollBar()->setValue(e->verticalScrollBar()->maximum());
    return;
  }
  QScrollBar* bar = e->verticalScrollBar();
  const bool following = e->textCursor().atEnd();
  QTextCursor edit(e->document());
  if (dropped > 0) {
    edit.setPosition(0);
    edit.setPosition(static_cast<int>(dropped), QTextCursor::KeepAnchor);
    edit.removeSelectedText();
  }
  const qsizetype kept = old.size() - dropped;
  if (text.size() > kept) {
    edit.movePosition(QTextCursor::End);
    edit.insertText(text.mid(kept));
    // A screen reader follows the focus, not this box: while the player types in an edit of the
    // same dialog, the new lines become that edit's description, which it reads out as it
    // changes.
    auto* typing = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (typing && typing->window() == e->window())
      typing->setAccessibleDescription(text.mid(kept).trimmed());
  }
  if (following) {
    e->moveCursor(QTextCursor::End);
    bar->setValue(bar->maximum());
  }
}

}  // namespace

void QtWindowPort::SetControlText(WindowId window, int control, std::string_view text) {
  Run([=, this, t = Widen(text)] {
    QWidget* c = Control(window, control);
    if (auto* e = qobject_cast<QPlainTextEdit*>(c)) {
      ReplaceKeepingWhatStays(e, t);
    } else if (auto* l = qobject_cast<QLineEdit*>(c)) {
      l->setText(t);
    } else if (auto* b = qobject_cast<QAbstractButton*>(c)) {
      b->setText(t);
    } else if (auto* s = qobject_cast<QLabel*>(c)) {
      s->setText(t);
    }
  });
}

void QtWindowPort::SetReadOnly(WindowId window, int control, bool read_only) {
  Run([=, this] {
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QLineEdit*>(c); l && l->isReadOnly() != read_only) {
      l->setReadOnly(read_only);
      // Qt tells the bus that read-only changed; whether the field is editable changed too.
      QAccessible::State changed;
      changed.editable = true;
      QAccessibleStateChangeEvent event(l, changed);
      QAccessible::updateAccessibility(&event);
    }
    if (auto* e = qobject_cast<QPlainTextEdit*>(c)) e->setReadOnly(read_only);
  });
}

void QtWindowPort::FocusControl(WindowId window, int control) {
  Run([=, this] {
    if (QWidget* c = Control(window, control)) c->setFocus();
  });
}

void QtWindowPort::SetTextLimit(WindowId window, int control, int max_chars) {
  Run([=, this] {
    if (auto* l = qobject_cast<QLineEdit*>(Control(window, control))) l->setMaxLength(max_chars);
  });
}

void QtWindowPort::SetWindowTitle(WindowId window, std::string_view title) {
  Run([=, this, t = Widen(title)] {
    if (Window* w = Find(window)) w->dialog->setWindowTitle(t);
  });
}

void QtWindowPort::ListAdd(WindowId window, int control, std::string_view text) {
  Run([=, this, t = Widen(text)] {
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QListWidget*>(c)) {
      if (l->isSortingEnabled()) {
        l->addItem(new CaselessItem(t));  // a sorted list inserts at its place: no re-sort
      } else {
        l->addItem(t);
      }
    }
    if (auto* b = qobject_cast<QComboBox*>(c)) b->addItem(t);
  });
}

void QtWindowPort::ListDeleteExact(WindowId window, int control, std::string_view text) {
  Run([=, this, t = std::string(text)] {
    int index = ListFindExact(window, control, t);
    if (index < 0) return;
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QListWidget*>(c)) delete l->takeItem(index);
    if (auto* b = qobject_cast<QComboBox*>(c)) b->removeItem(index);
  });
}

void QtWindowPort::ListDeleteAt(WindowId window, int control, int index) {
  Run([=, this] {
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QListWidget*>(c); l && index >= 0 && index < l->count()) {
      delete l->takeItem(index);
    }
    if (auto* b = qobject_cast<QComboBox*>(c)) b->removeItem(index);
  });
}

void QtWindowPort::SortList(WindowId window, int control) {
  Run([=, this] {
    if (auto* l = qobject_cast<QListWidget*>(Control(window, control))) {
      l->setSortingEnabled(true);
      l->sortItems();
    }
  });
}

void QtWindowPort::ListClear(WindowId window, int control) {
  Run([=, this] {
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QListWidget*>(c)) l->clear();
    if (auto* b = qobject_cast<QComboBox*>(c)) b->clear();
  });
}

void QtWindowPort::ListSelect(WindowId window, int control, int index) {
  Run([=, this] {
    QWidget* c = Control(window, control);
    if (auto* l = qobject_cast<QListWidget*>(c)) l->setCurrentRow(index);
    if (auto* b = qobject_cast<QComboBox*>(c)) b->setCurrentIndex(index);
  });
}

std::string QtWindowPort::ControlText(WindowId window, int control) {
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QLineEdit*>(c)) return Narrow(l->text());
  if (auto* e = qobject_cast<QPlainTextEdit*>(c)) return Narrow(e->toPlainText());
  if (auto* b = qobject_cast<QAbstractButton*>(c)) return Narrow(b->text());
  if (auto* s = qobject_cast<QLabel*>(c)) return Narrow(s->text());
  return {};
}

bool QtWindowPort::IsChecked(WindowId window, int control) {
  auto* b = qobject_cast<QAbstractButton*>(Control(window, control));
  return b && b->isChecked();
}

int QtWindowPort::ListFindExact(WindowId window, int control, std::string_view text) {
  QString wanted = Widen(text);
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QListWidget*>(c)) {
    for (int i = 0; i < l->count(); ++i) {
      if (l->item(i)->text().compare(wanted, Qt::CaseInsensitive) == 0) return i;
    }
  }
  if (auto* b = qobject_cast<QComboBox*>(c)) {
    for (int i = 0; i < b->count(); ++i) {
      if (b->itemText(i).compare(wanted, Qt::CaseInsensitive) == 0) return i;
    }
  }
  return -1;
}

int QtWindowPort::ListCount(WindowId window, int control) {
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QListWidget*>(c)) return l->count();
  if (auto* b = qobject_cast<QComboBox*>(c)) return b->count();
  return 0;
}

// The selected row of a list: the current row only when it is also selected (a list makes a
// row current when it takes the focus, which is no choice of the user's).
static QListWidgetItem* SelectedItem(QListWidget* l) {
  const QList<QListWidgetItem*> selected = l->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

int QtWindowPort::ListSelection(WindowId window, int control) {
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QListWidget*>(c)) {
    QListWidgetItem* item = SelectedItem(l);
    return item ? l->row(item) : -1;
  }
  if (auto* b = qobject_cast<QComboBox*>(c)) return b->currentIndex();
  return -1;
}

std::string QtWindowPort::ListSelectedText(WindowId window, int control) {
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QListWidget*>(c)) {
    if (QListWidgetItem* item = SelectedItem(l)) return Narrow(item->text());
  }
  if (auto* b = qobject_cast<QComboBox*>(c)) return Narrow(b->currentText());
  return {};
}

std::string QtWindowPort::ListItemText(WindowId window, int control, int index) {
  QWidget* c = Control(window, control);
  if (auto* l = qobject_cast<QListWidget*>(c); l && index >= 0 && index < l->count()) {
    return Narrow(l->item(index)->text());
  }
  if (auto* b = qobject_cast<QComboBox*>(c); b && index >= 0 && index < b->count()) {
    return Narrow(b->itemText(index));
  }
  return {};
}

void QtWindowPort::CloseBoxesOf(Window& w) {
  for (auto& box : w.boxes) {
    if (box) box->done(DefaultAnswer(box->property("boxType").toUInt()));
  }
  w.boxes.clear();
}

void QtWindowPort::EndDialog(WindowId window, int code) {
  Run([=, this] { EndWindow(window, code); });
}

void QtWindowPort::EndWindow(WindowId window, int code) {
  Window* w = Find(window);
  if (!w) return;
  // The dialogs it owns end first, as cancelled: a session that ends while the login or
  // new-account dialog is open ends the program, not just its main window.
  std::vector<WindowId> children;
  for (const auto& [id, other] : windows_) {
    if (other->dialog && other->dialog->parentWidget() == w->dialog.data()) children.push_back(id);
  }
  for (WindowId child : children) {
    // What the child keeps (a list to write back, a handle to clear) is kept before it ends.
    if (Window* c = Find(child); c && c->procedure && c->procedure->ended) {
      c->procedure->ended(*ctx_, child);
    }
    EndWindow(child, kCancelCommand);
  }
  w->ended = true;
  if (w->timer) w->timer->stop();
  CloseBoxesOf(*w);
  w->dialog->done(code);
}

void QtWindowPort::RequestClose(WindowId window) {
  // Always posted, as a close message is: the close runs from the main loop, not inside the
  // caller's handling.
  QMetaObject::invokeMethod(
      this,
      [=, this] {
        if (Window* w = Find(window)) w->dialog->close();
      },
      Qt::QueuedConnection);
}

void QtWindowPort::PostRefresh(WindowId window) {
  if (window == kNoWindow) return;
  {
    std::lock_guard lock(refresh_mutex_);
    if (std::find(refresh_pending_.begin(), refresh_pending_.end(), window) !=
        refresh_pending_.end()) {
      return;  // one notification is already on its way
    }
    refresh_pending_.push_back(window);
  }
  QMetaObject::invokeMethod(
      this,
      [=, this] {
        {
          std::lock_guard lock(refresh_mutex_);
          std::erase(refresh_pending_, window);
        }
        Window* w = Find(window);
        if (w && w->procedure && w->procedure->refresh) w->procedure->refresh(*ctx_, window);
      },
      Qt::QueuedConnection);
}

void QtWindowPort::StopTimer(WindowId window) {
  Run([=, this] {
    if (Window* w = Find(window); w && w->timer) w->timer->stop();
  });
}

void QtWindowPort::PostMessageBox(WindowId owner, std::string_view text, std::string_view caption,
                                  unsigned type, int then) {
  QMetaObject::invokeMethod(
      this,
      [=, this, t = Widen(text), c = Widen(caption)] {
        if (!Find(owner)) return;
        ShowBox(owner, t, c, type);
        if (then == kThenClose) {
          if (Window* w = Find(owner)) w->dialog->close();
        } else if (then > 0) {
          EndWindow(owner, then);
        }
      },
      Qt::QueuedConnection);
}

void QtWindowPort::Repaint(WindowId window) {
  if (Window* w = Find(window)) w->dialog->repaint();
}

void QtWindowPort::Command(WindowId id, int control, int notification) {
  Window* w = Find(id);
  if (w && w->procedure && w->procedure->command) {
    w->procedure->command(*ctx_, id, control, notification);
  }
}

bool QtWindowPort::eventFilter(QObject* watched, QEvent* event) {
  auto* list = qobject_cast<QListWidget*>(watched);
  // The toolkit reports a list's current item as focused even when the list is not: the
  // current item goes with the focus, and comes back (on the first selected item) with it.
  if (list && (event->type() == QEvent::FocusOut || event->type() == QEvent::FocusIn)) {
    QModelIndex current;
    const auto selected = list->selectedItems();
    if (event->type() == QEvent::FocusIn && !selected.isEmpty())
      current = list->model()->index(list->row(selected.first()), 0);
    if (event->type() == QEvent::FocusOut || current.isValid())
      list->selectionModel()->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    return QObject::eventFilter(watched, event);
  }
  bool open = false;
  if (list && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    open = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Menu;
  } else if (list && event->type() == QEvent::ContextMenu) {
    open = static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
  }
  if (!open || list->selectedItems().isEmpty()) return QObject::eventFilter(watched, event);
  const auto id = list->property("talmerisWindow").value<WindowId>();
  const int control = list->property("talmerisControl").toInt();
  // Posted, as a double-click's notification comes from the event loop, not from inside it.
  QMetaObject::invokeMethod(
      this, [this, id, control] { Command(id, control, kNotifyDoubleClick); },
      Qt::QueuedConnection);
  return true;
}

void QtWindowPort::Wire(WindowId id, Window& w) {
  const auto children = w.dialog->findChildren<QWidget*>();
  for (QWidget* child : children) {
    const QString name = child->objectName();
    if (!name.startsWith(QLatin1String("ctl"))) continue;
    bool ok = false;
    int control = name.mid(3).toInt(&ok);
    if (!ok) continue;
    w.controls[control] = child;
    if (auto* b = qobject_cast<QAbstractButton*>(child)) {
      QObject::connect(b, &QAbstractButton::clicked, this, [this, id, control, b] {
        // A push-like check box that only the program checks undoes the toolkit's toggle.
        if (b->isCheckable() && ProgramChecked(b)) b->setChecked(!b->isChecked());
        Command(id, control, kNotifyClicked);
      });
    } else if (auto* c = qobject_cast<QComboBox*>(child)) {
      QObject::connect(c, &QComboBox::activated, this,
                       [this, id, control] { Command(id, control, kNotifySelChange); });
    } else if (auto* l = qobject_cast<QListWidget*>(child)) {
      QObject::connect(l, &QListWidget::itemDoubleClicked, this,
                       [this, id, control] { Command(id, control, kNotifyDoubleClick); });
      // The keyboard's way to the same: Enter, Return or the context-menu key.
      l->setProperty("talmerisWindow", QVariant::fromValue(id));
      l->setProperty("talmerisControl", control);
      l->installEventFilter(this);
      QObject::connect(l, &QListWidget::itemSelectionChanged, this,
                       [this, id, control] { Command(id, control, kNotifySelChange); });
    } else if (auto* e = qobject_cast<QLineEdit*>(child)) {
      // Edits that show their text in one case, typed or set, and edits that take digits only.
      const QString letter_case = e->property("letterCase").toString();
      if (!letter_case.isEmpty()) {
        QObject::connect(e, &QLineEdit::textChanged, e, [e, upper = letter_case == "upper"] {
          const QString text = e->text();
          const QString shown = upper ? text.toUpper() : text.toLower();
          if (shown == text) return;
          const int cursor = e->cursorPosition();
          e->setText(shown);
          e->setCursorPosition(cursor);
        });
      }
      if (e->property("digitsOnly").toBool()) {
        e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), e));
      }
      QObject::connect(e, &QLineEdit::textChanged, this,
                       [this, id, control] { Command(id, control, kNotifyEditChange); });
    }
  }
}

int QtWindowPort::RunModalDialog(WindowId owner, int resource) {
  const DialogProcedure* procedure = FindDialogProcedure(resource);
  Window* parent = Find(owner);
  if (parent && parent->ended) return kCancelCommand;  // its owner has ended: nothing opens
  auto* dialog = new HostDialog(parent ? parent->dialog.data() : nullptr);
  if (!procedure || !ApplyTemplate(resource, dialog)) {
    delete dialog;
    return -1;
  }
  dialog->setWindowFlags((dialog->windowFlags() | Qt::WindowMinimizeButtonHint) &
                         ~Qt::WindowMaximizeButtonHint & ~Qt::WindowContextHelpButtonHint);

  const WindowId id = next_id_.fetch_add(1);
  auto window = std::make_unique<Window>();
  window->dialog = dialog;
  window->procedure = procedure;
  Window& w = *window;
  windows_[id] = std::move(window);
  Wire(id, w);
  dialog->on_cancel = [this, id] { Command(id, kCancelCommand, kNotifyClicked); };
  dialog->on_close = [this, id, procedure] {
    if (!Find(id)) return;
    if (procedure->close) {
      procedure->close(*ctx_, id);
    } else {
      Command(id, kCancelCommand, kNotifyClicked);
    }
  };
  if (procedure->timer) {
    w.timer = new QTimer(dialog);
    w.timer->setInterval(100);
    QObject::connect(w.timer, &QTimer::timeout, this, [this, id, procedure] {
      if (Find(id)) procedure->timer(*ctx_, id);
    });
    w.timer->start();
  }
  last_opened_.store(id);
  if (procedure->init) procedure->init(*ctx_, id);

  int code = w.ended ? dialog->result() : dialog->exec();
  w.ended = true;
  CloseBoxesOf(w);
  windows_.erase(id);
  delete dialog;
  if (owner == kNoWindow) ReleaseWaiters();  // the program's top dialog has ended
  return code;
}

int QtWindowPort::ShowBox(WindowId owner, const QString& text, const QString& caption,
                          unsigned type) {
  Window* w = Find(owner);
  if (owner != kNoWindow && !w) return DefaultAnswer(type);
  QMessageBox box(w ? w->dialog.data() : nullptr);
  box.setWindowTitle(caption);
  box.setTextFormat(Qt::PlainText);  // a server's text is shown as it is, never as markup
  box.setText(text);
  box.setProperty("boxType", type);
  switch (type & 0xF0) {
    case kMbIconError:
      box.setIcon(QMessageBox::Critical);
      break;
    case kMbIconQuestion:
      box.setIcon(QMessageBox::Question);
      break;
    case kMbIconWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case kMbIconInformation:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  switch (type & 0x0F) {
    case kMbOkCancel:
      box.addButton(QMessageBox::Ok)->setProperty("answer", kIdOk);
      box.addButton(QMessageBox::Cancel)->setProperty("answer", kIdCancel);
      break;
    case kMbRetryCancel:
      box.addButton(QMessageBox::Retry)->setProperty("answer", kIdRetry);
      box.addButton(QMessageBox::Cancel)->setProperty("answer", kIdCancel);
      break;
    case kMbYesNo:
      box.addButton(QMessageBox::Yes)->setProperty("answer", kIdYes);
      box.addButton(QMessageBox::No)->setProperty("answer", kIdNo);
      break;
    default:
      box.addButton(QMessageBox::Ok)->setProperty("answer", kIdOk);
      break;
  }
  if (type & kMbTabular) ShowTabular(box, text);
  if (w) w->boxes.emplace_back(&box);
  box.exec();
  if (Window* still = Find(owner)) {
    std::erase_if(still->boxes, [&](const QPointer<QMessageBox>& b) { return b == &box; });
  }
  QAbstractButton* clicked = box.clickedButton();
  return clicked ? clicked->property("answer").toInt() : DefaultAnswer(type);
}

int QtWindowPort::MessageBox(WindowId owner, std::string_view text, std::string_view caption,
                             unsigned type) {
  if (OnMainThread()) return ShowBox(owner, Widen(text), Widen(caption), type);

  struct Pending {
    bool done = false;
    int answer = 0;
  };
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard lock(box_mutex_);
    if (released_) return DefaultAnswer(type);
  }
  QMetaObject::invokeMethod(
      this,
      [=, this, t = Widen(text), c = Widen(caption)] {
        bool released;
        {
          std::lock_guard lock(box_mutex_);
          released = released_;
        }
        int answer = released ? DefaultAnswer(type) : ShowBox(owner, t, c, type);
        std::lock_guard lock(box_mutex_);
        pending->answer = answer;
        pending->done = true;
        box_cv_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(box_mutex_);
  box_cv_.wait(lock, [&] { return pending->done || released_; });
  return pending->done ? pending->answer : DefaultAnswer(type);
}

}  // namespace talmeris::ui
