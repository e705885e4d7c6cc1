#include "ui/templates.h"

#include <QDialog>

#include "state/window_port.h"
#include "ui_login_dialog.h"
#include "ui_main_dialog.h"
#include "ui_new_account_dialog.h"
#include "ui_welcome_dialog.h"

namespace talmeris::ui {

namespace {
template <typename Form>
bool Apply(QDialog* dialog) {
  Form form;
  form.setupUi(dialog);
  return true;
}
}  // namespace

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
    default:
      return false;
  }
}

}  // namespace talmeris::ui
