#pragma once

#include <QLabel>
#include <QUrl>

// The clickable line at the bottom left of the main window: paints its address in
// blue with an underline over a button-face strip of fixed pixel size, shows the
// hand pointer, and opens the address in the user's browser when the left button
// is pressed.
class CLinkLabel : public QLabel {
    Q_OBJECT
public:
    // The painted strip: fixed in pixels, whatever the label's own size.
    static constexpr int kPaintWidth = 205;
    static constexpr int kPaintHeight = 15;
    static constexpr int kUnderlineY = 14;
    static constexpr int kFontPoints = 10;

    explicit CLinkLabel(QWidget* parent = nullptr);
    ~CLinkLabel() override;

    void SetAddress(const QUrl& address);
    const QUrl& Address() const { return m_address; }

    // The project's documentation: the README installed beside the program
    // (<exe dir>/../share/doc/tallwyn/README.md), else the one of the source tree
    // the program was built from.
    static QUrl DocumentationAddress();
    // "ＭＳ ゴシック" where installed, else IPAGothic.
    static QFont LinkFont();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QUrl m_address;
};
