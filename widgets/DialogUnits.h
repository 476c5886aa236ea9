#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace widgets {

//! Converts dialog units to pixels from the metrics of a font: a horizontal unit is a quarter of the font's average
//! character width, a vertical unit an eighth of its character height.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QSize size(int width, int height) const;
    QRect rect(int left, int top, int width, int height) const;

private:
    double m_charWidth;
    double m_charHeight;
};

} // namespace widgets
