#include <QApplication>

#include "app/GatewayApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CGatewayApp app;
    return app.InitInstance();
}
