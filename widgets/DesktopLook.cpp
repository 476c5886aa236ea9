#include "widgets/DesktopLook.h"

#include <QDialog>
#include <QStyle>

namespace widgets {

QIcon themeIcon(const char* name, const QIcon& fallback)
{
    return QIcon::fromTheme(QString::fromLatin1(name), fallback);
}

const char* themeNameOf(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical:
        return "dialog-error";
    case QMessageBox::Information:
        return "dialog-information";
    case QMessageBox::Warning:
        return "dialog-warning";
    case QMessageBox::Question:
        return "dialog-question";
    case QMessageBox::NoIcon:
        break;
    }
    return "";
}

const char* themeNameOf(base::BigBoxKind kind)
{
    switch (kind) {
    case base::BigBoxKind::Error:
        return themeNameOf(QMessageBox::Critical);
    case base::BigBoxKind::Info:
        return themeNameOf(QMessageBox::Information);
    case base::BigBoxKind::Warning:
        return themeNameOf(QMessageBox::Warning);
    case base::BigBoxKind::Text:
        break;
    }
    return themeNameOf(QMessageBox::Question);
}

void useThemeIcon(QMessageBox& box)
{
    const QMessageBox::Icon kind = box.icon();
    if (kind == QMessageBox::NoIcon) {
        return;
    }
    // The box's own picture (the style's) stays as the fallback.
    const QPixmap own = box.iconPixmap();
    const QIcon icon = themeIcon(themeNameOf(kind), QIcon(own));
    box.setIconPixmap(icon.pixmap(own.deviceIndependentSize().toSize()));
}

void offerNoMaximise(QWidget* window)
{
    Qt::WindowFlags flags = window->windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                            | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (qobject_cast<QDialog*>(window)) {
        flags |= Qt::MSWindowsFixedSizeDialogHint;
        flags &= ~Qt::WindowMinimizeButtonHint;
    } else {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    window->setWindowFlags(flags & ~Qt::WindowMaximizeButtonHint);
}

} // namespace widgets
