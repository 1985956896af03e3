#include "app/LinkLabel.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>

namespace {

const QColor kLinkBlue(0, 0, 255);
const char* const kLinkFontFace = "ＭＳ ゴシック";
const char* const kLinkFontFallback = "IPAGothic";
const char* const kInstalledReadme = "/../share/doc/tallwyn/README.md";

}  // namespace

CLinkLabel::CLinkLabel(QWidget* parent) : QLabel(parent) {
    // The hand shows for as long as the pointer is over the label.
    setCursor(Qt::PointingHandCursor);
}

CLinkLabel::~CLinkLabel() = default;

void CLinkLabel::SetAddress(const QUrl& address) {
    m_address = address;
    update();
}

QUrl CLinkLabel::DocumentationAddress() {
    const QFileInfo installed(QCoreApplication::applicationDirPath() + kInstalledReadme);
    if (installed.exists()) {
        return QUrl::fromLocalFile(installed.canonicalFilePath());
    }
    return QUrl::fromLocalFile(QStringLiteral(TALLWYN_SOURCE_README));
}

QFont CLinkLabel::LinkFont() {
    const QString face = QString::fromUtf8(kLinkFontFace);
    QFont font(QFontDatabase::hasFamily(face) ? face : QString::fromLatin1(kLinkFontFallback));
    font.setPointSize(kFontPoints);
    return font;
}

void CLinkLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QRect strip(0, 0, kPaintWidth, kPaintHeight);
    painter.fillRect(strip, palette().color(QPalette::Button));

    // The text goes over an opaque cell in the default background colour, as a
    // fresh drawing surface paints it; it is neither clipped to the strip nor wrapped.
    painter.setFont(LinkFont());
    painter.setPen(kLinkBlue);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(Qt::white);
    painter.drawText(strip, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip,
                     m_address.toString());

    // The underline spans the strip: from x = 0 up to, not including, x = 205.
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setPen(QPen(kLinkBlue, 1));
    painter.drawLine(0, kUnderlineY, kPaintWidth - 1, kUnderlineY);
}

void CLinkLabel::mousePressEvent(QMouseEvent* event) {
    // The press opens the address, not the release; a failure is not reported.
    if (event->button() == Qt::LeftButton && !m_address.isEmpty()) {
        QDesktopServices::openUrl(m_address);
    }
    QLabel::mousePressEvent(event);
}
