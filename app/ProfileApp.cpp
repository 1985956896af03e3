#include "app/ProfileApp.h"

CProfileApp::CProfileApp() = default;

CProfileApp::~CProfileApp() = default;

void CProfileApp::InitModuleDir() {
    m_strModuleDir = ExecutableDir();
    m_profile.emplace(m_strModuleDir + kSettingsFileName);
}
