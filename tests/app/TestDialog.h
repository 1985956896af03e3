#pragma once

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

#include "app/MainDialog.h"
#include "mime/Codepage.h"
#include "oauth/OAuthEndpoints.h"
#include "settings/Profile.h"
#include "settings/Setting.h"
#include "support/Loopback.h"

// The main window with its message boxes answered from a script and its socket
// steps open to injected failures.
class CTestDialog : public CMainDialog {
public:
    struct CBox {
        QString text;
        QString caption;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon;
    };

    using CMainDialog::CMainDialog;

    QList<CBox> boxes;
    QList<int> answers;  // taken in order; Ok or Yes when none is left
    std::optional<int> createError;
    std::optional<int> listenError;
    int createCalls = 0;
    QList<int> signIns;  // the settings the sign-in dialog was opened for
    QStringList signInTokenUrls;

protected:
    void RunSignIn(const COAuthEndpoints& endpoints, int number) override {
        signIns.append(number);
        signInTokenUrls.append(QString::fromStdString(endpoints.tokenUrl));
    }

    int AskUser(const QString& text, const QString& caption, QMessageBox::StandardButtons buttons,
                QMessageBox::Icon icon) override {
        boxes.append({text, caption, buttons, icon});
        if (!answers.isEmpty()) {
            return answers.takeFirst();
        }
        return (buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }

    int CreateListener(int port) override {
        ++createCalls;
        return createError ? *createError : CMainDialog::CreateListener(port);
    }

    int StartListening() override {
        return listenError ? *listenError : CMainDialog::StartListening();
    }
};

// A settings file in a fresh temporary directory.
class CTestProfile {
public:
    CTestProfile() : profile(dir.filePath(kSettingsFileName).toStdString()) {}

    // Writes setting number with the given record (number set here).
    void Store(int number, CSetting setting) {
        setting.number = number;
        if (!setting.Save(profile)) {
            qFatal("cannot write the test settings file");
        }
    }

    QTemporaryDir dir;
    CProfile profile;
};

// Code page 932 bytes of UTF-8 test text.
inline std::string Sjis(const char* utf8) {
    return Utf8ToCp932(utf8).value();
}

// Types text into widget one character at a time: ASCII as key presses, the rest
// committed by the input method, as Japanese text arrives from one.
inline void TypeText(QWidget* widget, const QString& text) {
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text[i].isHighSurrogate() ? 2 : 1;
        const QString character = text.mid(i, n);
        if (character[0].unicode() < 0x80) {
            QTest::keyClick(widget, character[0].toLatin1());
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(character);
            QCoreApplication::sendEvent(widget, &commit);
        }
        i += n;
    }
}
