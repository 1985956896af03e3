// The window as built from its template, and the link label.
#include <QDesktopServices>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QtTest>

#include "TestDialog.h"
#include "app/DialogTemplate.h"
#include "app/DialogUnits.h"
#include "app/LinkLabel.h"
#include "app/ProfileApp.h"
#include "app/Resource.h"

namespace {

const QColor kBlue(0, 0, 255);
const QColor kFace(10, 200, 10);

}  // namespace

// Counts the addresses the desktop would have opened.
class CUrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened.append(url); }
};

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void dialogUnitsRoundLikeThePlatform_data();
    void dialogUnitsRoundLikeThePlatform();
    void windowFollowsTheTemplate();
    void tabOrderIsTemplateOrder();
    void everyCaptionHasItsGlyphs();
    void toolTipsSitOnTheirControls();
    void linkLabelPaintsAFixedStrip();
    void linkLabelOpensOnPressOnly();
    void linkAddressIsTheDocumentation();
    void settingsFileLivesBesideTheExecutable();
};

void WindowTest::dialogUnitsRoundLikeThePlatform_data() {
    QTest::addColumn<int>("baseX");
    QTest::addColumn<int>("baseY");
    QTest::addColumn<QRect>("dlu");
    QTest::addColumn<QRect>("pixels");
    // x * baseX / 4 and y * baseY / 8, each edge rounded on its own.
    QTest::newRow("6x12 list") << 6 << 12 << QRect(7, 7, 114, 365) << QRect(11, 11, 171, 547);
    QTest::newRow("6x12 halves round up") << 6 << 12 << QRect(1, 1, 1, 1) << QRect(2, 2, 1, 1);
    QTest::newRow("7x13 start button")
        << 7 << 13 << QRect(243, 424, 50, 14) << QRect(425, 689, 88, 23);
    QTest::newRow("8x16 exact") << 8 << 16 << QRect(10, 10, 20, 20) << QRect(20, 20, 40, 40);
}

void WindowTest::dialogUnitsRoundLikeThePlatform() {
    QFETCH(int, baseX);
    QFETCH(int, baseY);
    QFETCH(QRect, dlu);
    QFETCH(QRect, pixels);
    const CDialogUnits units(baseX, baseY);
    QCOMPARE(units.MapRect(dlu.x(), dlu.y(), dlu.width(), dlu.height()), pixels);
}

void WindowTest::windowFollowsTheTemplate() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Ravenquill"));
    const CDialogUnits units(dialog.font());
    QVERIFY(units.BaseX() >= 4 && units.BaseY() >= 8);  // a real font was measured
    QCOMPARE(dialog.size(), units.MapSize(355, 479));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!dialog.windowIcon().isNull());
    QVERIFY(dialog.windowIcon().availableSizes().contains(QSize(16, 16)));
    QVERIFY(dialog.windowIcon().availableSizes().contains(QSize(32, 32)));

    int controls = 0;
    for (const CDialogItem& item : kMainDialogTemplate.items) {
        if (item.id == IDC_STATIC) {
            continue;
        }
        ++controls;
        QWidget* widget = dialog.Control(item.id);
        QVERIFY2(widget != nullptr, qPrintable(QString::number(item.id)));
        QCOMPARE(widget->geometry(), units.MapRect(item.x, item.y, item.cx, item.cy));
    }
    QCOMPARE(controls, 25);
    QVERIFY(dialog.ControlAs<CLinkLabel>(IDC_LINK) != nullptr);
    QCOMPARE(dialog.findChildren<QGroupBox*>().size(), 5);
}

void WindowTest::tabOrderIsTemplateOrder() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    QList<QWidget*> expected;
    for (const CDialogItem& item : kMainDialogTemplate.items) {
        if (item.style & kTabStop) {
            expected.append(dialog.Control(item.id));
        }
    }
    QCOMPARE(expected.size(), 20);
    QList<QWidget*> chain;
    QWidget* widget = expected.first();
    do {
        if (widget->focusPolicy() & Qt::TabFocus) {
            chain.append(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != expected.first());
    // Qt's own children (the list's viewport and scroll bars) take no tab focus.
    QCOMPARE(chain, expected);
    for (const int radio : {IDC_FILTER_ALL, IDC_FILTER_INCLUDE, IDC_FILTER_EXCLUDE}) {
        QVERIFY(!(dialog.Control(radio)->focusPolicy() & Qt::TabFocus));
    }
}

void WindowTest::everyCaptionHasItsGlyphs() {
    // A Japanese font must be there, or the captions show as boxes.
    const QFontMetrics metrics(CMainDialog::DialogFont());
    for (const CDialogItem& item : kMainDialogTemplate.items) {
        const QString caption = QString::fromUtf8(item.caption);
        for (const char32_t character : caption.toUcs4()) {
            QVERIFY2(metrics.inFontUcs4(character), qPrintable(caption + QStringLiteral(" in ") +
                                                               CMainDialog::DialogFont().family()));
        }
    }
    const QFontMetrics link(CLinkLabel::LinkFont());
    QVERIFY(link.inFontUcs4(U'/'));
}

void WindowTest::toolTipsSitOnTheirControls() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    QCOMPARE(dialog.Control(IDC_PORT)->toolTip(),
             QString::fromUtf8("ブラウザで参照する場合のポート番号を設定して下さい。"));
    int withTip = 0;
    for (const CDialogItem& item : kMainDialogTemplate.items) {
        if (item.id != IDC_STATIC && !dialog.Control(item.id)->toolTip().isEmpty()) {
            ++withTip;
        }
    }
    QCOMPARE(withTip, 12);
    QVERIFY(dialog.Control(IDC_UPDATE)->toolTip().isEmpty());
    QVERIFY(dialog.Control(IDC_SETTING_LIST)->toolTip().isEmpty());
}

void WindowTest::linkLabelPaintsAFixedStrip() {
    CLinkLabel label;
    QPalette palette = label.palette();
    palette.setColor(QPalette::Button, kFace);
    label.setPalette(palette);
    label.SetAddress(QUrl(QStringLiteral("file:///x")));
    label.resize(260, 30);  // larger than the strip
    const QImage image = label.grab().toImage();

    QCOMPARE(image.pixelColor(0, CLinkLabel::kUnderlineY), kBlue);
    QCOMPARE(image.pixelColor(204, CLinkLabel::kUnderlineY), kBlue);
    QVERIFY(image.pixelColor(205, CLinkLabel::kUnderlineY) != kBlue);
    QCOMPARE(image.pixelColor(204, 2), kFace);
    QVERIFY(image.pixelColor(210, 2) != kFace);
    QVERIFY(image.pixelColor(200, 20) != kFace);  // below the 15 pixel strip
    int blueInText = 0;
    for (int y = 0; y < CLinkLabel::kUnderlineY; ++y) {
        for (int x = 0; x < 60; ++x) {
            const QColor pixel = image.pixelColor(x, y);
            blueInText += pixel.blue() > 200 && pixel.red() < 120;  // smoothed glyph edges
        }
    }
    QVERIFY(blueInText > 10);
    QCOMPARE(label.cursor().shape(), Qt::PointingHandCursor);
}

void WindowTest::linkLabelOpensOnPressOnly() {
    CUrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "Open");
    CLinkLabel label;
    const QUrl address(QStringLiteral("file:///usr/share/doc/tallwyn/README.md"));
    label.SetAddress(address);
    label.resize(180, 15);

    QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(recorder.opened, QList<QUrl>{address});
    QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(&label, Qt::RightButton, {}, QPoint(5, 5));
    QCOMPARE(recorder.opened.size(), 1);
    QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(recorder.opened.size(), 2);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void WindowTest::linkAddressIsTheDocumentation() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const QUrl address = dialog.ControlAs<CLinkLabel>(IDC_LINK)->Address();
    QVERIFY(address.isLocalFile());
    QCOMPARE(QFileInfo(address.toLocalFile()).fileName(), QStringLiteral("README.md"));
    QVERIFY(QFileInfo::exists(address.toLocalFile()));
}

void WindowTest::settingsFileLivesBesideTheExecutable() {
    CProfileApp app;
    app.InitModuleDir();
    QCOMPARE(QString::fromStdString(app.Profile().Path()),
             QCoreApplication::applicationDirPath() + QStringLiteral("/tallwyn.stp"));
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
