// idle_floor: the floor under the idle client's processor time. An empty Qt program with one
// dialog and the client's 100 ms timer, doing nothing on it; bench/idle-client measures it beside
// the client. Quits after SECONDS (default 20).
//   idle_floor [SECONDS]
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <cstdlib>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  QDialog dialog;
  QLabel label("idle", &dialog);
  dialog.show();
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [] {});
  tick.start(100);
  QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
  return app.exec();
}
