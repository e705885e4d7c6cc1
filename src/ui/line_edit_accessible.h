// What a screen reader sees of a one-line text field: its text, caret and selection, and whether
// the player may edit it. Qt's own interface reports every field editable, read-only ones too;
// this one reports editable only while the field takes input. Main thread only, as every widget.
#pragma once

namespace talmeris::ui {

// Makes every QLineEdit created from now on, and every one not yet seen by the accessibility
// layer, reach it through this interface. Safe to call more than once.
void InstallLineEditAccessible();

}  // namespace talmeris::ui
