#pragma once

#include <QString>

class QWidget;

namespace chongma {

// The window's skin: colours, gradients and rounded corners only. Nothing in it may
// change a control's position or size, since the window places every control by hand.
QString skinStyleSheet();

// Applies the skin to `window` and everything inside it.
void applySkin(QWidget *window);

} // namespace chongma
