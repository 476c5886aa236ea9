#include "widgets/DialogUnits.h"

#include <QFontMetricsF>
#include <QString>

#include <cmath>

namespace widgets {

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetricsF metrics(font);
    // The platform's average character width: the width of the 52 letters, averaged.
    m_charWidth =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
    m_charHeight = metrics.height();
}

int DialogUnits::x(int units) const
{
    return static_cast<int>(std::lround(units * m_charWidth / 4.0));
}

int DialogUnits::y(int units) const
{
    return static_cast<int>(std::lround(units * m_charHeight / 8.0));
}

QSize DialogUnits::size(int width, int height) const
{
    return {x(width), y(height)};
}

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    return {x(left), y(top), x(width), y(height)};
}

} // namespace widgets
