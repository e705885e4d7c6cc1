// dialog-shots: draws every dialog template as the client shows it, each into a PNG file, for the
// documentation. Run it under a display (scripts/screenshots uses Xvfb) and with QT_SCALE_FACTOR
// for HiDPI pictures.
//   dialog-shots FOLDER [SUFFIX]
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <string>

#include "state/window_port.h"
#include "ui/templates.h"

namespace {

template <typename T>
T* Control(QDialog& d, int id) {
  return d.findChild<T*>(QString("ctl%1").arg(id));
}

// Sample contents, so the pictures show the dialogs in use.
void Fill(QDialog& d, int resource) {
  using namespace talmeris;
  if (resource == kMainDialog) {
    if (auto* history = Control<QPlainTextEdit>(d, 1015)) {
      history->setPlainText(
          "Connecting you to the universe...\nLogin information verified...\nProduct is "
          "up-to-date...\nConnection successful!\nReady to host peer programs...\nPlayer logged "
          "on [vega]\n[vega]: anyone near the north relay?\n[pilot]: on my way, expletive fog");
    }
    if (auto* players = Control<QListWidget>(d, 1054)) players->addItems({"vega", "orrin"});
    if (auto* filter = Control<QComboBox>(d, 1075)) {
      filter->addItems({"Everyone", "No Enemies", "Allies", "Partners", "Individual"});
    }
    if (auto* lag = Control<QLabel>(d, 1049)) lag->setText("Lag: 12 ms");
    if (auto* patching = Control<QLabel>(d, 1138)) patching->setText("");
    for (int id : {1055, 1024, 1027, 1023, 1028, 1032, 1025, 1058}) {
      if (auto* w = d.findChild<QWidget*>(QString("ctl%1").arg(id))) w->setEnabled(true);
    }
  } else if (resource == kLoginDialog) {
    if (auto* name = Control<QLineEdit>(d, 1121)) name->setText("pilot");
    if (auto* password = Control<QLineEdit>(d, 1122)) password->setText("pilot");
  } else if (resource == kConfigurationDialog) {
    d.setWindowTitle("Configuration [v173.006]");
    if (auto* video = Control<QComboBox>(d, 1131)) {
      video->addItems({"1024x768", "1152x864", "1280x720", "1280x768", "1280x960", "1280x1024"});
      video->setCurrentIndex(4);
    }
    for (int id : {1077, 1078, 1082, 1087, 1123, 1124}) {
      if (auto* b = Control<QAbstractButton>(d, id)) b->setChecked(true);
    }
  } else if (resource == kPlayerInfoDialog) {
    d.setWindowTitle("Player Information [vega]");
    if (auto* e = Control<QLineEdit>(d, 1072)) e->setText("CAPTAIN VEGA MARSH");
    if (auto* e = Control<QLineEdit>(d, 1094)) e->setText("FENWAY ALLIANCE");
    if (auto* e = Control<QLineEdit>(d, 1033)) e->setText("Wed Dec 29 23:59:59 2026");
    if (auto* b = Control<QAbstractButton>(d, 1068)) b->setChecked(true);
    if (auto* b = Control<QAbstractButton>(d, 1142)) b->setChecked(true);
  } else if (resource == kProfileEditorDialog) {
    if (auto* e = Control<QLineEdit>(d, 1094)) e->setText("Fenway Alliance");
    if (auto* e = Control<QLineEdit>(d, 1033)) e->setText("Wed Dec 29 23:59:59 2026");
    for (int id : {1089, 1091, 1092}) {
      if (auto* e = Control<QLineEdit>(d, id)) e->setText(id == 1089 ? "10" : "5");
    }
    if (auto* e = Control<QLineEdit>(d, 1035)) e->setText("pilot");
    if (auto* e = Control<QLineEdit>(d, 1034)) e->setText("Captain");
    if (auto* e = Control<QLineEdit>(d, 1111)) e->setText("ANN LEE");
    if (auto* b = Control<QAbstractButton>(d, 1113)) b->setChecked(true);
    for (int id : {1086, 1087}) {
      if (auto* w = d.findChild<QWidget*>(QString("ctl%1").arg(id))) w->setEnabled(false);
    }
  } else if (resource == kJoystickMappingDialog) {
    for (int id : {1134, 1136}) {
      if (auto* b = Control<QAbstractButton>(d, id)) b->setChecked(true);
    }
  } else if (resource == kAudioSetupDialog) {
    for (int id : {1801, 1802}) {
      if (auto* devices = Control<QComboBox>(d, id)) devices->addItems({"Default", "USB Headset"});
    }
    for (int id : {1805, 1806}) {
      if (auto* levels = Control<QComboBox>(d, id)) {
        for (int db = -20; db >= -60; db -= 2) levels->addItem(QString("%1 dB").arg(db));
        levels->setCurrentIndex(id == 1805 ? 8 : 12);
      }
    }
    if (auto* level = d.findChild<QProgressBar*>("ctl1803")) level->setValue(58);
    if (auto* state = Control<QLabel>(d, 1804)) state->setText("Voice activation: open");
    if (auto* status = Control<QLabel>(d, 1808))
      status->setText("Speak now: the bar shows how loud you are.");
    if (auto* echo = Control<QCheckBox>(d, 1809)) echo->setChecked(true);
  } else if (resource == kOfflineMessagesDialog) {
    if (auto* list = Control<QListWidget>(d, 1054)) {
      list->addItems({"From orrin: meet me at the ridge at dawn",
                      "From tamsin: thanks for the tow!", "From vega: alliance vote tonight"});
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: dialog-shots FOLDER [SUFFIX]\n");
    return 2;
  }
  QApplication app(argc, argv);
  const QString folder = argv[1];
  const QString suffix = argc == 3 ? argv[2] : "";
  struct Shot {
    int resource;
    const char* name;
  };
  const Shot shots[] = {{talmeris::kMainDialog, "main"},
                        {talmeris::kLoginDialog, "login"},
                        {talmeris::kNewAccountDialog, "new-account"},
                        {talmeris::kWelcomeDialog, "welcome"},
                        {talmeris::kOfflineMessagesDialog, "offline-messages"},
                        {talmeris::kAudioSetupDialog, "audio-setup"},
                        {talmeris::kConfigurationDialog, "configuration"},
                        {talmeris::kJoystickMappingDialog, "joystick-mapping"},
                        {talmeris::kPasswordDialog, "password"},
                        {talmeris::kPlayerInfoDialog, "player-info"},
                        {talmeris::kProfileEditorDialog, "profile-editor"}};
  int failures = 0;
  for (const Shot& shot : shots) {
    QDialog dialog;
    if (!talmeris::ui::ApplyTemplate(shot.resource, &dialog)) {
      ++failures;
      continue;
    }
    Fill(dialog, shot.resource);
    dialog.show();
    for (int i = 0; i < 5; ++i) app.processEvents();
    const QString file = QString("%1/%2%3.png").arg(folder, shot.name, suffix);
    if (!dialog.grab().save(file)) ++failures;
    std::printf("%s\n", qPrintable(file));
  }
  return failures == 0 ? 0 : 1;
}
