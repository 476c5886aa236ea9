#include "widgets/DesktopLook.h"

#include <QDialog>
#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOption>

#include <functional>
#include <utility>

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

namespace {

//! An icon whose pictures are made when it is first drawn or measured.
class LateIconEngine : public QIconEngine
{
public:
    explicit LateIconEngine(std::function<QIcon()> make)
        : m_make(std::move(make))
    {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    // Known without making it: the styles have these pictures.
    bool isNull() override { return !m_make && m_icon.isNull(); }
    QString key() const override { return QStringLiteral("LateIconEngine"); }
    QIconEngine* clone() const override { return new LateIconEngine(*this); }

private:
    QIcon& icon()
    {
        if (m_make) {
            m_icon = std::exchange(m_make, nullptr)();
        }
        return m_icon;
    }

    std::function<QIcon()> m_make;
    QIcon m_icon;
};

} // namespace

QIcon DesktopStyle::standardIcon(StandardPixmap picture, const QStyleOption* option, const QWidget* widget) const
{
    if (picture != SP_ToolBarHorizontalExtensionButton && picture != SP_ToolBarVerticalExtensionButton) {
        return QProxyStyle::standardIcon(picture, option, widget);
    }
    // The direction is all the picture depends on; option and widget may be gone when it is drawn.
    const bool rightToLeft = widget ? widget->isRightToLeft() : QGuiApplication::isRightToLeft();
    return QIcon(new LateIconEngine([style = QPointer<QStyle>(baseStyle()), picture, rightToLeft] {
        if (!style) {
            return QIcon();
        }
        QStyleOption direction;
        direction.direction = rightToLeft ? Qt::RightToLeft : Qt::LeftToRight;
        return style->standardIcon(picture, &direction);
    }));
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
