#include "app/Skin.h"

#include <QWidget>

namespace chongma {

// A light steel-blue skin. Borders keep the width the unskinned controls already have
// (1 px on frames and buttons), and no rule sets padding, margins or sizes on a control of the
// window: every control's place comes from setGeometry alone. The buttons of its dialogs and
// boxes are laid out by their size: padding keeps 取消, 是 and 否 clear of their borders. The group box's margin-top only
// moves its frame line down to the middle of the title, not the box or its children.
// No font rules either, so the window's font reaches every control.
QString skinStyleSheet()
{
    return QStringLiteral(R"(
QFrame#pnl1 {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f1f5fa, stop:1 #d8e2ee);
    border: 1px solid #9fb2c8;
}
QGroupBox {
    background: transparent;
    border: 1px solid #8ea5c0;
    border-radius: 3px;
    margin-top: 6px;
}
QGroupBox::title {
    subcontrol-origin: margin;
    subcontrol-position: top left;
    left: 8px;
    padding: 0px 2px;
    color: #1d3f6b;
}
QPushButton {
    color: #10243f;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfeff, stop:0.5 #e9eff7, stop:1 #d3deeb);
    border: 1px solid #7089a9;
    border-radius: 3px;
}
QDialog QPushButton {
    padding: 3px 12px;
    min-width: 48px;
}
QPushButton:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #e3eefb, stop:1 #c5d9f1);
    border-color: #4f79ad;
}
QPushButton:pressed {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #c3d3e7, stop:1 #dfe8f3);
}
QPushButton:focus {
    border-color: #2f62a3;
}
QPushButton:disabled {
    color: #8c99aa;
    background: #e4e9ef;
    border-color: #aab7c6;
}
QPlainTextEdit {
    color: #000000;
    background: #ffffff;
    border: 1px solid #8ea5c0;
    selection-background-color: #3d74b8;
    selection-color: #ffffff;
}
QPlainTextEdit:focus {
    border-color: #2f62a3;
}
QLabel {
    color: #10243f;
    background: transparent;
}
)");
}

void applySkin(QWidget *window) { window->setStyleSheet(skinStyleSheet()); }

} // namespace chongma
