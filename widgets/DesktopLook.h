#pragma once

#include "base/Dialogs.h"

#include <QIcon>
#include <QMessageBox>
#include <QProxyStyle>

class QWidget;

namespace widgets {

//! The desktop theme's icon of a freedesktop name ("dialog-error", "go-home" …), or `fallback` when no theme is
//! installed or the theme lacks the icon.
QIcon themeIcon(const char* name, const QIcon& fallback);

//! The freedesktop name of a message kind's icon: "dialog-error", "dialog-information", "dialog-warning",
//! "dialog-question"; empty for a box without icon.
const char* themeNameOf(QMessageBox::Icon icon);
const char* themeNameOf(base::BigBoxKind kind);

//! Gives a message box the theme's icon of its kind; without one in the theme the box keeps the style's picture.
void useThemeIcon(QMessageBox& box);

//! A window of fixed size offers no "maximise": its title bar keeps title, system menu, minimise (windows only)
//! and close. A dialog also gets the fixed-size dialog hint. Call it before the window is shown.
void offerNoMaximise(QWidget* window);

/**
 * The desktop's own style, with one change: the pictures a window makes at once but seldom shows (the overflow
 * button of a menu bar or tool bar) are read when first drawn. Qt reads such a picture by guessing its format,
 * which loads every image format plugin and the icon theme's plugins while the first window is made.
 */
class DesktopStyle : public QProxyStyle
{
public:
    QIcon standardIcon(StandardPixmap picture, const QStyleOption* option, const QWidget* widget) const override;
};

} // namespace widgets
