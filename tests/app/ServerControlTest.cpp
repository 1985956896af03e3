// Start, Stop and closing the main window, with the message boxes answered here.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <cerrno>

#include "TestDialog.h"
#include "app/Resource.h"

namespace {

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

const QString kStopQuestion = Utf8("Tallwynを停止します。\nよろしいですか？");
const QString kCloseQuestion = Utf8("Tallwynを終了します。\nよろしいですか？");
const QString kConfirm = Utf8("確認");

QString PortInUse(const QString& port) {
    return Utf8("既にポート番号：") + port +
           Utf8("は使用されています。\nポート番号を変更して下さい。");
}

QString PortDenied(const QString& port) {
    return Utf8("ポート番号：") + port +
           Utf8("を使用する権限がありません。\n1024以上のポート番号を指定して下さい。");
}

void SetPort(CMainDialog& dialog, const QString& port) {
    dialog.ControlAs<QLineEdit>(IDC_PORT)->setText(port);
}

void Press(CMainDialog& dialog, int id) {
    QTest::mouseClick(dialog.ControlAs<QPushButton>(id), Qt::LeftButton);
}

bool Running(const CMainDialog& dialog) {
    const bool portEnabled = dialog.Control(IDC_PORT)->isEnabled();
    const bool startEnabled = dialog.Control(IDC_START)->isEnabled();
    const bool stopEnabled = dialog.Control(IDC_STOP)->isEnabled();
    if (portEnabled == startEnabled && startEnabled != stopEnabled) {
        return stopEnabled;
    }
    qWarning("controls show no single state");
    return false;
}

// A socket listening on 127.0.0.1:port for as long as it lives.
class CPortHolder {
public:
    CPortHolder() {
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_socket, 1);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~CPortHolder() { close(m_socket); }
    int Port() const { return m_port; }

private:
    int m_socket = -1;
    int m_port = 0;
};

}  // namespace

class ServerControlTest : public QObject {
    Q_OBJECT

private slots:
    void startListensAndStopAsksFirst();
    void stopAnsweredNoKeepsRunning();
    void portInUseIsTold();
    void createFailureNamesItsCause_data();
    void createFailureNamesItsCause();
    void portOutOfRangeIsRefused_data();
    void portOutOfRangeIsRefused();
    void listenFailureClosesTheSocket();
    void escapeAndCloseBoxAskTheSameQuestion_data();
    void escapeAndCloseBoxAskTheSameQuestion();
    void closeAnsweredYesEndsTheWindowAndTheServer();
    void acceptErrorIsTold();
    void enterPressesOnlyAFocusedButton_data();
    void enterPressesOnlyAFocusedButton();
};

void ServerControlTest::startListensAndStopAsksFirst() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const int port = loopback::UnusedPort();
    SetPort(dialog, QString::number(port));
    Press(dialog, IDC_START);

    QVERIFY(dialog.boxes.isEmpty());
    QVERIFY(Running(dialog));
    QVERIFY(dialog.IsRunning());
    QCOMPARE(dialog.Listener().Port(), port);
    QVERIFY(loopback::Accepts(port));

    dialog.answers = {QMessageBox::Yes};
    Press(dialog, IDC_STOP);
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, kStopQuestion);
    QCOMPARE(dialog.boxes[0].caption, kConfirm);
    QCOMPARE(dialog.boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(dialog.boxes[0].icon, QMessageBox::Warning);
    QVERIFY(!Running(dialog));
    QCOMPARE(dialog.Listener().Handle(), -1);
    QVERIFY(!loopback::Accepts(port));

    // And again on the same port.
    Press(dialog, IDC_START);
    QVERIFY(Running(dialog));
    QCOMPARE(dialog.boxes.size(), 1);
}

void ServerControlTest::stopAnsweredNoKeepsRunning() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const int port = loopback::UnusedPort();
    SetPort(dialog, QString::number(port));
    Press(dialog, IDC_START);
    dialog.answers = {QMessageBox::No};
    Press(dialog, IDC_STOP);
    QCOMPARE(dialog.boxes.size(), 1);
    QVERIFY(Running(dialog));
    QCOMPARE(dialog.Listener().Port(), port);
}

void ServerControlTest::portInUseIsTold() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const CPortHolder taken;
    const QString typed = QString::number(taken.Port());
    SetPort(dialog, typed);
    Press(dialog, IDC_START);

    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, PortInUse(typed));
    QCOMPARE(dialog.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!Running(dialog));
    QCOMPARE(dialog.Listener().Handle(), -1);

    // Another port works at once.
    SetPort(dialog, QString::number(loopback::UnusedPort()));
    Press(dialog, IDC_START);
    QVERIFY(Running(dialog));
}

void ServerControlTest::createFailureNamesItsCause_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("denied");
    // Tests run as root, who may bind any port: the failure is injected.
    QTest::newRow("permission (EACCES)") << EACCES << true;
    QTest::newRow("not permitted (EPERM)") << EPERM << true;
    QTest::newRow("in use") << EADDRINUSE << false;
    QTest::newRow("address not available") << EADDRNOTAVAIL << false;
    QTest::newRow("no descriptors left") << EMFILE << false;
}

void ServerControlTest::createFailureNamesItsCause() {
    QFETCH(int, error);
    QFETCH(bool, denied);
    CTestProfile file;
    CTestDialog dialog(file.profile);
    dialog.createError = error;
    Press(dialog, IDC_START);  // port "80"
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text,
             denied ? PortDenied(QStringLiteral("80")) : PortInUse(QStringLiteral("80")));
    QVERIFY(!Running(dialog));
}

void ServerControlTest::portOutOfRangeIsRefused_data() {
    QTest::addColumn<QString>("port");
    QTest::newRow("0") << "0";
    QTest::newRow("-1") << "-1";
    QTest::newRow("65536") << "65536";
    QTest::newRow("99999") << "99999";
    QTest::newRow("letters read as 0") << "abc";
    QTest::newRow("empty") << "";
}

void ServerControlTest::portOutOfRangeIsRefused() {
    QFETCH(QString, port);
    CTestProfile file;
    CTestDialog dialog(file.profile);
    SetPort(dialog, port);
    Press(dialog, IDC_START);
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, Utf8("ソケット作成失敗"));
    QCOMPARE(dialog.createCalls, 0);
    QVERIFY(!Running(dialog));
    QVERIFY(dialog.Control(IDC_START)->isEnabled());
}

void ServerControlTest::listenFailureClosesTheSocket() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const int port = loopback::UnusedPort();
    SetPort(dialog, QString::number(port));
    dialog.listenError = EADDRINUSE;
    Press(dialog, IDC_START);

    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, Utf8("ソケット接続待ち失敗"));
    QVERIFY(!Running(dialog));
    QCOMPARE(dialog.Listener().Handle(), -1);

    dialog.listenError.reset();
    Press(dialog, IDC_START);
    QVERIFY(Running(dialog));
    QVERIFY(loopback::Accepts(port));
}

void ServerControlTest::escapeAndCloseBoxAskTheSameQuestion_data() {
    QTest::addColumn<bool>("escape");
    QTest::newRow("Escape key") << true;
    QTest::newRow("close box") << false;
}

void ServerControlTest::escapeAndCloseBoxAskTheSameQuestion() {
    QFETCH(bool, escape);
    CTestProfile file;
    CTestDialog dialog(file.profile);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    SetPort(dialog, QString::number(loopback::UnusedPort()));
    Press(dialog, IDC_START);
    dialog.ControlAs<QLineEdit>(IDC_NAME)->setFocus();

    dialog.answers = {QMessageBox::No};
    if (escape) {
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);
    } else {
        dialog.close();
    }
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, kCloseQuestion);
    QCOMPARE(dialog.boxes[0].caption, kConfirm);
    QCOMPARE(dialog.boxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(dialog.boxes[0].icon, QMessageBox::Warning);
    QVERIFY(dialog.isVisible());
    QVERIFY(Running(dialog));
}

void ServerControlTest::closeAnsweredYesEndsTheWindowAndTheServer() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    const int port = loopback::UnusedPort();
    SetPort(dialog, QString::number(port));
    Press(dialog, IDC_START);
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.close(); });
    dialog.exec();  // returns once the question is answered Yes
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, kCloseQuestion);
    QVERIFY(!loopback::Accepts(port));
}

void ServerControlTest::acceptErrorIsTold() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    SetPort(dialog, QString::number(loopback::UnusedPort()));
    Press(dialog, IDC_START);
    dialog.Listener().OnAccept(ECONNABORTED);
    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, Utf8("エラーが発生しました。") + QString::number(ECONNABORTED));
    QCOMPARE(dialog.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(Running(dialog));
}

void ServerControlTest::enterPressesOnlyAFocusedButton_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<bool>("saves");
    QTest::newRow("name edit") << IDC_NAME << false << false;
    QTest::newRow("port edit") << IDC_PORT << false << false;
    QTest::newRow("check box") << IDC_ENABLE << false << false;
    QTest::newRow("list") << IDC_SETTING_LIST << false << false;
    QTest::newRow("Start button") << IDC_START << true << false;
    QTest::newRow("Update button") << IDC_UPDATE << false << true;
}

void ServerControlTest::enterPressesOnlyAFocusedButton() {
    QFETCH(int, focus);
    QFETCH(bool, starts);
    QFETCH(bool, saves);
    CTestProfile file;
    CTestDialog dialog(file.profile);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.ControlAs<QLineEdit>(IDC_PORT)->setText(QString::number(loopback::UnusedPort()));
    dialog.Control(focus)->setFocus();
    QCOMPARE(dialog.focusWidget(), dialog.Control(focus));

    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);

    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.boxes.isEmpty());
    QCOMPARE(Running(dialog), starts);
    QCOMPARE(QFile::exists(QString::fromStdString(file.profile.Path())), saves);
}

QTEST_MAIN(ServerControlTest)
#include "ServerControlTest.moc"
