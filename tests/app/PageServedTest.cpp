// A page asked for while the window runs is answered through the window's event
// loop, from a scripted POP3 peer.
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <algorithm>

#include "TestDialog.h"
#include "app/Resource.h"
#include "support/FakePop3Server.h"
#include "support/HttpExchange.h"
#include "support/Pop3Script.h"

namespace {

constexpr int kShortTimeoutMs = 2000;

// One message with the subject, listed and closed.
pop3::Script Mailbox(const std::string& subject) {
    using namespace pop3;
    return Join({Login(1), Top(1, Message(subject, "")), Quit()});
}

}  // namespace

class PageServedTest : public QObject {
    Q_OBJECT

private slots:
    void pageServedThroughTheEventLoop();
};

void PageServedTest::pageServedThroughTheEventLoop() {
    FakePop3Server pop3({Mailbox("first"), Mailbox("second")});
    // The fake sees QUIT inside the window's OnAccept; the test reads it only when
    // the event loop has returned, so by then the page is complete.
    const auto quits = [&pop3] {
        const std::vector<std::string> lines = pop3.Received();
        return std::count(lines.begin(), lines.end(), std::string("QUIT"));
    };
    CTestProfile file;
    CSetting setting;
    setting.ENABLE = true;
    setting.WEB_PASS = "pw";
    setting.MAIL_SERVER = pop3.Address();
    setting.MAIL_ACCOUNT = "taro";
    setting.MAIL_PASS = "secret";
    file.Store(1, setting);
    CTestDialog dialog(file.profile);
    dialog.Listener().SetTimeout(kShortTimeoutMs);
    const int port = loopback::UnusedPort();
    dialog.ControlAs<QLineEdit>(IDC_PORT)->setText(QString::number(port));
    QTest::mouseClick(dialog.ControlAs<QPushButton>(IDC_START), Qt::LeftButton);
    QVERIFY(dialog.IsRunning());

    {
        HttpExchange browser(port, HttpExchange::Get("/001pwtoplist"));
        QCOMPARE(pop3.Connections(), 0);  // nothing happens until the loop runs
        QTRY_COMPARE_WITH_TIMEOUT(quits(), 1, 5000);
        QVERIFY(browser.Closed());
        QVERIFY2(browser.Response().find("first") != std::string::npos, browser.Response().c_str());
    }

    // A public password changed with Update applies to the next request at once
    // (with the old record, this request would be refused).
    auto* webPass = dialog.ControlAs<QLineEdit>(IDC_WEB_PASS);
    webPass->setText(QStringLiteral("pw2"));
    QTest::mouseClick(dialog.ControlAs<QPushButton>(IDC_UPDATE), Qt::LeftButton);
    HttpExchange browser(port, HttpExchange::Get("/001pw2toplist"));
    QTRY_COMPARE_WITH_TIMEOUT(quits(), 2, 5000);
    QVERIFY(browser.Closed());
    QVERIFY(browser.Response().find("second") != std::string::npos);
    // The peer marks its script done just after its last answer has gone out.
    QVERIFY2(pop3.ScriptMet(kShortTimeoutMs), pop3.Failure().c_str());
    QVERIFY(dialog.boxes.isEmpty());
    QVERIFY(dialog.IsRunning());
}

QTEST_MAIN(PageServedTest)
#include "PageServedTest.moc"
