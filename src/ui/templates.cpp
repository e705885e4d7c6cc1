#include "ui/templates.h"

#include <QDialog>

#include "app/window_port.h"
#include "ui_main_dialog.h"

namespace talmeris::ui {

bool ApplyTemplate(int resource, QDialog* dialog) {
  switch (resource) {
    case kMainDialog: {
      Ui::MainDialog form;
      form.setupUi(dialog);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace talmeris::ui
