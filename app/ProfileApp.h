#pragma once

#include <optional>
#include <string>

#include "settings/Profile.h"

// The application's base: knows the directory of the executable and owns the
// settings file kept there ("tallwyn.stp").
class CProfileApp {
public:
    CProfileApp();
    CProfileApp(const CProfileApp&) = delete;
    CProfileApp& operator=(const CProfileApp&) = delete;
    virtual ~CProfileApp();

    // Finds the executable's directory; from then on Profile() can be used. When
    // the directory cannot be found, the file name alone is used (relative to the
    // current directory).
    void InitModuleDir();

    const std::string& ModuleDir() const { return m_strModuleDir; }
    // The settings file; InitModuleDir must have run.
    CProfile& Profile() { return *m_profile; }

protected:
    std::string m_strModuleDir;  // ends with '/', or empty

private:
    std::optional<CProfile> m_profile;
};
