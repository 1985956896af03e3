#pragma once

#include "app/ProfileApp.h"

// The application: runs the main window modally for the whole life of the program.
// A QApplication must exist before InitInstance is called.
class CGatewayApp : public CProfileApp {
public:
    CGatewayApp();
    ~CGatewayApp() override;

    // Registers the organisation, finds the settings file, runs the main window
    // and returns when it has ended. Nothing is saved at the end.
    int InitInstance();

    static constexpr const char* kOrganizationName = "Orrinwick";
};
