// The settings editor of the main window: start-up, Update, number fields, byte
// limits, enabling rules and the address display.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "TestDialog.h"
#include "app/Resource.h"

namespace {

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

QLineEdit* Edit(const CMainDialog& dialog, int id) {
    return dialog.ControlAs<QLineEdit>(id);
}

QAbstractButton* Button(const CMainDialog& dialog, int id) {
    return dialog.ControlAs<QAbstractButton>(id);
}

QString Address(const CMainDialog& dialog) {
    return dialog.ControlAs<QLabel>(IDC_ADDRESS)->text();
}

// Selects a list item the way the user does, by clicking it.
void ClickListItem(CMainDialog& dialog, int row) {
    if (!dialog.isVisible()) {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    }
    auto* list = dialog.ControlAs<QListWidget>(IDC_SETTING_LIST);
    const QRect item = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
}

void Retype(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    TypeText(edit, text);
}

// The controls that follow ENABLE: 1004 to 1017, the list order and the page style.
QList<int> EditorIds() {
    QList<int> ids{IDC_LIST_ORDER, IDC_PAGE_STYLE};
    for (int id = IDC_FILTER_ALL; id <= IDC_MAIL_PASS; ++id) {
        ids.append(id);
    }
    return ids;
}

CSetting EnabledSetting() {
    CSetting setting;
    setting.ENABLE = true;
    return setting;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithDefaultsWithoutFile();
    void startsWithStoredSettings();
    void updateWritesOnlyTheSelectedSettingAndRenamesItsItem();
    void selectingAnotherSettingDropsUnsavedEdits();
    void ctrlClickKeepsTheSelection();
    void numberFieldsStoreTheirDecimalValue_data();
    void numberFieldsStoreTheirDecimalValue();
    void editsCountCp932Bytes_data();
    void editsCountCp932Bytes();
    void pasteIsCutAtTheLimit();
    void storedTextBeyondTheLimitIsShownAndKept();
    void enablingFollowsChecksAndRadios_data();
    void enablingFollowsChecksAndRadios();
    void clickingOptionsRecomputesEnabling();
    void valuesOutsideTheControlsCheckNothingAndSurviveUpdate();
    void addressShowsThePortAsTyped_data();
    void addressShowsThePortAsTyped();
    void addressFollowsTypingAndSelection();
    void failedSaveIsToldAndKeepsTheEdits();
};

void MainDialogTest::startsWithDefaultsWithoutFile() {
    CTestProfile file;
    CTestDialog dialog(file.profile);

    auto* list = dialog.ControlAs<QListWidget>(IDC_SETTING_LIST);
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), Utf8("新しい設定001"));
    QCOMPARE(list->item(1)->text(), Utf8("新しい設定002"));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(0)});
    QCOMPARE(Edit(dialog, IDC_NAME)->text(), Utf8("新しい設定001"));
    QVERIFY(!Button(dialog, IDC_ENABLE)->isChecked());
    QVERIFY(Button(dialog, IDC_FILTER_ALL)->isChecked());
    QCOMPARE(Edit(dialog, IDC_BODY_LIMIT)->text(), QStringLiteral("1000"));
    QCOMPARE(Edit(dialog, IDC_SUBJECT_LIMIT)->text(), QStringLiteral("80"));
    QCOMPARE(Edit(dialog, IDC_LIST_COUNT)->text(), QStringLiteral("5"));
    QCOMPARE(Edit(dialog, IDC_PORT)->text(), QStringLiteral("80"));
    QCOMPARE(Address(dialog), QStringLiteral("http://SERVER/001XXXXXXtoplist"));
    QVERIFY(!Button(dialog, IDC_LIST_ORDER)->isChecked());
    QVERIFY(!Button(dialog, IDC_PAGE_STYLE)->isChecked());
    for (const int id : EditorIds()) {
        QVERIFY2(!dialog.Control(id)->isEnabled(), qPrintable(QString::number(id)));
    }
    QVERIFY(Button(dialog, IDC_START)->isEnabled());
    QVERIFY(!Button(dialog, IDC_STOP)->isEnabled());
    QCOMPARE(dialog.focusWidget(), dialog.Control(IDC_START));
    QVERIFY(dialog.boxes.isEmpty());
    QVERIFY2(!QFile::exists(QString::fromStdString(file.profile.Path())), "nothing is written");
}

void MainDialogTest::startsWithStoredSettings() {
    CTestProfile file;
    CSetting first = EnabledSetting();
    first.NAME = Sjis("社内メール");
    first.FILTER_TYPE = 1;
    first.FILTER1 = Sjis("緊急,至急");
    first.WEB_PASS = "pub1";
    first.MAIL_SERVER = "pop.example.test";
    first.MAIL_ACCOUNT = "taro";
    first.MAIL_PASS = "secret";
    first.MAIL_LIMIT_ENABLE = true;
    first.MAIL_LIMIT_BYTE = 2000;
    first.MAIL_LIST_COUNT = 20;
    first.MAIL_LIST_ORDER = CSetting::kListNewestFirst;
    first.MAIL_PAGE_STYLE = CSetting::kPageModern;
    file.Store(1, first);
    CSetting second;
    second.NAME = "second";
    file.Store(2, second);

    CTestDialog dialog(file.profile);

    auto* list = dialog.ControlAs<QListWidget>(IDC_SETTING_LIST);
    QCOMPARE(list->item(0)->text(), Utf8("社内メール"));
    QCOMPARE(list->item(1)->text(), QStringLiteral("second"));
    QCOMPARE(Edit(dialog, IDC_FILTER1)->text(), Utf8("緊急,至急"));
    QCOMPARE(Edit(dialog, IDC_WEB_PASS)->text(), QStringLiteral("pub1"));
    QCOMPARE(Edit(dialog, IDC_WEB_PASS)->echoMode(), QLineEdit::Password);
    QCOMPARE(Edit(dialog, IDC_MAIL_SERVER)->text(), QStringLiteral("pop.example.test"));
    QCOMPARE(Edit(dialog, IDC_MAIL_ACCOUNT)->text(), QStringLiteral("taro"));
    QCOMPARE(Edit(dialog, IDC_MAIL_PASS)->text(), QStringLiteral("secret"));
    QCOMPARE(Edit(dialog, IDC_BODY_LIMIT)->text(), QStringLiteral("2000"));
    QCOMPARE(Edit(dialog, IDC_LIST_COUNT)->text(), QStringLiteral("20"));
    QVERIFY(Button(dialog, IDC_ENABLE)->isChecked());
    QVERIFY(Button(dialog, IDC_BODY_LIMIT_CHECK)->isChecked());
    QVERIFY(!Button(dialog, IDC_SUBJECT_LIMIT_CHECK)->isChecked());
    QVERIFY(Button(dialog, IDC_LIST_ORDER)->isChecked());
    QVERIFY(Button(dialog, IDC_PAGE_STYLE)->isChecked());
    QVERIFY(Button(dialog, IDC_FILTER_INCLUDE)->isChecked());
    QVERIFY(!Button(dialog, IDC_FILTER_ALL)->isChecked());
    QVERIFY(dialog.Control(IDC_FILTER1)->isEnabled());
    QVERIFY(!dialog.Control(IDC_FILTER2)->isEnabled());
    QCOMPARE(dialog.Settings()[1].NAME, first.NAME);
}

void MainDialogTest::updateWritesOnlyTheSelectedSettingAndRenamesItsItem() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    ClickListItem(dialog, 1);
    QCOMPARE(Address(dialog), QStringLiteral("http://SERVER/002XXXXXXtoplist"));

    QTest::mouseClick(Button(dialog, IDC_ENABLE), Qt::LeftButton);
    Retype(Edit(dialog, IDC_NAME), Utf8("お知らせ"));
    QTest::mouseClick(Button(dialog, IDC_FILTER_EXCLUDE), Qt::LeftButton);
    Retype(Edit(dialog, IDC_FILTER2), Utf8("未承諾,広告"));
    Retype(Edit(dialog, IDC_WEB_PASS), QStringLiteral("web"));
    Retype(Edit(dialog, IDC_MAIL_SERVER), QStringLiteral("127.0.0.1"));
    Retype(Edit(dialog, IDC_MAIL_ACCOUNT), QStringLiteral(" hanako "));
    Retype(Edit(dialog, IDC_MAIL_PASS), QStringLiteral("pw"));
    QTest::mouseClick(Button(dialog, IDC_SUBJECT_LIMIT_CHECK), Qt::LeftButton);
    Retype(Edit(dialog, IDC_SUBJECT_LIMIT), QStringLiteral("40"));
    QTest::mouseClick(Button(dialog, IDC_LIST_ORDER), Qt::LeftButton);
    QTest::mouseClick(Button(dialog, IDC_PAGE_STYLE), Qt::LeftButton);
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);

    auto* list = dialog.ControlAs<QListWidget>(IDC_SETTING_LIST);
    QCOMPARE(list->item(1)->text(), Utf8("お知らせ"));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});
    QVERIFY(dialog.boxes.isEmpty());

    CSetting stored;
    stored.Load(file.profile, 2);
    QCOMPARE(stored.NAME, Sjis("お知らせ"));
    QVERIFY(stored.ENABLE);
    QCOMPARE(stored.FILTER_TYPE, 2);
    QCOMPARE(stored.FILTER2, Sjis("未承諾,広告"));
    QCOMPARE(stored.WEB_PASS, std::string("web"));
    QCOMPARE(stored.MAIL_SERVER, std::string("127.0.0.1"));
    // Blanks at either end survive the file as typed (the value is written quoted).
    QCOMPARE(stored.MAIL_ACCOUNT, std::string(" hanako "));
    QCOMPARE(dialog.Settings()[2].MAIL_ACCOUNT, std::string(" hanako "));
    QCOMPARE(stored.MAIL_PASS, std::string("pw"));
    QVERIFY(stored.MAIL_LIMIT_ENABLE2);
    QCOMPARE(stored.MAIL_LIMIT_BYTE2, 40);
    QCOMPARE(stored.MAIL_LIMIT_BYTE, 1000);
    QCOMPARE(stored.MAIL_LIST_COUNT, 5);
    QCOMPARE(stored.MAIL_LIST_ORDER, CSetting::kListNewestFirst);
    QCOMPARE(stored.MAIL_PAGE_STYLE, CSetting::kPageModern);
    QCOMPARE(file.profile.GetIniString("SETTING001", "NAME", "absent"), std::string("absent"));
    QCOMPARE(dialog.Settings()[2].NAME, Sjis("お知らせ"));
}

void MainDialogTest::selectingAnotherSettingDropsUnsavedEdits() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    Retype(Edit(dialog, IDC_NAME), QStringLiteral("typed, never saved"));
    ClickListItem(dialog, 1);
    ClickListItem(dialog, 0);
    QCOMPARE(Edit(dialog, IDC_NAME)->text(), Utf8("新しい設定001"));
    QCOMPARE(dialog.Settings()[1].NAME, Sjis("新しい設定001"));
}

void MainDialogTest::ctrlClickKeepsTheSelection() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    ClickListItem(dialog, 1);
    Retype(Edit(dialog, IDC_NAME), QStringLiteral("typed"));
    auto* list = dialog.ControlAs<QListWidget>(IDC_SETTING_LIST);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      list->visualItemRect(list->item(1)).center());
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});
    QCOMPARE(Edit(dialog, IDC_NAME)->text(), QStringLiteral("typed"));
    QCOMPARE(Address(dialog), QStringLiteral("http://SERVER/002XXXXXXtoplist"));
}

void MainDialogTest::numberFieldsStoreTheirDecimalValue_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("stored");
    QTest::newRow("digits then letters") << "12ab" << 12;
    QTest::newRow("letters only") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("spaces and sign") << "  -7x" << -7;
    QTest::newRow("full-width digits are no digits") << Utf8("１２") << 0;
}

void MainDialogTest::numberFieldsStoreTheirDecimalValue() {
    QFETCH(QString, typed);
    QFETCH(int, stored);
    CTestProfile file;
    CSetting setting = EnabledSetting();
    setting.MAIL_LIMIT_ENABLE = setting.MAIL_LIMIT_ENABLE2 = true;
    file.Store(1, setting);
    CTestDialog dialog(file.profile);
    for (const int id : {IDC_BODY_LIMIT, IDC_SUBJECT_LIMIT}) {
        Retype(Edit(dialog, id), typed);
    }
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);

    QCOMPARE(dialog.Settings()[1].MAIL_LIMIT_BYTE, stored);
    QCOMPARE(dialog.Settings()[1].MAIL_LIMIT_BYTE2, stored);
    QCOMPARE(Edit(dialog, IDC_BODY_LIMIT)->text(), typed);  // shown as typed until shown again
    CSetting reread;
    reread.Load(file.profile, 1);
    QCOMPARE(reread.MAIL_LIMIT_BYTE, stored);
}

void MainDialogTest::editsCountCp932Bytes_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    const QString a = Utf8("あ");
    QTest::newRow("password: 15 kana fill 30 bytes")
        << IDC_WEB_PASS << a.repeated(16) << a.repeated(15);
    QTest::newRow("password: no room for half a kana")
        << IDC_MAIL_PASS << QString(29, u'x') + a + u'y' << QString(29, u'x') + u'y';
    QTest::newRow("password: half-width kana take one byte")
        << IDC_WEB_PASS << Utf8("ｱ").repeated(31) << Utf8("ｱ").repeated(30);
    QTest::newRow("filter: 32 kanji")
        << IDC_FILTER1 << Utf8("緊").repeated(33) << Utf8("緊").repeated(32);
    QTest::newRow("server: 128 bytes")
        << IDC_MAIL_SERVER << QString(130, u's') << QString(128, u's');
    QTest::newRow("list count: 3 bytes") << IDC_LIST_COUNT << a + a << a;
    QTest::newRow("list count: kana and digit") << IDC_LIST_COUNT << a + u'1' + u'2' << a + u'1';
    QTest::newRow("port: 5 bytes") << IDC_PORT << "123456"
                                   << "12345";
    QTest::newRow("name: no byte limit") << IDC_NAME << a.repeated(100) << a.repeated(100);
    QTest::newRow("name: Hangul refused") << IDC_NAME << Utf8("a한b") << "ab";
    QTest::newRow("filter: simplified Chinese refused")
        << IDC_FILTER2 << Utf8("広告们") << Utf8("広告");
    QTest::newRow("number field: unencodable refused") << IDC_BODY_LIMIT << Utf8("1€2") << "12";
}

void MainDialogTest::editsCountCp932Bytes() {
    QFETCH(int, id);
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    CTestProfile file;
    CSetting setting = EnabledSetting();
    setting.FILTER_TYPE = 5;  // both keyword edits enabled
    setting.MAIL_LIMIT_ENABLE = true;
    file.Store(1, setting);
    CTestDialog dialog(file.profile);
    QLineEdit* edit = Edit(dialog, id);
    edit->clear();
    TypeText(edit, typed);
    QCOMPARE(edit->text(), kept);
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);
    QVERIFY(dialog.boxes.isEmpty());
}

void MainDialogTest::pasteIsCutAtTheLimit() {
    CTestProfile file;
    file.Store(1, EnabledSetting());
    CTestDialog dialog(file.profile);
    QLineEdit* edit = Edit(dialog, IDC_WEB_PASS);
    QTest::keyClicks(edit, QStringLiteral("ab"));
    edit->setCursorPosition(1);
    edit->insert(Utf8("パスワード😀") + QString(30, u'z'));  // the emoji is dropped
    QCOMPARE(edit->text(), Utf8("aパスワード") + QString(18, u'z') + u'b');
    QCOMPARE(edit->cursorPosition(), 1 + 5 + 18);
    // The stored text is exactly what the edit shows.
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);
    QCOMPARE(dialog.Settings()[1].WEB_PASS, Sjis("aパスワード") + std::string(18, 'z') + "b");
}

void MainDialogTest::storedTextBeyondTheLimitIsShownAndKept() {
    // The limits hold for typing only; a longer value from the file survives.
    CTestProfile file;
    CSetting setting = EnabledSetting();
    setting.FILTER_TYPE = 1;
    setting.FILTER1 = std::string(70, 'w');
    setting.MAIL_LIST_COUNT = 12345;
    file.Store(1, setting);
    CTestDialog dialog(file.profile);
    QLineEdit* edit = Edit(dialog, IDC_FILTER1);
    QCOMPARE(edit->text(), QString(70, u'w'));
    QCOMPARE(Edit(dialog, IDC_LIST_COUNT)->text(), QStringLiteral("12345"));
    edit->end(false);
    TypeText(edit, QStringLiteral("x"));
    QCOMPARE(edit->text(), QString(70, u'w'));
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);
    QCOMPARE(dialog.Settings()[1].FILTER1, std::string(70, 'w'));
    QCOMPARE(dialog.Settings()[1].MAIL_LIST_COUNT, 12345);
}

void MainDialogTest::enablingFollowsChecksAndRadios_data() {
    QTest::addColumn<bool>("enable");
    QTest::addColumn<int>("filterType");
    QTest::addColumn<bool>("bodyLimit");
    QTest::addColumn<bool>("subjectLimit");
    QTest::addColumn<QList<int>>("disabled");
    QTest::newRow("not in use: all grey") << false << 1 << true << true << EditorIds();
    QTest::newRow("show all mails")
        << true << 0 << false << false
        << QList<int>{IDC_FILTER1, IDC_FILTER2, IDC_BODY_LIMIT, IDC_SUBJECT_LIMIT};
    QTest::newRow("only matching")
        << true << 1 << true << false << QList<int>{IDC_FILTER2, IDC_SUBJECT_LIMIT};
    QTest::newRow("hide matching")
        << true << 2 << false << true << QList<int>{IDC_FILTER1, IDC_BODY_LIMIT};
    QTest::newRow("no radio checked: both keyword edits")
        << true << 5 << true << true << QList<int>{};
}

void MainDialogTest::enablingFollowsChecksAndRadios() {
    QFETCH(bool, enable);
    QFETCH(int, filterType);
    QFETCH(bool, bodyLimit);
    QFETCH(bool, subjectLimit);
    QFETCH(QList<int>, disabled);
    CTestProfile file;
    CSetting setting;
    setting.ENABLE = enable;
    setting.FILTER_TYPE = filterType;
    setting.MAIL_LIMIT_ENABLE = bodyLimit;
    setting.MAIL_LIMIT_ENABLE2 = subjectLimit;
    file.Store(1, setting);
    CTestDialog dialog(file.profile);

    for (const int id : EditorIds()) {
        QVERIFY2(dialog.Control(id)->isEnabled() == !disabled.contains(id),
                 qPrintable(QString::number(id)));
    }
    // Nothing else is touched.
    for (const int id : {IDC_SETTING_LIST, IDC_NAME, IDC_ENABLE, IDC_UPDATE, IDC_PORT, IDC_START}) {
        QVERIFY2(dialog.Control(id)->isEnabled(), qPrintable(QString::number(id)));
    }
}

void MainDialogTest::clickingOptionsRecomputesEnabling() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    QVERIFY(!dialog.Control(IDC_MAIL_SERVER)->isEnabled());
    QTest::mouseClick(Button(dialog, IDC_ENABLE), Qt::LeftButton);
    QVERIFY(dialog.Control(IDC_MAIL_SERVER)->isEnabled());
    QVERIFY(!dialog.Control(IDC_FILTER1)->isEnabled());

    QTest::mouseClick(Button(dialog, IDC_FILTER_INCLUDE), Qt::LeftButton);
    QVERIFY(dialog.Control(IDC_FILTER1)->isEnabled());
    QVERIFY(!dialog.Control(IDC_FILTER2)->isEnabled());
    QTest::mouseClick(Button(dialog, IDC_FILTER_EXCLUDE), Qt::LeftButton);
    QVERIFY(!Button(dialog, IDC_FILTER_INCLUDE)->isChecked());  // radios stay exclusive
    QVERIFY(!dialog.Control(IDC_FILTER1)->isEnabled());
    QVERIFY(dialog.Control(IDC_FILTER2)->isEnabled());

    QTest::mouseClick(Button(dialog, IDC_BODY_LIMIT_CHECK), Qt::LeftButton);
    QVERIFY(dialog.Control(IDC_BODY_LIMIT)->isEnabled());
    QTest::keyClick(Button(dialog, IDC_BODY_LIMIT_CHECK), Qt::Key_Space);
    QVERIFY(!dialog.Control(IDC_BODY_LIMIT)->isEnabled());

    // A disabled edit is still stored.
    Edit(dialog, IDC_BODY_LIMIT)->setText(QStringLiteral("1234"));
    QTest::mouseClick(Button(dialog, IDC_ENABLE), Qt::LeftButton);
    QVERIFY(!dialog.Control(IDC_FILTER_ALL)->isEnabled());
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);
    QCOMPARE(dialog.Settings()[1].MAIL_LIMIT_BYTE, 1234);
    QCOMPARE(dialog.Settings()[1].FILTER_TYPE, 2);
    QVERIFY(!dialog.Settings()[1].ENABLE);
}

void MainDialogTest::valuesOutsideTheControlsCheckNothingAndSurviveUpdate() {
    CTestProfile file;
    CSetting setting = EnabledSetting();
    setting.FILTER_TYPE = 7;
    setting.MAIL_LIST_ORDER = 7;
    setting.MAIL_PAGE_STYLE = 7;
    file.Store(1, setting);
    CTestDialog dialog(file.profile);
    for (const int id : {IDC_FILTER_ALL, IDC_FILTER_INCLUDE, IDC_FILTER_EXCLUDE, IDC_LIST_ORDER,
                         IDC_PAGE_STYLE}) {
        QVERIFY(!Button(dialog, id)->isChecked());
    }
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);
    QCOMPARE(dialog.Settings()[1].FILTER_TYPE, 7);
    CSetting reread;
    reread.Load(file.profile, 1);
    QCOMPARE(reread.FILTER_TYPE, 7);
    QCOMPARE(reread.MAIL_LIST_ORDER, 7);
    QCOMPARE(reread.MAIL_PAGE_STYLE, 7);

    // Showing a setting with a type in range checks exactly its radio button again.
    QTest::mouseClick(Button(dialog, IDC_FILTER_INCLUDE), Qt::LeftButton);
    ClickListItem(dialog, 1);
    QVERIFY(Button(dialog, IDC_FILTER_ALL)->isChecked());
    QVERIFY(!Button(dialog, IDC_FILTER_INCLUDE)->isChecked());
}

void MainDialogTest::addressShowsThePortAsTyped_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("address");
    QTest::newRow("80: no port part") << "80"
                                      << "http://SERVER/001XXXXXXtoplist";
    QTest::newRow("080 as typed") << "080"
                                  << "http://SERVER:080/001XXXXXXtoplist";
    QTest::newRow("8080") << "8080"
                          << "http://SERVER:8080/001XXXXXXtoplist";
    QTest::newRow("empty port part") << ""
                                     << "http://SERVER:/001XXXXXXtoplist";
    QTest::newRow("spaces kept") << " 80"
                                 << "http://SERVER: 80/001XXXXXXtoplist";
}

void MainDialogTest::addressShowsThePortAsTyped() {
    QFETCH(QString, port);
    QFETCH(QString, address);
    CTestProfile file;
    CTestDialog dialog(file.profile);
    Retype(Edit(dialog, IDC_PORT), port);
    QCOMPARE(Address(dialog), address);
}

void MainDialogTest::addressFollowsTypingAndSelection() {
    CTestProfile file;
    CTestDialog dialog(file.profile);
    QLineEdit* port = Edit(dialog, IDC_PORT);
    port->clear();
    const QStringList expected = {
        "http://SERVER:8/001XXXXXXtoplist",
        "http://SERVER/001XXXXXXtoplist",
        "http://SERVER:808/001XXXXXXtoplist",
        "http://SERVER:8081/001XXXXXXtoplist",
    };
    const QString typed = QStringLiteral("8081");
    for (int i = 0; i < typed.size(); ++i) {
        QTest::keyClick(port, typed[i].toLatin1());
        QCOMPARE(Address(dialog), expected[i]);
    }
    ClickListItem(dialog, 1);
    QCOMPARE(Address(dialog), QStringLiteral("http://SERVER:8081/002XXXXXXtoplist"));
    QTest::keyClick(port, Qt::Key_Backspace);
    QCOMPARE(Address(dialog), QStringLiteral("http://SERVER:808/002XXXXXXtoplist"));
}

void MainDialogTest::failedSaveIsToldAndKeepsTheEdits() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gone/tallwyn.stp"));
    CProfile profile(path.toStdString());
    CTestDialog dialog(profile);
    Retype(Edit(dialog, IDC_NAME), QStringLiteral("kept"));
    QTest::mouseClick(Button(dialog, IDC_UPDATE), Qt::LeftButton);

    QCOMPARE(dialog.boxes.size(), 1);
    QCOMPARE(dialog.boxes[0].text, Utf8("設定の保存に失敗しました。\n") + path);
    QCOMPARE(dialog.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(dialog.Settings()[1].NAME, std::string("kept"));
    QCOMPARE(dialog.ControlAs<QListWidget>(IDC_SETTING_LIST)->item(0)->text(),
             QStringLiteral("kept"));
}

QTEST_MAIN(MainDialogTest)
#include "MainDialogTest.moc"
