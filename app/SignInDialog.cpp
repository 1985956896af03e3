#include "app/SignInDialog.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <chrono>

#include "settings/TokenStore.h"

namespace {

const char* const kCaption = "OAuth 2.0 サインイン";
const char* const kStarting = "プロバイダに接続しています…";
const char* const kDeviceText =
    "次のアドレスをブラウザ（別の機器でも構いません）で開き、コードを入力して"
    "メールボックスの持ち主としてサインインして下さい。";
const char* const kLoopbackText =
    "次のアドレスをこのコンピュータのブラウザで開き、アクセスを許可して下さい。";
const char* const kOpen = "ブラウザで開く";
const char* const kCancel = "キャンセル";
const char* const kDone = "サインインしました。";
const char* const kFailed = "サインインできませんでした：";
const char* const kNotSaved = "トークンを保存できませんでした：";

QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}

}  // namespace

CSignInDialog::CSignInDialog(COAuthEndpoints endpoints, std::string settingsPath, int settingNumber,
                             QWidget* parent)
    : QDialog(parent), m_settingsPath(std::move(settingsPath)), m_settingNumber(settingNumber) {
    m_text = new QLabel(Tr(kStarting), this);
    m_text->setWordWrap(true);
    m_address = new QLineEdit(this);
    m_address->setReadOnly(true);
    m_code = new QLabel(this);
    QFont big = m_code->font();
    big.setPointSize(big.pointSize() * 2);
    m_code->setFont(big);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_openButton = new QPushButton(Tr(kOpen), this);
    m_openButton->setEnabled(false);
    auto* cancel = new QPushButton(Tr(kCancel), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_openButton);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(m_address);
    layout->addWidget(m_code);
    layout->addLayout(buttons);
    connect(m_openButton, &QPushButton::clicked, this, [this] { OpenBrowser(m_address->text()); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setWindowTitle(Tr(kCaption));
    setMinimumWidth(480);

    // Results come back to this thread through the event loop; the destructor waits
    // for the worker, so it never posts to a dialog that is gone.
    m_worker = std::thread([this, endpoints = std::move(endpoints)] {
        const COAuthSignIn signIn(endpoints);
        const COAuthSignIn::Result result = signIn.Run(
            std::chrono::milliseconds(kLimitMs),
            [this](const COAuthPrompt& prompt) {
                QMetaObject::invokeMethod(
                    this, [this, prompt] { ShowPrompt(prompt); }, Qt::QueuedConnection);
            },
            &m_cancel);
        QMetaObject::invokeMethod(
            this, [this, result] { Finish(result); }, Qt::QueuedConnection);
    });
}

CSignInDialog::~CSignInDialog() {
    m_cancel = true;
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void CSignInDialog::OpenBrowser(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

void CSignInDialog::ShowPrompt(const COAuthPrompt& prompt) {
    m_text->setText(Tr(prompt.deviceFlow ? kDeviceText : kLoopbackText));
    m_address->setText(QString::fromStdString(prompt.url));
    m_code->setText(QString::fromStdString(prompt.userCode));
    m_code->setVisible(prompt.deviceFlow);
    m_openButton->setEnabled(true);
    if (!prompt.deviceFlow) {
        // The answer comes back to this machine only: the browser must be here.
        OpenBrowser(m_address->text());
    }
}

void CSignInDialog::Finish(const COAuthSignIn::Result& result) {
    if (!result.ok) {
        m_outcome = Tr(kFailed) + QString::fromStdString(result.error);
    } else if (CTokenStore store(m_settingsPath);
               !store.Save(m_settingNumber, result.refreshToken)) {
        m_outcome = Tr(kNotSaved) + QString::fromStdString(store.Path());
    } else {
        m_outcome = Tr(kDone);
        m_text->setText(m_outcome);
        accept();
        return;
    }
    m_text->setText(m_outcome);
    m_openButton->setEnabled(false);
}
