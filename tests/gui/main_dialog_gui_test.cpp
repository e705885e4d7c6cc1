#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <thread>

#include "app/main_dialog.h"
#include "app/offline_dialog.h"
#include "app/startup.h"
#include "app/statistics.h"
#include "app/tick.h"
#include "server/connect.h"
#include "server/offline_messages.h"
#include "server/server_link.h"
#include "state/files.h"
#include "support/audio_tools.h"
#include "support/fake_voice.h"
#include "support/test_client.h"
#include "ui/qt_window_port.h"
#include "ui/templates.h"
#include "voice/audio_setup_dialog.h"
#include "voice/voice_chat.h"
#include "voice/voice_engine.h"

using namespace talmeris;

constexpr int kEveryTemplate[] = {kMainDialog,
                                  kLoginDialog,
                                  kNewAccountDialog,
                                  kWelcomeDialog,
                                  kOfflineMessagesDialog,
                                  kAudioSetupDialog,
                                  kConfigurationDialog,
                                  kPlayerInfoDialog,
                                  kProfileEditorDialog,
                                  kJoystickMappingDialog,
                                  kPasswordDialog};

class MainDialogGuiTest : public QObject {
  Q_OBJECT

 private:
  struct Rig {
    ui::QtWindowPort windows;
    test::TempDir dir;
    test::FakeNetwork network;
    voice::NullVoiceSystem voice;
    test::FakeLauncher launcher;
    NullKeyboard keyboard;
    ClientContext ctx{Ports{&windows, &network, &voice, &launcher, &keyboard}, dir.path()};
    Rig() {
      windows.SetContext(&ctx);
      ctx.settings = LoadSettings(ctx.File(kSettingsFileName), 1, nullptr);
      ctx.close_pause_ms = 1000;
      // The tick stays idle: a slow run must not reach the connection sequence's login dialog.
      ctx.tick_busy = true;
    }
    // Runs the main dialog; `script` runs once it is open, with its window id.
    int Run(std::function<void(WindowId)> script) {
      QTimer::singleShot(0, [this, script] {
        WindowId id = windows.LastOpened();
        script(id);  // a failed check returns early: the dialog still ends
        if (windows.DialogOf(id)) windows.EndDialog(id, -5);
      });
      return windows.RunModalDialog(kNoWindow, kMainDialog);
    }
    template <typename T>
    T* Control(WindowId w, int id) {
      return qobject_cast<T*>(windows.ControlOf(w, id));
    }
  };

  // Answers the next message box that opens, recording its text.
  static void AnswerNextBox(QString* text) {
    QTimer::singleShot(50, [text] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        *text = box->text();
        box->button(QMessageBox::Ok)->click();
      } else {
        AnswerNextBox(text);
      }
    });
  }

 private slots:
  void controlsStartAsTheTemplateSays() {
    Rig rig;
    int code = rig.Run([&](WindowId w) {
      QDialog* d = rig.windows.DialogOf(w);
      QCOMPARE(d->windowTitle(), QString("Client Application"));
      // 339 x 138 dialog units in the dialog's font.
      const QFontMetrics metrics(d->font());
      const auto base = ui::BaseUnits(
          metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
          metrics.height());
      QCOMPARE(d->size(), QSize(base.X(339), base.Y(138)));
      for (int id : {kCtlClearHistory, kCtlMessages, kCtlConfiguration, kCtlStatistics, kCtlProfile,
                     kCtlChatInput, kCtlSend, kCtlPtt, kCtlFdr, kCtlSound, kCtlView, kCtlVoiceIp,
                     kCtlMute, kCtlRx, kCtlTx}) {
        QVERIFY2(!rig.windows.ControlOf(w, id)->isEnabled(), qPrintable(QString::number(id)));
      }
      for (int id : {kCtlFilter, kCtlPlayerList, kCtlHistory, kCtlLag, kCtlPatching}) {
        QVERIFY(rig.windows.ControlOf(w, id)->isEnabled());
      }
      QCOMPARE(rig.Control<QPushButton>(w, kCtlSend)->text(), QString("&Send"));
      QVERIFY(rig.Control<QPushButton>(w, kCtlSend)->isDefault());
      QCOMPARE(rig.Control<QLabel>(w, kCtlLag)->text(), QString("Lag: ???? ms"));
      QCOMPARE(rig.Control<QComboBox>(w, kCtlFilter)->count(), 5);
      QCOMPARE(rig.windows.ControlOf(w, kCtlSend)->geometry(),
               QRect(base.X(273), base.Y(102), base.X(28), base.Y(16)));
      rig.windows.EndDialog(w, 77);
    });
    QCOMPARE(code, 77);
  }

  // Enter and the context-menu key on a selected player open Player Information, as a
  // double-click does; with nobody selected they open nothing.
  void thePlayerListOpensPlayerInformationFromTheKeyboard() {
    Rig rig;
    QStringList opened;
    rig.Run([&](WindowId w) {
      PlayerRecord& p = rig.ctx.tables.roster[4];
      p.online = 1;
      p.handle.Set("quill");
      rig.windows.ListAdd(w, kCtlPlayerList, "quill");
      auto* list = rig.Control<QListWidget>(w, kCtlPlayerList);
      list->setFocus();
      std::function<void()> close_it = [&] {
        const WindowId top = rig.windows.LastOpened();
        if (top == w || !rig.windows.DialogOf(top)) return QTimer::singleShot(10, close_it);
        opened << rig.windows.DialogOf(top)->windowTitle();
        rig.windows.EndDialog(top, kCancelCommand);
      };
      for (Qt::Key key : {Qt::Key_Return, Qt::Key_Menu}) {
        list->clearSelection();
        QTest::keyClick(list, key);
        QCoreApplication::processEvents();
        QCOMPARE(opened.size(), 0 + (key == Qt::Key_Menu));
        list->setCurrentRow(0);
        QTimer::singleShot(10, close_it);
        QTest::keyClick(list, key);
        QTRY_COMPARE(opened.size(), 1 + (key == Qt::Key_Menu));
      }
    });
    QCOMPARE(opened, (QStringList{"Player Information [quill]", "Player Information [quill]"}));
  }

  // A screen reader hears the selected player as focused only while the list has the focus.
  void thePlayerListsItemIsFocusedOnlyWithTheList() {
    Rig rig;
    rig.Run([&](WindowId w) {
      rig.windows.ListAdd(w, kCtlPlayerList, "quill");
      rig.windows.ListAdd(w, kCtlPlayerList, "rook");
      auto* list = rig.Control<QListWidget>(w, kCtlPlayerList);
      rig.windows.DialogOf(w)->activateWindow();
      list->setFocus();
      QTRY_VERIFY(list->hasFocus());
      list->setCurrentRow(1);
      auto focused = [&] {
        QAccessibleInterface* item = QAccessible::queryAccessibleInterface(list)->child(1);
        return item && item->state().focused;
      };
      QVERIFY(focused());
      list->clearFocus();
      QTRY_VERIFY(!list->hasFocus());
      QVERIFY(!focused());
      QCOMPARE(list->currentRow(), -1);
      QCOMPARE(list->selectedItems().size(), 1);  // still selected, and what Enter opens
      list->setFocus();
      QTRY_VERIFY(list->hasFocus());
      QVERIFY(focused());
    });
  }

  // A new history line reaches the text box as that line alone (what a screen reader announces),
  // lines dropped from the start leave from the start, and the caret stays where the player
  // put it; at the end, it follows the new lines. With the focus in the chat input, the new
  // line is the input's description.
  void theHistoryTakesOnlyWhatChanged() {
    Rig rig;
    rig.Run([&](WindowId w) {
      auto* history = rig.Control<QPlainTextEdit>(w, kCtlHistory);
      rig.windows.SetControlText(w, kCtlHistory, "one\ntwo");
      QList<QList<int>> changes;  // position, removed, added
      connect(history->document(), &QTextDocument::contentsChange,
              [&](int at, int removed, int added) {
                changes << QList<int>{at, removed, added};
              });
      QTextCursor reading = history->textCursor();
      reading.setPosition(5);  // in "two"
      history->setTextCursor(reading);
      rig.windows.SetControlText(w, kCtlHistory, "one\ntwo\nthree");
      QCOMPARE(changes, (QList<QList<int>>{{7, 0, 6}}));
      QCOMPARE(history->textCursor().position(), 5);
      changes.clear();
      rig.windows.SetControlText(w, kCtlHistory, "two\nthree\nfour");
      QCOMPARE(changes, (QList<QList<int>>{{0, 4, 0}, {9, 0, 5}}));
      QCOMPARE(history->toPlainText(), QString("two\nthree\nfour"));
      history->moveCursor(QTextCursor::End);  // following the conversation
      rig.windows.SetControlText(w, kCtlHistory, "two\nthree\nfour\nfive");
      QVERIFY(history->textCursor().atEnd());
      changes.clear();
      rig.windows.SetControlText(w, kCtlHistory, "");  // Clear History
      QCOMPARE(history->toPlainText(), QString());
      // Typing in the chat input, the player hears the new line through the input.
      auto* input = rig.Control<QLineEdit>(w, kCtlChatInput);
      input->setEnabled(true);
      rig.windows.DialogOf(w)->activateWindow();
      input->setFocus();
      QTRY_VERIFY(input->hasFocus());
      rig.windows.SetControlText(w, kCtlHistory, "six\nseven");
      QCOMPARE(QAccessible::queryAccessibleInterface(input)->text(QAccessible::Description),
               QString("six\nseven"));
      rig.windows.SetControlText(w, kCtlHistory, "six\nseven\n<rook> over here");
      QCOMPARE(QAccessible::queryAccessibleInterface(input)->text(QAccessible::Description),
               QString("<rook> over here"));
    });
  }

  void escapeKeepsTheDialogAndTheCloseBoxClosesInOrder() {
    Rig rig;
    std::chrono::steady_clock::time_point closed_at;
    int code = rig.Run([&](WindowId w) {
      QTest::keyClick(rig.windows.DialogOf(w), Qt::Key_Escape);
      QVERIFY(rig.windows.DialogOf(w) != nullptr);
      QVERIFY(rig.windows.DialogOf(w)->isVisible());
      rig.windows.EnableControl(w, kCtlSend, true);
      closed_at = std::chrono::steady_clock::now();
      rig.windows.DialogOf(w)->close();  // the close box
    });
    auto paused = std::chrono::steady_clock::now() - closed_at;
    QCOMPARE(code, 2);
    QVERIFY(paused >= std::chrono::milliseconds(900));
    QCOMPARE(QString::fromStdString(rig.ctx.event_log.Line(rig.ctx.event_log.Count() - 1)),
             QString("Closing connection..."));
  }

  void filterSavesOncePerChangeAndNoticesForFiltering() {
    Rig rig;
    QString notice;
    rig.Run([&](WindowId w) {
      auto* filter = rig.Control<QComboBox>(w, kCtlFilter);
      AnswerNextBox(&notice);
      filter->setCurrentIndex(2);
      emit filter->activated(2);
      QCOMPARE(rig.dir.Read("Client.cfg")[7], 2);
      QVERIFY(notice.startsWith("You have selected to filter players"));
      notice.clear();
      std::filesystem::remove(rig.dir.path() / "Client.cfg");
      emit filter->activated(2);  // the same entry: nothing written
      QVERIFY(!rig.dir.Exists("Client.cfg"));
      rig.dir.Write("Client.cfg", std::vector<std::uint8_t>(256, 0));
      filter->setCurrentIndex(0);
      emit filter->activated(0);  // "Everyone": written, no notice
      QCOMPARE(rig.dir.Read("Client.cfg")[7], 0);
      QVERIFY(notice.isEmpty());
      rig.windows.EndDialog(w, 2);
    });
  }

  void historyShowsTheNewest499LinesFromAnyThread() {
    Rig rig;
    rig.Run([&](WindowId w) {
      std::thread writer([&] {
        for (int i = 0; i < 500; ++i) rig.ctx.event_log.Add(w, "line " + std::to_string(i));
      });
      writer.join();
      auto* history = rig.Control<QPlainTextEdit>(w, kCtlHistory);
      QTRY_VERIFY(history->toPlainText().endsWith("line 499"));
      QStringList lines = history->toPlainText().split('\n');
      QCOMPARE(lines.size(), 499);
      QCOMPARE(lines.first(), QString("line 1"));
      rig.windows.EndDialog(w, 2);
    });
  }

  void loginAndNewAccountTemplates() {
    Rig rig;
    QTimer::singleShot(0, [&] {
      WindowId w = rig.windows.LastOpened();
      QCOMPARE(rig.windows.DialogOf(w)->windowTitle(), QString("Please sign in..."));
      auto* name = rig.Control<QLineEdit>(w, kCtlLoginName);
      QVERIFY(name != nullptr);
      QCOMPARE(name->maxLength(), 12);
      QCOMPARE(rig.Control<QLineEdit>(w, kCtlLoginPassword)->echoMode(), QLineEdit::Password);
      QTest::keyClicks(name, "QuIll");
      QCOMPARE(name->text(), QString("quill"));
      QVERIFY(rig.windows.ControlOf(w, kCtlNewAccountButton)->isEnabled());
      QTest::keyClick(rig.windows.DialogOf(w), Qt::Key_Escape);  // the cancel command
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kLoginDialog), 2);

    QTimer::singleShot(0, [&] {
      WindowId w = rig.windows.LastOpened();
      auto* handle = rig.Control<QLineEdit>(w, kCtlHandle);
      QTest::keyClicks(handle, "Ab-c d");
      QCOMPARE(handle->text(), QString("abcd"));
      QVERIFY(rig.Control<QRadioButton>(w, kCtlRandom)->isChecked());
      rig.windows.DialogOf(w)->close();  // the close box cancels
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kNewAccountDialog), 2);
    QCOMPARE(rig.ctx.new_account_dialog.load(), kNoWindow);

    QTimer::singleShot(0, [&] { rig.windows.DialogOf(rig.windows.LastOpened())->close(); });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kWelcomeDialog), 2);
    QCOMPARE(rig.dir.Read("Client.cfg")[41], 1);
  }

  void sessionEndingUnderTheNewAccountDialogEndsTheProgram() {
    Rig rig;
    rig.ctx.connect_stage = 10;
    rig.ctx.new_account_requested = true;
    std::thread worker;
    QString box;
    bool guard_fired = false;
    QTimer guard;  // ends with the test: it must not fire into a later one
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [&] {  // without the fix the dialog would stay open
      guard_fired = true;
      if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    QTimer::singleShot(0, [&] {
      const WindowId main = rig.windows.LastOpened();
      rig.ctx.main_window = main;
      QTimer::singleShot(200, [&] {  // the new-account dialog is open by now
        AnswerNextBox(&box);
        worker = std::thread([&] {
          net::Message lost{net::MessageId::TerminateSession, net::DPNERR_CONNECTIONLOST};
          OnServerMessage(&rig.ctx, lost);
        });
      });
      guard.start(5000);
      RunConnectionStage(rig.ctx, main);  // the new-account dialog, then the login dialog
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kMainDialog), static_cast<int>(kEndFatal));
    if (worker.joinable()) worker.join();
    QVERIFY(!guard_fired);
    QVERIFY(box.startsWith("The connection to the server has been lost!"));
  }

  // Every label of every template, and every edit field the program fills (with the longest
  // text it puts there), fits its rectangle in the dialog's own font, in the proportional
  // families the machine has (the templates, like any dialog, were laid out for a proportional
  // font); gui_tests_2x runs it again at twice the scale. And no two controls of a dialog share
  // a mnemonic.
  void everyLabelFitsItsRectangle() {
    struct Filled {
      int resource, control;
      const char* text;
    };
    static const Filled kFilled[] = {
        {kPlayerInfoDialog, 1072, "COMMANDER ANNELISE VAN DER BERG"},
        {kPlayerInfoDialog, 1094, "FENWAY TRADING ALLIANCE"},
        {kPlayerInfoDialog, 1033, "Wed Dec 29 23:59:59 2026"},
        {kProfileEditorDialog, 1033, "Wed Dec 29 23:59:59 2026"},
        {kProfileEditorDialog, 1094, "Fenway Trading Alliance"},
        {kProfileEditorDialog, 1034, "Commander"},
        {kProfileEditorDialog, 1035, "quillfeather"},
        {kProfileEditorDialog, 1111, "ANNELISE VAN DER BERG"},
        {kProfileEditorDialog, 1089, "100"},
    };
    QStringList cut;
    const QFont original = QApplication::font();
    for (const char* family : {"DejaVu Sans", "DejaVu Serif"}) {
      QApplication::setFont(QFont(family));
      for (int resource : kEveryTemplate) {
        QDialog dialog;
        QVERIFY(ui::ApplyTemplate(resource, &dialog));
        for (const Filled& f : kFilled) {
          auto* e = dialog.findChild<QLineEdit*>(QString("ctl%1").arg(f.control));
          if (f.resource == resource && e) e->setText(f.text);
        }
        QMap<QChar, QString> mnemonics;
        for (QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          if (w->property("nameOnly").toBool()) continue;
          w->ensurePolished();
          QString text;
          QRect room = w->contentsRect();
          bool wraps = false;
          if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = text;
            const auto element = qobject_cast<QCheckBox*>(w)      ? QStyle::SE_CheckBoxContents
                                 : qobject_cast<QRadioButton*>(w) ? QStyle::SE_RadioButtonContents
                                                                  : QStyle::SE_PushButtonContents;
            room = w->style()->subElementRect(element, &option, w);
          } else if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
            wraps = label->wordWrap();
          } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
          } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            text = edit->text();
            QStyleOptionFrame option;
            option.initFrom(edit);
            option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
            room = edit->style()
                       ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                       .marginsRemoved(edit->textMargins())
                       .adjusted(2, 0, -2, 0);  // the edit's own margin beside the text
          }
          if (text.isEmpty()) continue;
          if (qobject_cast<QLineEdit*>(w) == nullptr) {
            const auto mnemonic = QRegularExpression("&([^&])").match(text);
            if (mnemonic.hasMatch()) {
              const QChar key = mnemonic.captured(1).at(0).toLower();
              // The main dialog's "&Messages" and "&Mute" are the game's own names.
              const bool kept = resource == kMainDialog && key == u'm';
              if (mnemonics.contains(key) && !kept) {
                cut << QString("%1: \"%2\" and \"%3\" share Alt+%4")
                           .arg(resource)
                           .arg(mnemonics[key], text, key);
              }
              mnemonics[key] = text;
            }
          }
          const QString shown = qobject_cast<QLineEdit*>(w)
                                    ? text
                                    : QString(text).replace(QRegularExpression("&(.)"), "\\1");
          const QFontMetrics metrics(w->font());
          const QRect needed =
              wraps
                  ? metrics.boundingRect(QRect(0, 0, room.width(), 10000), Qt::TextWordWrap, shown)
                  : QRect(0, 0, metrics.horizontalAdvance(shown), metrics.height());
          if (needed.width() > room.width() || needed.height() > room.height()) {
            cut << QString("%1 %2 %3 \"%4\": needs %5x%6, has %7x%8")
                       .arg(family)
                       .arg(resource)
                       .arg(w->objectName(), shown)
                       .arg(needed.width())
                       .arg(needed.height())
                       .arg(room.width())
                       .arg(room.height());
          }
        }
      }
    }
    QApplication::setFont(original);
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join("\n")));
  }

  // What a screen reader reads: every control a player can use has a name in every dialog, and
  // no two in one dialog share it. A drop-down list reads its value as its name, so it is named
  // by the label it is the buddy of. A control in a group box is the group's; a text field is
  // editable only when the player may type in it, and a password field reads out only its mask.
  void everyControlHasANameOfItsOwn() {
    Rig rig;  // the port puts its own interface for text fields in place
    QStringList wrong;
    int read_only_fields = 0;
    for (int resource : kEveryTemplate) {
      QDialog dialog;
      QVERIFY(ui::ApplyTemplate(resource, &dialog));
      QMap<QString, QString> seen;  // name -> control
      for (QWidget* w : dialog.findChildren<QWidget*>()) {
        const bool interactive = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                                 qobject_cast<QComboBox*>(w) || qobject_cast<QListWidget*>(w) ||
                                 qobject_cast<QPlainTextEdit*>(w);
        if (!interactive || !w->objectName().startsWith("ctl")) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        QString name = a ? a->text(QAccessible::Name) : QString();
        if (qobject_cast<QComboBox*>(w)) {
          name.clear();
          for (const auto& [other, relation] : a->relations(QAccessible::Label)) {
            if (other) name = other->text(QAccessible::Name);
          }
        }
        name = name.remove('&').trimmed().toLower();
        const QString where = QString("%1 in %2").arg(w->objectName(), dialog.windowTitle());
        // A control drawn inside a titled group box is that group's on the bus.
        const QRect at(w->mapTo(&dialog, QPoint(0, 0)), w->size());
        for (QGroupBox* box : dialog.findChildren<QGroupBox*>()) {
          const QRect frame(box->mapTo(&dialog, QPoint(0, 0)), box->size());
          const QAccessibleInterface* group = a ? a->parent() : nullptr;
          if (!box->title().isEmpty() && frame.contains(at) &&
              (!group || group->object() != box || group->role() != QAccessible::Grouping))
            wrong << QString("not in the group \"%1\": %2").arg(box->title(), where);
        }
        // A field the player cannot type in is read-only and not editable on the bus; a password
        // field never reads out its text.
        if (auto* l = qobject_cast<QLineEdit*>(w)) {
          l->setText("s3cret");
          const QAccessible::State s = a->state();
          read_only_fields += l->isReadOnly();
          if (s.editable == l->isReadOnly() || s.readOnly != l->isReadOnly() ||
              (a->editableTextInterface() != nullptr) == l->isReadOnly())
            wrong << "editable wrong: " + where;
          const bool hidden = l->echoMode() == QLineEdit::Password;
          const QString read = a->text(QAccessible::Value) + a->textInterface()->text(0, 6);
          if (s.passwordEdit != hidden || read.contains("s3cret") == hidden)
            wrong << "password wrong: " + where;
        }
        if (name.isEmpty()) {
          wrong << "no name: " + where;
        } else if (seen.contains(name)) {
          wrong << QString("\"%1\" twice: %2 and %3").arg(name, seen[name], where);
        } else {
          seen[name] = where;
        }
      }
    }
    QCOMPARE(read_only_fields, 6);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("\n")));
  }

  // A field the client turns read-only at run time is no longer editable on the bus, and an
  // edit through an interface a screen reader still holds is refused.
  void aFieldTurnedReadOnlyIsNoLongerEditable() {
    Rig rig;
    rig.Run([&](WindowId w) {
      auto* input = rig.Control<QLineEdit>(w, kCtlChatInput);
      input->setText("hi");
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(input);
      QAccessibleEditableTextInterface* editing = a->editableTextInterface();
      QVERIFY(editing);
      editing->insertText(2, " all");
      QCOMPARE(input->text(), QString("hi all"));
      rig.windows.SetReadOnly(w, kCtlChatInput, true);
      QVERIFY(!a->state().editable && a->state().readOnly && !a->editableTextInterface());
      editing->replaceText(0, 2, "bye");  // held from before: refused now
      a->setText(QAccessible::Value, "bye");
      QCOMPARE(input->text(), QString("hi all"));
      rig.windows.SetReadOnly(w, kCtlChatInput, false);
      QVERIFY(a->state().editable && a->editableTextInterface());
    });
  }

  // Enter presses the push button that has the focus, in every dialog; with the focus on any
  // other control it presses the template's default button again (or none).
  void enterPressesTheFocusedButton() {
    QStringList wrong;
    for (int resource : kEveryTemplate) {
      QDialog dialog;
      QVERIFY(ui::ApplyTemplate(resource, &dialog));
      QPushButton* template_default = nullptr;
      QList<QPushButton*> buttons, toggles;  // toggles: push-like check boxes
      for (QPushButton* b : dialog.findChildren<QPushButton*>()) {
        if (b->isDefault()) template_default = b;
        (b->isCheckable() ? toggles : buttons) << b;
        b->setEnabled(true);
      }
      QWidget* other = nullptr;  // a control that is no push button
      for (QWidget* w : dialog.findChildren<QWidget*>()) {
        if (!qobject_cast<QPushButton*>(w) && w->focusPolicy() != Qt::NoFocus && !other &&
            w->objectName().startsWith("ctl")) {
          other = w;
        }
      }
      QPushButton* pressed = nullptr;
      for (QPushButton* b : dialog.findChildren<QPushButton*>()) {
        QObject::connect(b, &QPushButton::clicked, &dialog, [&pressed, b] { pressed = b; });
      }
      dialog.show();
      QVERIFY(QTest::qWaitForWindowActive(&dialog));
      for (QPushButton* b : buttons) {
        b->setFocus(Qt::TabFocusReason);
        pressed = nullptr;
        QTest::keyClick(b, Qt::Key_Return);
        if (pressed != b) {
          wrong << QString("%1: Enter on \"%2\" pressed \"%3\"")
                       .arg(resource)
                       .arg(b->text(), pressed ? pressed->text() : QString("nothing"));
        }
        if (other) {
          other->setFocus(Qt::TabFocusReason);
          pressed = nullptr;
          QTest::keyClick(&dialog, Qt::Key_Return);
          if (pressed != template_default) {
            wrong << QString("%1: Enter after \"%2\" pressed \"%3\"")
                         .arg(resource)
                         .arg(b->text(), pressed ? pressed->text() : QString("nothing"));
          }
        }
      }
      // Enter on a push-like check box presses the dialog's default and never toggles it.
      for (QPushButton* b : toggles) {
        b->setFocus(Qt::TabFocusReason);
        const bool was = b->isChecked();
        pressed = nullptr;
        QTest::keyClick(b, Qt::Key_Return);
        if (pressed != template_default || b->isChecked() != was) {
          wrong << QString("%1: Enter on the toggle \"%2\" pressed \"%3\"%4")
                       .arg(resource)
                       .arg(b->text(), pressed ? pressed->text() : QString("nothing"),
                            b->isChecked() != was ? " and toggled it" : "");
        }
      }
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join("\n")));
  }

  // The audio setup over a device in memory: speech moves the level bar and opens voice
  // activation; OK records the setup with the thresholds chosen.
  void audioSetupShowsTheLevelAndSavesTheChoice() {
    ui::QtWindowPort windows;
    test::TempDir dir;
    voice::MemoryAudio audio;
    const auto setup_file = AudioSetupFile(dir.path() / "config");
    voice::OpusVoiceSystem voice(audio, setup_file, &windows);
    test::FakeLauncher launcher;
    NullKeyboard keyboard;
    ClientContext ctx(Ports{&windows, nullptr, &voice, &launcher, &keyboard}, dir.path());
    windows.SetContext(&ctx);
    int level = 0;
    QString activation;
    QTimer::singleShot(0, [&] {
      const WindowId w = windows.LastOpened();
      audio.Speak(test::Tone(500, 3.0, -10));
      auto* bar = qobject_cast<QProgressBar*>(windows.ControlOf(w, kCtlSetupLevel));
      auto* state = qobject_cast<QLabel*>(windows.ControlOf(w, kCtlSetupActivation));
      QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 60 && state->text().endsWith("open"), 5000);
      level = bar->value();
      activation = state->text();
      auto* open = qobject_cast<QComboBox*>(windows.ControlOf(w, kCtlSetupOpen));
      open->setCurrentIndex(5);  // -30 dB
      emit open->activated(5);
      // Echo cancellation starts on; a headset user turns it off.
      auto* echo = qobject_cast<QCheckBox*>(windows.ControlOf(w, kCtlSetupEcho));
      QVERIFY(echo && echo->isChecked());
      echo->click();
      qobject_cast<QPushButton*>(windows.ControlOf(w, kIdOk))->click();
    });
    RunAudioSetup(ctx);
    QVERIFY(level > 60);
    QCOMPARE(activation, QString("Voice activation: open"));
    voice::AudioSetup saved;
    QVERIFY(voice::LoadAudioSetup(setup_file, &saved));
    QCOMPARE(saved.open_db, -30.0f);
    QCOMPARE(saved.close_db, -44.0f);
    QVERIFY(!saved.echo_cancellation);
    QVERIFY(!audio.Opened());  // the monitor stopped with the dialog
  }

  // Holding "&PTT" with the mouse transmits as the key does: targets once, cleared once.
  void pushToTalkButtonHeldWithTheMouse() {
    Rig rig;
    auto fake = std::make_unique<test::FakeVoiceClient>();
    test::FakeVoiceClient& client = *fake;
    rig.ctx.net.voice_client = std::move(fake);
    rig.ctx.settings.voice_push_to_talk = 1;
    rig.ctx.voice_connected = true;
    rig.ctx.tables.roster[4].online = 1;
    rig.ctx.tables.roster[4].voice_include = 1;
    rig.ctx.tables.roster[4].identity_number = 44;
    rig.Run([&](WindowId w) {
      auto* ptt = rig.Control<QPushButton>(w, kCtlPtt);
      ptt->setEnabled(true);
      QTest::mousePress(ptt, Qt::LeftButton);
      for (int tick = 0; tick < 3; ++tick) FollowPushToTalk(rig.ctx, w);
      QTest::mouseRelease(ptt, Qt::LeftButton);
      for (int tick = 0; tick < 3; ++tick) FollowPushToTalk(rig.ctx, w);
    });
    QCOMPARE(client.targets.size(), std::size_t{2});
    QVERIFY(client.targets[0] == std::vector<net::DPNID>{44});
    QVERIFY(client.targets[1].empty());
  }

  void offlineMessagesListSortsWithoutCaseAndWritesBack() {
    Rig rig;
    rig.dir.Write("messages.txt", {'b', 'r',  'a', 'v', 'o', '\r', '\n', 'A', 'l', 'p',  'h',
                                   'a', '\n', 'c', 'h', 'a', 'r',  'l',  'i', 'e', '\r', '\n'});
    QStringList shown, kept;
    QTimer::singleShot(0, [&] {
      const WindowId w = rig.windows.LastOpened();
      auto* list = rig.Control<QListWidget>(w, kCtlOfflineList);
      for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text();
      // The list takes the focus and makes a row current: that chooses nothing.
      QVERIFY(QTest::qWaitForWindowActive(rig.windows.DialogOf(w)));
      list->setFocus(Qt::TabFocusReason);
      QCOMPARE(list->currentRow(), 0);
      QVERIFY(!rig.windows.ControlOf(w, kCtlOfflineDelete)->isEnabled());
      kOfflineMessagesDialogProcedure.command(rig.ctx, w, kCtlOfflineDelete, kNotifyClicked);
      QCOMPARE(list->count(), 3);
      // Delete is enabled exactly while an entry is selected: Ctrl+click takes the choice back.
      QWidget* del = rig.windows.ControlOf(w, kCtlOfflineDelete);
      const QPoint row0 = list->visualItemRect(list->item(0)).center();
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row0);
      QVERIFY(del->isEnabled());
      QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, row0);
      QCOMPARE(list->selectedItems().size(), 0);
      QVERIFY(!del->isEnabled());
      list->setCurrentRow(1);  // "bravo"
      QVERIFY(del->isEnabled());
      rig.Control<QPushButton>(w, kCtlOfflineDelete)->click();
      QCOMPARE(del->isEnabled(), !list->selectedItems().isEmpty());
      rig.windows.ListAdd(w, kCtlOfflineList, "Beta");  // as a message arriving meanwhile
      for (int i = 0; i < list->count(); ++i) kept << list->item(i)->text();
      list->setCurrentRow(0);
      rig.Control<QPushButton>(w, kCtlOfflineClearAll)->click();
      QCOMPARE(list->count(), 0);
      QVERIFY(!del->isEnabled());
      rig.windows.ListAdd(w, kCtlOfflineList, "Delta");
      QTest::keyClick(rig.windows.DialogOf(w), Qt::Key_Escape);  // closes and writes back
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kOfflineMessagesDialog), 2);
    QCOMPARE(shown, (QStringList{"Alpha", "bravo", "charlie"}));
    QCOMPARE(kept, (QStringList{"Alpha", "Beta", "charlie"}));
    auto file = rig.dir.Read("messages.txt");
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(file.data()), static_cast<int>(file.size())),
             QByteArray("Delta\r\n"));
  }

  // 20,000 stored messages open at once (the time is printed), and when the session ends under
  // the open dialog (a kick) the list, with a message that arrived meanwhile, is written back.
  void offlineMessagesOpenQuicklyAndOutliveAKick() {
    Rig rig;
    constexpr int kStored = 20000;
    std::vector<std::uint8_t> stored;
    for (int i = kStored; i > 0; --i) {
      const std::string line = "message " + std::to_string(i) + "\r\n";
      stored.insert(stored.end(), line.begin(), line.end());
    }
    rig.dir.Write("messages.txt", stored);
    int code = rig.Run([&](WindowId main) {
      rig.ctx.main_window = main;
      const auto opening = std::chrono::steady_clock::now();
      std::thread server;
      QTimer::singleShot(0, [&] {
        const WindowId w = rig.windows.LastOpened();
        qInfo("opened with %d messages in %.0f ms", kStored,
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opening)
                  .count());
        auto* list = rig.Control<QListWidget>(w, kCtlOfflineList);
        QCOMPARE(list->count(), kStored);
        QCOMPARE(list->item(0)->text(), QString("message 1"));
        QCOMPARE(list->item(1)->text(), QString("message 10"));
        server = std::thread([&] { DeliverOfflineMessage(rig.ctx, "arrived meanwhile"); });
        server.join();
        QTRY_COMPARE(list->count(), kStored + 1);
        rig.windows.EndDialog(main, kEndKicked);
      });
      rig.windows.RunModalDialog(main, kOfflineMessagesDialog);
      if (server.joinable()) server.join();
    });
    QCOMPARE(code, static_cast<int>(kEndKicked));
    QCOMPARE(rig.ctx.offline_messages_window.load(), kNoWindow);
    const auto lines = ReadOfflineMessages(rig.dir.path() / "messages.txt");
    QCOMPARE(static_cast<int>(lines.size()), kStored + 1);
    QCOMPARE(lines.front(), std::string("arrived meanwhile"));
  }

  // The statistics report keeps its text and shows its columns lined up.
  void statisticsReportLinesUpItsColumns() {
    Rig rig;
    QString box_text, shown;
    bool fixed = false, unwrapped = false;
    rig.Run([&](WindowId w) {
      QTimer::singleShot(50, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        box_text = box->text();
        if (auto* report = box->findChild<QLabel*>("tabularReport")) {
          unwrapped = report->isVisible() && !report->wordWrap();
          shown = report->text();
          fixed = QFontInfo(report->font()).fixedPitch();
        }
        box->button(QMessageBox::Ok)->click();
      });
      kMainDialogProcedure.command(rig.ctx, w, kCtlStatistics, kNotifyClicked);
    });
    // The report reaches the screen (and a screen reader) once: in the label, not the box text.
    QCOMPARE(box_text, QString());
    const QStringList want = QString::fromLatin1(StatisticsReport(rig.ctx).c_str()).split('\n');
    QVERIFY(fixed && unwrapped);
    const QStringList lines = shown.split('\n');
    QCOMPARE(lines.size(), want.size());
    for (qsizetype i = 1; i < lines.size(); ++i) {  // the first, the clock, moved
      QCOMPARE(lines[i].simplified(), want[i].simplified());
    }
    // "# T (P)\tPingMS\t..." and "Server\t     0\t..." put their columns at the same places.
    QVERIFY(lines.size() > 3 && !shown.contains('\t'));
    QCOMPARE(lines[2].indexOf("PingMS"), 8);
    QCOMPARE(lines[2].indexOf("RcvMsg"), 80);
    QCOMPARE(lines[3].lastIndexOf(' ') + 1, 85);  // the tenth count, right-aligned in its six
  }

  void postedBoxIsShownThenEndsItsOwner() {
    Rig rig;
    QString box;
    std::thread worker;
    QTimer::singleShot(0, [&] {
      const WindowId w = rig.windows.LastOpened();
      AnswerNextBox(&box);
      // From another thread, as the recorder does while it holds its lock: nobody waits.
      worker = std::thread([&, w] {
        rig.windows.PostMessageBox(w, "Out of string space for FDR...", "Client Application",
                                   kMbIconWarning, kEndFatal);
      });
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kMainDialog), static_cast<int>(kEndFatal));
    worker.join();
    QCOMPARE(box, QString("Out of string space for FDR..."));
  }

  void workerMessageBoxIsReleasedWhenTheDialogEnds() {
    Rig rig;
    std::atomic<int> answer{-1};
    std::thread worker;
    bool box_was_open = false;
    QTimer::singleShot(0, [&] {
      WindowId w = rig.windows.LastOpened();
      worker = std::thread(
          [&, w] { answer = rig.windows.MessageBox(w, "waiting", "caption", kMbOkCancel); });
      // The dialog ends while the worker's box is still open.
      QTimer::singleShot(300, [&, w] {
        box_was_open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        rig.windows.EndDialog(w, 3);
      });
    });
    QCOMPARE(rig.windows.RunModalDialog(kNoWindow, kMainDialog), 3);
    worker.join();
    QVERIFY(box_was_open);
    QCOMPARE(answer.load(), static_cast<int>(kIdCancel));
    // After the top dialog has ended, a worker's box answers at once.
    std::thread late([&] { answer = rig.windows.MessageBox(kNoWindow, "late", "c", kMbYesNo); });
    late.join();
    QCOMPARE(answer.load(), static_cast<int>(kIdNo));
  }
};

QTEST_MAIN(MainDialogGuiTest)
#include "main_dialog_gui_test.moc"
