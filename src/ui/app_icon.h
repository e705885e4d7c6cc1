// The client's icon for its windows (_NET_WM_ICON), drawn as the installed talmeris.svg shows
// it, so that every window has it whether or not an icon theme or SVG support is present.
#pragma once

#include <QIcon>

namespace talmeris::ui {

QIcon AppIcon();

}  // namespace talmeris::ui
