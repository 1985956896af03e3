#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <map>

#include "gateway/ListenSocket.h"
#include "settings/Setting.h"

class CLinkLabel;
class CProfile;
class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSocketNotifier;

// The program's only window: the list of the two settings, the editor of the
// selected one, the server's Start and Stop and the address to give the browser.
// Everything, serving requests included, runs on the one user-interface thread:
// the listener's accept notification arrives through the event loop.
class CMainDialog : public QDialog {
    Q_OBJECT
public:
    // The window on the settings file profile; builds the controls from the dialog
    // template and initialises them (settings 1 and 2 loaded, setting 1 shown).
    explicit CMainDialog(CProfile& profile, QWidget* parent = nullptr);
    ~CMainDialog() override;

    // The control with a template id, nullptr for none.
    QWidget* Control(int id) const;
    template <class T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }

    const CSettingTable& Settings() const { return m_settings; }
    const CListenSocket& Listener() const { return m_listener; }
    CListenSocket& Listener() { return m_listener; }
    // Running: the listener listens (Start succeeded and no Stop since).
    bool IsRunning() const;

    // The window's fonts: "ＭＳ Ｐゴシック" 9pt where installed, else IPAPGothic 9pt.
    static QFont DialogFont();

    // Byte limits of the edits, in code page 932 bytes.
    static constexpr int kPortLimit = 5;

    // Caption of the OK boxes.
    static constexpr const char* kApplicationName = "Tallwyn";

protected:
    // Every message box of the window goes through here; returns the button
    // pressed (a QMessageBox::StandardButton). Tests answer instead of a person.
    virtual int AskUser(const QString& text, const QString& caption,
                        QMessageBox::StandardButtons buttons, QMessageBox::Icon icon);
    // Creates the listener's socket on port; 0 or the errno of the failure.
    virtual int CreateListener(int port);
    // Starts listening on the created socket; 0 or the errno of the failure.
    virtual int StartListening();

    // The close box and Escape both end here: the close question.
    void reject() override;
    // Enter presses the focused push button and does nothing elsewhere.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnStart();
    void OnStop();
    void OnUpdate();
    void OnSelchangeSettingList();
    void OnChangePort();
    void OnOptionClicked();
    void BuildControls();
    void OnInitDialog();
    void SetupToolTips();
    void SetTextLimits();
    void ShowSetting();
    void RefreshAddress();
    void UpdateControlStates();
    void OnClose();
    void OnAcceptReady();
    void StopServer();

    int SelectedNumber() const;     // selected index + 1, 0 without a selection
    int CheckedFilterType() const;  // 0 to 2, -1 when no radio button is checked
    void SetFilterType(int filterType);
    void SetServerControls(bool running);

    CProfile& m_profile;

    // The table comes first: the listener keeps a reference to it.
    CSettingTable m_settings;
    CListenSocket m_listener;
    CLinkLabel* m_linkLabel = nullptr;
    QLabel* m_addressText = nullptr;
    QLineEdit* m_subjectLimitEdit = nullptr;
    QCheckBox* m_subjectLimitCheck = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QListWidget* m_settingList = nullptr;
    QCheckBox* m_bodyLimitCheck = nullptr;
    QCheckBox* m_enableCheck = nullptr;
    QLineEdit* m_webPassEdit = nullptr;
    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_serverEdit = nullptr;
    QLineEdit* m_mailPassEdit = nullptr;
    QLineEdit* m_accountEdit = nullptr;
    QLineEdit* m_listCountEdit = nullptr;
    QLineEdit* m_bodyLimitEdit = nullptr;
    QLineEdit* m_filterExcludeEdit = nullptr;
    QLineEdit* m_filterIncludeEdit = nullptr;
    QLineEdit* m_portEdit = nullptr;
    QCheckBox* m_listOrderCheck = nullptr;
    QCheckBox* m_pageStyleCheck = nullptr;
    QIcon m_hIcon;

    QButtonGroup* m_filterGroup = nullptr;
    std::map<int, QWidget*> m_controls;
    // Watches the listening socket while the server runs.
    QPointer<QSocketNotifier> m_acceptNotifier;
};
