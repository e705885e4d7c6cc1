// The dialog templates compiled from resources/*.ui, by resource id.
#pragma once

class QDialog;

namespace talmeris::ui {

// The pixel size of dialog units for a font: x px = units * base_x / 4, y px = units * base_y / 8,
// rounded to the nearest pixel.
struct DialogBaseUnits {
  int base_x = 0;
  int base_y = 0;
  int X(int units) const { return (units * base_x + 2) / 4; }
  int Y(int units) const { return (units * base_y + 4) / 8; }
};
DialogBaseUnits BaseUnits(int letters_width, int font_height);

// Builds the template's controls into `dialog`, their rectangles scaled from dialog units by
// the dialog's font. False for an unknown resource.
bool ApplyTemplate(int resource, QDialog* dialog);

}  // namespace talmeris::ui
