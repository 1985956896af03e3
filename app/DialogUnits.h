#pragma once

#include <QRect>
#include <QSize>

class QFont;

// Turns dialog units into pixels from the dialog font, the way dialog templates
// have always been laid out: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.
class CDialogUnits {
public:
    // Base units taken from font (average width of the 52 Latin letters, rounded;
    // height as ascent plus descent).
    explicit CDialogUnits(const QFont& font);
    // Base units given directly.
    CDialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    int X(int dlu) const;
    int Y(int dlu) const;
    // Left, top, right and bottom are mapped one by one, so neighbouring boxes
    // that touch in dialog units still touch in pixels.
    QRect MapRect(int x, int y, int cx, int cy) const;
    QSize MapSize(int cx, int cy) const;

private:
    int m_baseX;
    int m_baseY;
};
