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
    // Without the theme's picture the box keeps its own (the style's) and its kind.
    const QString name = QString::fromLatin1(themeNameOf(box.icon()));
    if (name.isEmpty() || !QIcon::hasThemeIcon(name)) {
        return;
    }
    const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
    box.setIconPixmap(QIcon::fromTheme(name).pixmap(size, size));
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
