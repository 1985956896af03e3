#include "app/DialogUnits.h"

#include <QFont>
#include <QFontMetrics>

namespace {

// The average character width is measured over these, as the platform does.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// value * numerator / denominator, rounded half away from zero.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
    m_baseX = (width / 26 + 1) / 2;  // width / 52, rounded
    m_baseY = metrics.ascent() + metrics.descent();
}

int CDialogUnits::X(int dlu) const {
    return MulDiv(dlu, m_baseX, 4);
}

int CDialogUnits::Y(int dlu) const {
    return MulDiv(dlu, m_baseY, 8);
}

QRect CDialogUnits::MapRect(int x, int y, int cx, int cy) const {
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + cx) - left, Y(y + cy) - top);
}

QSize CDialogUnits::MapSize(int cx, int cy) const {
    return QSize(X(cx), Y(cy));
}
