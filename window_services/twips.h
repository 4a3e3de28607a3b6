#pragma once

#include <QRect>

// Layouts are designed in twips; 15 make one pixel at 96 dpi. Odd values round.
constexpr int twips(int t)
{
    return (t + 7) / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}
