#include "app/MainDialog.h"

#include <sys/socket.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <array>
#include <cerrno>

#include "app/Cp932Validator.h"
#include "app/DialogTemplate.h"
#include "app/DialogUnits.h"
#include "app/LinkLabel.h"
#include "app/Resource.h"
#include "mime/Codepage.h"
#include "mime/DecimalValue.h"
#include "settings/Profile.h"
#include "transport/Address.h"

namespace {

const char* const kDialogFontFallback = "IPAPGothic";

const char* const kConfirmCaption = "確認";
const char* const kStopQuestion = "Tallwynを停止します。\nよろしいですか？";
const char* const kCloseQuestion = "Tallwynを終了します。\nよろしいですか？";
const char* const kSocketCreateFailed = "ソケット作成失敗";
const char* const kPortInUseHead = "既にポート番号：";
const char* const kPortInUseTail = "は使用されています。\nポート番号を変更して下さい。";
const char* const kPortDeniedHead = "ポート番号：";
const char* const kPortDeniedTail =
    "を使用する権限がありません。\n1024以上のポート番号を指定して下さい。";
const char* const kListenFailed = "ソケット接続待ち失敗";
const char* const kSaveFailed = "設定の保存に失敗しました。";
const char* const kAcceptError = "エラーが発生しました。%1";

// The port text that needs no port part in the address.
const char* const kDefaultPort = "80";

struct CToolTip {
    int id;
    const char* text;
};

// Registered in this order.
constexpr std::array kToolTips = std::to_array<CToolTip>({
    {IDC_NAME, "左のリストに表示される設定名を入力して下さい。"},
    {IDC_PORT, "ブラウザで参照する場合のポート番号を設定して下さい。"},
    {IDC_MAIL_SERVER, "受信メールサーバのアドレスを設定して下さい。"},
    {IDC_MAIL_ACCOUNT, "受信メールサーバに接続する為のアカウントを設定して下さい。"},
    {IDC_MAIL_PASS, "受信メールサーバに接続する為のパスワードを設定して下さい。"},
    {IDC_WEB_PASS,
     "ここで設定された公開パスワードがブラウザで参照する場合のＵＲＬに使用されます。"},
    {IDC_BODY_LIMIT_CHECK, "チェックを付けた場合、メール本文の表示サイズが制限されます。"},
    {IDC_SUBJECT_LIMIT_CHECK,
     "チェックを付けた場合、メール一覧に表示される件名の表示サイズが制限されます。"},
    {IDC_ENABLE, "チェックを付けた場合に限り、この設定が有効になります。"},
    {IDC_LIST_COUNT, "ブラウザでリストを表示した時に表示する最大リスト数を設定して下さい。"},
    {IDC_LIST_ORDER, "チェックを付けた場合、リストは最も新しいメールから表示されます。"},
    {IDC_PAGE_STYLE,
     "チェックを付けた場合、スマートフォンやPCのブラウザに合わせた画面で表示されます"
     "（差出人・日付・ページ送り）。"},
});

QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// Code page 932 bytes as the window shows them.
QString ToWidget(const std::string& cp932) {
    return QString::fromStdString(Cp932ToUtf8Lossy(cp932));
}

// Window text as code page 932 bytes. The edits let in nothing code page 932
// cannot hold, so only the stand-ins shown for unreadable bytes of the settings
// file can fail to convert; they are dropped.
std::string ToCp932(const QString& text) {
    if (auto converted = Utf8ToCp932(text.toStdString())) {
        return *converted;
    }
    std::string bytes;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = (text[i].isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        if (auto one = Utf8ToCp932(text.mid(i, n).toStdString())) {
            bytes += *one;
        }
        i += n;
    }
    return bytes;
}

// The edit's text as code page 932; stored comes back byte for byte when the
// edit still shows it unchanged.
std::string ReadEdit(const QLineEdit* edit, const std::string& stored) {
    const QString shown = edit->text();
    if (shown == ToWidget(stored)) {
        return stored;
    }
    return ToCp932(shown);
}

// Text put in by the program is not held to the edit's limit; only typing is.
void SetEditText(QLineEdit* edit, const QString& text) {
    const QValidator* validator = edit->validator();
    edit->setValidator(nullptr);
    edit->setText(text);
    edit->setValidator(validator);
}

int ReadNumber(const QLineEdit* edit) {
    return DecimalValue(ToCp932(edit->text()));
}

}  // namespace

CMainDialog::CMainDialog(CProfile& profile, QWidget* parent)
    : QDialog(parent), m_profile(profile), m_settings(), m_listener(m_settings) {
    m_hIcon.addFile(QStringLiteral(":/tallwyn/tallwyn-16.png"), QSize(16, 16));
    m_hIcon.addFile(QStringLiteral(":/tallwyn/tallwyn-32.png"), QSize(32, 32));
    m_listener.m_onAcceptError = [this](int errorCode) {
        AskUser(Tr(kAcceptError).arg(errorCode), Tr(kApplicationName), QMessageBox::Ok,
                QMessageBox::NoIcon);
    };
    BuildControls();
    OnInitDialog();
}

CMainDialog::~CMainDialog() {
    // The notifier goes before the socket it watches.
    delete m_acceptNotifier;
}

QFont CMainDialog::DialogFont() {
    const QString face = Tr(kMainDialogTemplate.fontFace);
    QFont font(QFontDatabase::hasFamily(face) ? face : Tr(kDialogFontFallback));
    font.setPointSize(kMainDialogTemplate.fontPoints);
    return font;
}

QWidget* CMainDialog::Control(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

bool CMainDialog::IsRunning() const {
    return m_acceptNotifier != nullptr;
}

void CMainDialog::BuildControls() {
    const CDialogTemplate& dialog = kMainDialogTemplate;
    setWindowTitle(Tr(dialog.caption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const CDialogUnits units(font());
    setFixedSize(units.MapSize(dialog.cx, dialog.cy));

    m_filterGroup = new QButtonGroup(this);
    QWidget* previousTabStop = nullptr;
    for (const CDialogItem& item : dialog.items) {
        const QString caption = Tr(item.caption);
        QWidget* widget = nullptr;
        switch (item.kind) {
            case EItemKind::PushButton: {
                auto* button = new QPushButton(caption, this);
                button->setAutoDefault(false);  // Enter is handled by keyPressEvent
                widget = button;
                break;
            }
            case EItemKind::ListBox: {
                auto* list = new QListWidget(this);
                list->setSelectionMode(QAbstractItemView::SingleSelection);
                list->setSortingEnabled(false);
                list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                widget = list;
                break;
            }
            case EItemKind::Edit: {
                auto* edit = new QLineEdit(this);
                if (item.style & kPassword) {
                    edit->setEchoMode(QLineEdit::Password);
                }
                if (item.style & kRightAlign) {
                    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
                }
                widget = edit;
                break;
            }
            case EItemKind::CheckBox:
                widget = new QCheckBox(caption, this);
                break;
            case EItemKind::RadioButton: {
                auto* radio = new QRadioButton(caption, this);
                m_filterGroup->addButton(radio, item.id);
                widget = radio;
                break;
            }
            case EItemKind::GroupBox:
                widget = new QGroupBox(caption, this);
                break;
            case EItemKind::StaticText: {
                // Control 1022 is bound to the link label, which paints itself.
                auto* label =
                    item.id == IDC_LINK ? new CLinkLabel(this) : new QLabel(caption, this);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                if (item.style & kClientEdge) {
                    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
                }
                widget = label;
                break;
            }
        }
        widget->setGeometry(units.MapRect(item.x, item.y, item.cx, item.cy));
        if (item.style & kDisabled) {
            widget->setEnabled(false);
        }
        if (item.style & kTabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop != nullptr) {
                QWidget::setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        } else if (item.kind == EItemKind::RadioButton) {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
        if (item.id != IDC_STATIC) {
            widget->setObjectName(QStringLiteral("IDC_%1").arg(item.id));
            m_controls[item.id] = widget;
        }
    }

    m_linkLabel = ControlAs<CLinkLabel>(IDC_LINK);
    m_addressText = ControlAs<QLabel>(IDC_ADDRESS);
    m_subjectLimitEdit = ControlAs<QLineEdit>(IDC_SUBJECT_LIMIT);
    m_subjectLimitCheck = ControlAs<QCheckBox>(IDC_SUBJECT_LIMIT_CHECK);
    m_stopButton = ControlAs<QPushButton>(IDC_STOP);
    m_startButton = ControlAs<QPushButton>(IDC_START);
    m_settingList = ControlAs<QListWidget>(IDC_SETTING_LIST);
    m_bodyLimitCheck = ControlAs<QCheckBox>(IDC_BODY_LIMIT_CHECK);
    m_enableCheck = ControlAs<QCheckBox>(IDC_ENABLE);
    m_webPassEdit = ControlAs<QLineEdit>(IDC_WEB_PASS);
    m_nameEdit = ControlAs<QLineEdit>(IDC_NAME);
    m_serverEdit = ControlAs<QLineEdit>(IDC_MAIL_SERVER);
    m_mailPassEdit = ControlAs<QLineEdit>(IDC_MAIL_PASS);
    m_accountEdit = ControlAs<QLineEdit>(IDC_MAIL_ACCOUNT);
    m_listCountEdit = ControlAs<QLineEdit>(IDC_LIST_COUNT);
    m_bodyLimitEdit = ControlAs<QLineEdit>(IDC_BODY_LIMIT);
    m_filterExcludeEdit = ControlAs<QLineEdit>(IDC_FILTER2);
    m_filterIncludeEdit = ControlAs<QLineEdit>(IDC_FILTER1);
    m_portEdit = ControlAs<QLineEdit>(IDC_PORT);
    m_listOrderCheck = ControlAs<QCheckBox>(IDC_LIST_ORDER);
    m_pageStyleCheck = ControlAs<QCheckBox>(IDC_PAGE_STYLE);
    m_linkLabel->SetAddress(CLinkLabel::DocumentationAddress());

    connect(m_startButton, &QPushButton::clicked, this, &CMainDialog::OnStart);
    connect(ControlAs<QPushButton>(IDC_UPDATE), &QPushButton::clicked, this,
            &CMainDialog::OnUpdate);
    connect(m_stopButton, &QPushButton::clicked, this, &CMainDialog::OnStop);
    connect(m_settingList, &QListWidget::itemSelectionChanged, this, [this] {
        // One item stays selected whatever is clicked (a Ctrl-click would clear it).
        if (m_settingList->selectedItems().isEmpty()) {
            if (QListWidgetItem* current = m_settingList->currentItem(); current != nullptr) {
                const QSignalBlocker blocker(m_settingList);
                current->setSelected(true);
            }
            return;
        }
        OnSelchangeSettingList();
    });
    connect(m_portEdit, &QLineEdit::textChanged, this, &CMainDialog::OnChangePort);
    for (const int id : {IDC_ENABLE, IDC_BODY_LIMIT_CHECK, IDC_SUBJECT_LIMIT_CHECK, IDC_FILTER_ALL,
                         IDC_FILTER_INCLUDE, IDC_FILTER_EXCLUDE}) {
        connect(ControlAs<QAbstractButton>(id), &QAbstractButton::clicked, this,
                &CMainDialog::OnOptionClicked);
    }
}

void CMainDialog::OnInitDialog() {
    setWindowIcon(m_hIcon);
    SetupToolTips();
    m_portEdit->setText(Tr(kDefaultPort));
    SetTextLimits();
    for (int n = SETTING_FIRST; n <= SETTING_LAST; ++n) {
        m_settings[n].Load(m_profile, n);
        m_settingList->addItem(ToWidget(m_settings[n].NAME));
    }
    {
        const QSignalBlocker blocker(m_settingList);
        m_settingList->setCurrentRow(0);
    }
    ShowSetting();
    UpdateControlStates();
    m_startButton->setFocus();
}

void CMainDialog::SetupToolTips() {
    for (const CToolTip& tip : kToolTips) {
        Control(tip.id)->setToolTip(Tr(tip.text));
    }
}

void CMainDialog::SetTextLimits() {
    const std::array<std::pair<QLineEdit*, int>, 11> limits = {{
        {m_portEdit, kPortLimit},
        {m_mailPassEdit, CSetting::kPasswordBytes},
        {m_webPassEdit, CSetting::kPasswordBytes},
        {m_filterIncludeEdit, CSetting::kFilterBytes},
        {m_filterExcludeEdit, CSetting::kFilterBytes},
        {m_serverEdit, CSetting::kServerBytes},
        {m_accountEdit, CSetting::kServerBytes},
        {m_listCountEdit, CSetting::kListCountDigits},
        // These keep the edit's default length; they still refuse what code page
        // 932 cannot hold, so nothing typed is lost when the setting is saved.
        {m_nameEdit, CCp932Validator::kNoLimit},
        {m_bodyLimitEdit, CCp932Validator::kNoLimit},
        {m_subjectLimitEdit, CCp932Validator::kNoLimit},
    }};
    for (const auto& [edit, maxBytes] : limits) {
        edit->setValidator(new CCp932Validator(maxBytes, edit));
    }
}

int CMainDialog::SelectedNumber() const {
    const QList<QListWidgetItem*> selected = m_settingList->selectedItems();
    return selected.isEmpty() ? 0 : m_settingList->row(selected.first()) + 1;
}

int CMainDialog::CheckedFilterType() const {
    for (int type = 0; type <= 2; ++type) {
        if (m_filterGroup->button(IDC_FILTER_ALL + type)->isChecked()) {
            return type;
        }
    }
    return -1;
}

void CMainDialog::SetFilterType(int filterType) {
    // A type outside 0 to 2 leaves every radio button unchecked, which an
    // exclusive group would not allow.
    m_filterGroup->setExclusive(false);
    for (QAbstractButton* button : m_filterGroup->buttons()) {
        button->setChecked(m_filterGroup->id(button) == IDC_FILTER_ALL + filterType);
    }
    m_filterGroup->setExclusive(true);
}

void CMainDialog::ShowSetting() {
    const int n = SelectedNumber();
    if (!IsSettingInUse(n)) {
        return;
    }
    const CSetting& r = m_settings[n];
    SetEditText(m_nameEdit, ToWidget(r.NAME));
    SetEditText(m_filterIncludeEdit, ToWidget(r.FILTER1));
    SetEditText(m_filterExcludeEdit, ToWidget(r.FILTER2));
    SetEditText(m_webPassEdit, ToWidget(r.WEB_PASS));
    SetEditText(m_bodyLimitEdit, QString::number(r.MAIL_LIMIT_BYTE));
    SetEditText(m_subjectLimitEdit, QString::number(r.MAIL_LIMIT_BYTE2));
    SetEditText(m_listCountEdit, QString::number(r.MAIL_LIST_COUNT));
    SetEditText(m_serverEdit, ToWidget(r.MAIL_SERVER));
    SetEditText(m_accountEdit, ToWidget(r.MAIL_ACCOUNT));
    SetEditText(m_mailPassEdit, ToWidget(r.MAIL_PASS));
    m_bodyLimitCheck->setChecked(r.MAIL_LIMIT_ENABLE);
    m_subjectLimitCheck->setChecked(r.MAIL_LIMIT_ENABLE2);
    m_enableCheck->setChecked(r.ENABLE);
    m_listOrderCheck->setChecked(r.MAIL_LIST_ORDER == CSetting::kListNewestFirst);
    m_pageStyleCheck->setChecked(r.MAIL_PAGE_STYLE == CSetting::kPageModern);
    RefreshAddress();
    SetFilterType(r.FILTER_TYPE);
}

void CMainDialog::OnSelchangeSettingList() {
    ShowSetting();
    UpdateControlStates();
}

void CMainDialog::OnUpdate() {
    const int n = SelectedNumber();
    if (!IsSettingInUse(n)) {
        return;
    }
    CSetting& r = m_settings[n];
    r.NAME = ReadEdit(m_nameEdit, r.NAME);
    {
        const QSignalBlocker blocker(m_settingList);
        m_settingList->item(n - 1)->setText(ToWidget(r.NAME));
        m_settingList->setCurrentRow(n - 1);
    }
    r.FILTER1 = ReadEdit(m_filterIncludeEdit, r.FILTER1);
    r.FILTER2 = ReadEdit(m_filterExcludeEdit, r.FILTER2);
    r.WEB_PASS = ReadEdit(m_webPassEdit, r.WEB_PASS);
    r.MAIL_SERVER = ReadEdit(m_serverEdit, r.MAIL_SERVER);
    r.MAIL_ACCOUNT = ReadEdit(m_accountEdit, r.MAIL_ACCOUNT);
    r.MAIL_PASS = ReadEdit(m_mailPassEdit, r.MAIL_PASS);
    r.MAIL_LIMIT_BYTE = ReadNumber(m_bodyLimitEdit);
    r.MAIL_LIMIT_BYTE2 = ReadNumber(m_subjectLimitEdit);
    r.MAIL_LIST_COUNT = ReadNumber(m_listCountEdit);
    r.MAIL_LIMIT_ENABLE = m_bodyLimitCheck->isChecked();
    r.MAIL_LIMIT_ENABLE2 = m_subjectLimitCheck->isChecked();
    r.ENABLE = m_enableCheck->isChecked();
    // An order the box cannot show (from a newer file) is kept while the box is clear.
    if (m_listOrderCheck->isChecked()) {
        r.MAIL_LIST_ORDER = CSetting::kListNewestFirst;
    } else if (r.MAIL_LIST_ORDER == CSetting::kListNewestFirst) {
        r.MAIL_LIST_ORDER = CSetting::kListOldestFirst;
    }
    if (m_pageStyleCheck->isChecked()) {
        r.MAIL_PAGE_STYLE = CSetting::kPageModern;
    } else if (r.MAIL_PAGE_STYLE == CSetting::kPageModern) {
        r.MAIL_PAGE_STYLE = CSetting::kPageClassic;
    }
    if (const int filterType = CheckedFilterType(); filterType >= 0) {
        r.FILTER_TYPE = filterType;
    }
    if (!r.Save(m_profile)) {
        // The record keeps the edited values; only the file is behind.
        AskUser(Tr(kSaveFailed) + u'\n' + QString::fromStdString(m_profile.Path()),
                Tr(kApplicationName), QMessageBox::Ok, QMessageBox::NoIcon);
    }
}

void CMainDialog::OnChangePort() {
    RefreshAddress();
}

void CMainDialog::RefreshAddress() {
    const int n = SelectedNumber();
    const QString port = m_portEdit->text();
    const QString path = QString::asprintf("/%03dXXXXXXtoplist", n);
    if (port == Tr(kDefaultPort)) {
        m_addressText->setText(QStringLiteral("http://SERVER") + path);
    } else {
        m_addressText->setText(QStringLiteral("http://SERVER:") + port + path);
    }
}

void CMainDialog::OnOptionClicked() {
    UpdateControlStates();
}

void CMainDialog::UpdateControlStates() {
    // The list order and the page style belong to the display limits, though their
    // ids lie outside them.
    m_listOrderCheck->setEnabled(m_enableCheck->isChecked());
    m_pageStyleCheck->setEnabled(m_enableCheck->isChecked());
    if (!m_enableCheck->isChecked()) {
        for (int id = IDC_FILTER_ALL; id <= IDC_MAIL_PASS; ++id) {
            Control(id)->setEnabled(false);
        }
        return;
    }
    const bool all = m_filterGroup->button(IDC_FILTER_ALL)->isChecked();
    const bool include = m_filterGroup->button(IDC_FILTER_INCLUDE)->isChecked();
    const bool exclude = m_filterGroup->button(IDC_FILTER_EXCLUDE)->isChecked();
    for (int id = IDC_FILTER_ALL; id <= IDC_MAIL_PASS; ++id) {
        bool enabled = true;
        switch (id) {
            case IDC_FILTER1:
                enabled = !all && !exclude;
                break;
            case IDC_FILTER2:
                enabled = !all && !include;
                break;
            case IDC_BODY_LIMIT:
                enabled = m_bodyLimitCheck->isChecked();
                break;
            case IDC_SUBJECT_LIMIT:
                enabled = m_subjectLimitCheck->isChecked();
                break;
            default:
                break;
        }
        Control(id)->setEnabled(enabled);
    }
}

int CMainDialog::CreateListener(int port) {
    return m_listener.Create(port);
}

int CMainDialog::StartListening() {
    return m_listener.Listen();
}

void CMainDialog::OnStart() {
    const QString portText = m_portEdit->text();
    const int port = ReadNumber(m_portEdit);
    // Port 0 would listen on a port nobody knows; below 0 and above 65535 none exists.
    if (port <= 0 || port > kMaxPort) {
        AskUser(Tr(kSocketCreateFailed), Tr(kApplicationName), QMessageBox::Ok,
                QMessageBox::NoIcon);
        return;
    }
    m_listener.Close();  // never a second socket over a first
    if (const int error = CreateListener(port); error != 0) {
        const bool denied = error == EACCES || error == EPERM;
        const QString text = denied ? Tr(kPortDeniedHead) + portText + Tr(kPortDeniedTail)
                                    : Tr(kPortInUseHead) + portText + Tr(kPortInUseTail);
        AskUser(text, Tr(kApplicationName), QMessageBox::Ok, QMessageBox::NoIcon);
        return;
    }
    if (StartListening() != 0) {
        // Closed at once, so a new Start begins from nothing.
        m_listener.Close();
        AskUser(Tr(kListenFailed), Tr(kApplicationName), QMessageBox::Ok, QMessageBox::NoIcon);
        return;
    }
    m_acceptNotifier = new QSocketNotifier(m_listener.Handle(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &CMainDialog::OnAcceptReady);
    SetServerControls(true);
}

void CMainDialog::OnAcceptReady() {
    // No second notification while this connection is served (a message box
    // shown meanwhile runs its own event loop).
    QPointer<QSocketNotifier> notifier = m_acceptNotifier;
    notifier->setEnabled(false);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(m_listener.Handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    m_listener.OnAccept(error);
    if (notifier != nullptr && notifier == m_acceptNotifier) {
        notifier->setEnabled(true);
    }
}

void CMainDialog::OnStop() {
    if (AskUser(Tr(kStopQuestion), Tr(kConfirmCaption), QMessageBox::Yes | QMessageBox::No,
                QMessageBox::Warning) != QMessageBox::Yes) {
        return;
    }
    StopServer();
    SetServerControls(false);
}

void CMainDialog::StopServer() {
    if (m_acceptNotifier != nullptr) {
        // Possibly called from inside the notifier's own signal: delete it later.
        m_acceptNotifier->setEnabled(false);
        m_acceptNotifier->deleteLater();
        m_acceptNotifier = nullptr;
    }
    m_listener.Close();
}

void CMainDialog::SetServerControls(bool running) {
    m_portEdit->setEnabled(!running);
    m_startButton->setEnabled(!running);
    m_stopButton->setEnabled(running);
}

void CMainDialog::reject() {
    OnClose();
}

void CMainDialog::OnClose() {
    if (AskUser(Tr(kCloseQuestion), Tr(kConfirmCaption), QMessageBox::Yes | QMessageBox::No,
                QMessageBox::Warning) != QMessageBox::Yes) {
        return;
    }
    StopServer();
    QDialog::reject();
}

void CMainDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button != nullptr && button->isEnabled()) {
            button->click();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);  // Escape: reject(), the close question
}

int CMainDialog::AskUser(const QString& text, const QString& caption,
                         QMessageBox::StandardButtons buttons, QMessageBox::Icon icon) {
    QMessageBox box(icon, caption, text, buttons, this);
    return box.exec();
}
