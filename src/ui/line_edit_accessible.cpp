// The accessible interface of a QLineEdit: name and relations as any widget's, the text as shown
// (masked in a password field), and editing through the bus only while the field is not
// read-only. Main thread only.
#include "ui/line_edit_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QLineEdit>

namespace talmeris::ui {
namespace {

class LineEditAccessible final : public QAccessibleWidget,
                                 public QAccessibleTextInterface,
                                 public QAccessibleEditableTextInterface {
 public:
  explicit LineEditAccessible(QLineEdit* edit)
      : QAccessibleWidget(edit, QAccessible::EditableText) {}

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = !Edit()->isReadOnly();
    state.readOnly = Edit()->isReadOnly();
    state.passwordEdit = Edit()->echoMode() != QLineEdit::Normal;
    state.selectableText = true;
    return state;
  }

  QString text(QAccessible::Text t) const override {
    QString str;
    if (t == QAccessible::Value) str = Shown();
    if (str.isEmpty()) str = QAccessibleWidget::text(t);
    if (str.isEmpty() && t == QAccessible::Description) str = Edit()->placeholderText();
    return str;
  }

  void setText(QAccessible::Text t, const QString& text) override {
    if (t != QAccessible::Value) return QAccessibleWidget::setText(t, text);
    if (!Edit()->isReadOnly()) Edit()->setText(text);
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    if (t == QAccessible::EditableTextInterface) {
      return Edit()->isReadOnly() ? nullptr : static_cast<QAccessibleEditableTextInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(t);
  }

  // The text interface, over the text as shown.
  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index != 0 || !Edit()->hasSelectedText()) return;
    *start = Edit()->selectionStart();
    *end = Edit()->selectionEnd();
  }
  int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int index) override {
    if (index == 0) Edit()->deselect();
  }
  void setSelection(int index, int start, int end) override {
    if (index == 0) Edit()->setSelection(start, end - start);
  }
  int cursorPosition() const override { return Edit()->cursorPosition(); }
  void setCursorPosition(int position) override { Edit()->setCursorPosition(position); }
  QString text(int start, int end) const override {
    const QString shown = Edit()->displayText();
    if (start < 0 || end > shown.size() || start > end) return {};
    return shown.mid(start, end - start);
  }
  int characterCount() const override { return static_cast<int>(Edit()->displayText().size()); }
  QRect characterRect(int offset) const override {
    const QString shown = Edit()->displayText();
    if (offset < 0 || offset >= shown.size()) return {};
    // Measured from the caret, which already accounts for the field's scroll.
    const QFontMetrics metrics(Edit()->font());
    const QRect caret = Edit()->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    const int x = caret.x() + metrics.horizontalAdvance(shown.left(offset)) -
                  metrics.horizontalAdvance(shown.left(Edit()->cursorPosition()));
    const QRect local(x, caret.y(), metrics.horizontalAdvance(shown.at(offset)), caret.height());
    return QRect(Edit()->mapToGlobal(local.topLeft()), local.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    return Edit()->cursorPositionAt(Edit()->mapFromGlobal(point));
  }
  void scrollToSubstring(int start, int end) override {
    Edit()->setCursorPosition(end);
    Edit()->setCursorPosition(start);
  }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

  // The editable-text interface: offered only while the field is not read-only, and refusing
  // should the field turn read-only while a reader holds it.
  void deleteText(int start, int end) override { replaceText(start, end, QString()); }
  void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
  void replaceText(int start, int end, const QString& text) override {
    if (Edit()->isReadOnly() || start < 0 || start > end || end > Edit()->text().size()) return;
    Edit()->setSelection(start, end - start);
    Edit()->insert(text);
  }

 private:
  QLineEdit* Edit() const { return static_cast<QLineEdit*>(widget()); }
  QString Shown() const {
    return Edit()->echoMode() == QLineEdit::Normal ? Edit()->text() : Edit()->displayText();
  }
};

QAccessibleInterface* Factory(const QString& key, QObject* object) {
  if (key != QLatin1String("QLineEdit")) return nullptr;
  auto* edit = qobject_cast<QLineEdit*>(object);
  return edit ? new LineEditAccessible(edit) : nullptr;
}

}  // namespace

void InstallLineEditAccessible() {
  static const bool installed = (QAccessible::installFactory(Factory), true);
  (void)installed;
}

}  // namespace talmeris::ui
