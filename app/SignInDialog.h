#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <thread>

#include "oauth/OAuthSignIn.h"

class QLabel;
class QLineEdit;
class QPushButton;

// Signs one setting in with OAuth 2.0, as tallwynd login does: shows the address to
// open (and for the device flow the code to enter there), opens it in the browser,
// and keeps the refresh token in the token store when the sign-in is done. The
// sign-in runs on a thread of its own, so the window stays responsive; closing the
// dialog cancels it.
class CSignInDialog : public QDialog {
public:
    CSignInDialog(COAuthEndpoints endpoints, std::string settingsPath, int settingNumber,
                  QWidget* parent = nullptr);
    ~CSignInDialog() override;

    // The sign-in ends by then at the latest.
    static constexpr int kLimitMs = 10 * 60 * 1000;

    // How the sign-in ended, in words, once it has.
    const QString& Outcome() const { return m_outcome; }

protected:
    // Opens an address in the user's browser; tests replace it.
    virtual void OpenBrowser(const QString& url);

private:
    void ShowPrompt(const COAuthPrompt& prompt);
    void Finish(const COAuthSignIn::Result& result);

    std::string m_settingsPath;
    int m_settingNumber;
    QLabel* m_text = nullptr;
    QLineEdit* m_address = nullptr;
    QLabel* m_code = nullptr;
    QPushButton* m_openButton = nullptr;
    QString m_outcome;
    std::atomic<bool> m_cancel{false};
    std::thread m_worker;
};
