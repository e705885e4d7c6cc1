// The dialog templates compiled from resources/*.ui, by resource id.
#pragma once

class QDialog;

namespace talmeris::ui {

// Builds the template's controls into `dialog`. False for an unknown resource.
bool ApplyTemplate(int resource, QDialog* dialog);

}  // namespace talmeris::ui
