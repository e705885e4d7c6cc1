#include "ui/templates.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPolygonF>
#include <QPushButton>
#include <QRadialGradient>
#include <QVariant>

#include "state/window_port.h"
#include "ui_audio_setup_dialog.h"
#include "ui_configuration_dialog.h"
#include "ui_joystick_mapping_dialog.h"
#include "ui_login_dialog.h"
#include "ui_main_dialog.h"
#include "ui_new_account_dialog.h"
#include "ui_offline_messages_dialog.h"
#include "ui_password_dialog.h"
#include "ui_player_info_dialog.h"
#include "ui_profile_editor_dialog.h"
#include "ui_welcome_dialog.h"

namespace talmeris::ui {

namespace {

// The templates give every rectangle in dialog units, which follow the dialog's font: a
// horizontal unit is a quarter of the font's average letter width, a vertical unit an eighth of
// its height. Scaling them at run time keeps every label inside its rectangle whatever the font.
void ScaleFromDialogUnits(QDialog* dialog) {
  const QFontMetrics metrics(dialog->font());
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const DialogBaseUnits base = BaseUnits(metrics.horizontalAdvance(kLetters), metrics.height());
  auto rect = [&](const QRect& r) {
    return QRect(base.X(r.x()), base.Y(r.y()), base.X(r.width()), base.Y(r.height()));
  };
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isWindow()) continue;
    QRect r = rect(child->geometry());
    // A drop-down list's height is that of its open list; closed it is one line high.
    if (qobject_cast<QComboBox*>(child)) r.setHeight(child->sizeHint().height());
    child->setGeometry(r);
  }
  dialog->setFixedSize(base.X(dialog->width()), base.Y(dialog->height()));
}

// The welcome dialog's picture: the planet at dusk with a vessel climbing away from it, drawn
// at the label's size (and the screen's pixel ratio) so it stays sharp.
void DrawWelcomePicture(QDialog* dialog) {
  auto* label = dialog->findChild<QLabel*>(QStringLiteral("picture"));
  if (!label) return;
  const qreal ratio = label->devicePixelRatioF();
  QPixmap pixmap(label->size() * ratio);
  pixmap.setDevicePixelRatio(ratio);
  const QRectF area(QPointF(0, 0), QSizeF(label->size()));
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(area.topLeft(), area.bottomLeft());
  sky.setColorAt(0, QColor(6, 10, 30));
  sky.setColorAt(1, QColor(34, 28, 70));
  p.fillRect(area, sky);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(235, 235, 255));
  for (int i = 0; i < 24; ++i) {  // a fixed scatter of stars
    const qreal x = area.width() * ((i * 37) % 100) / 100.0;
    const qreal y = area.height() * 0.6 * ((i * 53) % 100) / 100.0;
    p.drawEllipse(QPointF(x, y), 0.6, 0.6);
  }
  const QPointF centre(area.width() * 0.5, area.height() * 1.55);
  const qreal radius = area.height() * 1.0;
  QRadialGradient planet(centre - QPointF(0, radius * 0.6), radius * 1.2);
  planet.setColorAt(0, QColor(90, 160, 210));
  planet.setColorAt(0.6, QColor(40, 90, 140));
  planet.setColorAt(1, QColor(10, 30, 60));
  p.setBrush(planet);
  p.drawEllipse(centre, radius, radius);
  p.setPen(QPen(QColor(255, 190, 110), 1.2));  // the dusk line along the limb
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 50 * 16,
            80 * 16);
  const QPointF vessel(area.width() * 0.68, area.height() * 0.32);
  p.setPen(QPen(QColor(255, 255, 255, 120), 1.0, Qt::DashLine));  // its climb
  p.drawLine(QPointF(area.width() * 0.3, area.height() * 0.75), vessel);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 230, 160));
  QPolygonF hull;
  hull << vessel + QPointF(5, -3) << vessel + QPointF(-4, -1) << vessel + QPointF(-2, 3);
  p.drawPolygon(hull);
  p.end();
  label->setPixmap(pixmap);
}

// A push button that takes the focus becomes the dialog's default, so Enter presses the button
// the player is on; when the focus moves to any other control the template's default button (or
// none) is the default again. Push-like check boxes never become the default. The toolkit's own
// version of this rule (auto-default buttons) is off: it would also make the first button of a
// dialog without a default its default.
void DefaultFollowsFocus(QDialog* dialog) {
  QPointer<QPushButton> template_default;
  for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
    b->setAutoDefault(false);
    if (b->isDefault()) template_default = b;
  }
  QObject::connect(qApp, &QApplication::focusChanged, dialog,
                   [dialog, template_default](QWidget*, QWidget* now) {
                     if (!now || now->window() != dialog) return;
                     auto* focused = qobject_cast<QPushButton*>(now);
                     QPushButton* wanted =
                         focused && !focused->isCheckable() ? focused : template_default.data();
                     for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
                       if (b != wanted && b->isDefault()) b->setDefault(false);
                     }
                     if (wanted && !wanted->isDefault()) wanted->setDefault(true);
                   });
}

// On Linux a drop-down list is named on the accessibility bus by the label it is the buddy of,
// never by its own name (that reads its value): a label of no size carries the name the
// template gives it, leaving the dialog as it looks.
void NameDropDownLists(QDialog* dialog) {
  for (QComboBox* c : dialog->findChildren<QComboBox*>()) {
    if (c->accessibleName().isEmpty()) continue;
    auto* label = new QLabel(c->accessibleName(), c->parentWidget());
    label->setProperty("nameOnly", true);  // never shown: it only names the list
    label->setGeometry(c->x(), c->y(), 0, 0);
    label->setBuddy(c);
  }
}

// The templates lay group boxes beside their controls, as frames drawn behind them. A screen
// reader names a control by the group that holds it ("VoIP", "Throttle"), so each control
// whose rectangle lies inside a group box's moves into it, where it stays as it looked; the
// order the Tab key takes is kept.
void GroupIntoBoxes(QDialog* dialog) {
  QList<QWidget*> tab_order;
  for (QWidget* w = dialog->nextInFocusChain(); w && w != dialog; w = w->nextInFocusChain()) {
    if (w->focusPolicy() & Qt::TabFocus) tab_order.push_back(w);
  }
  const auto boxes = dialog->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
  for (QGroupBox* box : boxes) {
    if (box->title().isEmpty()) continue;  // a frame only: it names nothing
    for (QWidget* w : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w == box || qobject_cast<QGroupBox*>(w) || w->isWindow()) continue;
      if (!box->geometry().contains(w->geometry())) continue;
      const bool hidden = w->isHidden();
      const QPoint at = w->pos() - box->pos();
      w->setParent(box);
      w->move(at);
      w->setVisible(!hidden);
    }
  }
  for (int i = 1; i < tab_order.size(); ++i) QWidget::setTabOrder(tab_order[i - 1], tab_order[i]);
}

template <typename Form>
bool Apply(QDialog* dialog) {
  Form form;
  form.setupUi(dialog);
  NameDropDownLists(dialog);
  DefaultFollowsFocus(dialog);
  if (dialog->property("dialogUnits").toBool()) ScaleFromDialogUnits(dialog);
  GroupIntoBoxes(dialog);
  DrawWelcomePicture(dialog);
  return true;
}
}  // namespace

DialogBaseUnits BaseUnits(int letters_width, int font_height) {
  // The average width of the 52 letters, rounded to the nearest pixel.
  return {(letters_width / 26 + 1) / 2, font_height};
}

bool ApplyTemplate(int resource, QDialog* dialog) {
  switch (resource) {
    case kMainDialog:
      return Apply<Ui::MainDialog>(dialog);
    case kLoginDialog:
      return Apply<Ui::LoginDialog>(dialog);
    case kNewAccountDialog:
      return Apply<Ui::NewAccountDialog>(dialog);
    case kWelcomeDialog:
      return Apply<Ui::WelcomeDialog>(dialog);
    case kOfflineMessagesDialog:
      return Apply<Ui::OfflineMessagesDialog>(dialog);
    case kAudioSetupDialog:
      return Apply<Ui::AudioSetupDialog>(dialog);
    case kConfigurationDialog:
      return Apply<Ui::ConfigurationDialog>(dialog);
    case kPlayerInfoDialog:
      return Apply<Ui::PlayerInfoDialog>(dialog);
    case kProfileEditorDialog:
      return Apply<Ui::ProfileEditorDialog>(dialog);
    case kJoystickMappingDialog:
      return Apply<Ui::JoystickMappingDialog>(dialog);
    case kPasswordDialog:
      return Apply<Ui::PasswordDialog>(dialog);
    default:
      return false;
  }
}

}  // namespace talmeris::ui
