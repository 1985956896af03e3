#include "app/GatewayApp.h"

#include <csignal>

#include <QCoreApplication>

#include "app/MainDialog.h"

CGatewayApp::CGatewayApp() = default;

CGatewayApp::~CGatewayApp() = default;

int CGatewayApp::InitInstance() {
    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganizationName));
    QCoreApplication::setApplicationName(QString::fromLatin1(CMainDialog::kApplicationName));
    // A browser that hangs up mid-page must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    InitModuleDir();
    CMainDialog dialog(Profile());
    dialog.exec();
    return 0;
}
