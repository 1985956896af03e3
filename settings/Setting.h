#pragma once

#include <array>
#include <string>

class CProfile;

// The number of setting slots; only settings 1 and 2 are loaded and used.
constexpr int SETTING_SLOTS = 128;
constexpr int SETTING_FIRST = 1;
constexpr int SETTING_LAST = 2;

// True for the numbers of the settings in use, the only ones loaded, listed or served.
constexpr bool IsSettingInUse(int number) {
    return number >= SETTING_FIRST && number <= SETTING_LAST;
}

// One mailbox exposed over HTTP. Fields are named after their settings-file keys and
// hold code page 932 bytes. Passwords are plain here and scrambled in the file.
class CSetting {
public:
    CSetting() = default;
    virtual ~CSetting() = default;

    // Sets number and fills every other field from the file, taking the default of
    // each key the file lacks. Marks the record loaded.
    void Load(const CProfile& profile, int settingNumber);
    // Writes every field but number to the section of number, in one atomic replace
    // of the file. Returns false (file untouched) when it could not be written, and
    // when a field holds a line break, which the file cannot store. Passwords longer
    // than CPassCoder::kMaxPasswordLength bytes are stored cut to that length.
    [[nodiscard]] bool Save(CProfile& profile) const;

    // The file section of a setting: "SETTING%03d".
    static std::string SectionName(int settingNumber);

    // True once Load has filled the record; slots never loaded are never served.
    bool IsLoaded() const { return m_loaded; }

    // The longest text of each field, in code page 932 bytes, as the window's edits
    // take it and tallwynd set holds values to.
    static constexpr int kPasswordBytes = 30;   // WEB_PASS, MAIL_PASS
    static constexpr int kFilterBytes = 64;     // FILTER1, FILTER2
    static constexpr int kServerBytes = 128;    // MAIL_SERVER, MAIL_ACCOUNT
    static constexpr int kListCountDigits = 3;  // MAIL_LIST_COUNT, so at most 999
    static constexpr int kMaxListCount = 999;

    // MAIL_LIST_ORDER: the list page starts at message 1, or at the newest message
    // (the last one STAT counts). Any other value reads as the oldest first.
    static constexpr int kListOldestFirst = 0;
    static constexpr int kListNewestFirst = 1;

    // MAIL_PAGE_STYLE: the classic pages, or pages laid out for a phone and a desktop
    // browser (sender and date on each row, the message's header, paging). Any other
    // value reads as the classic pages.
    static constexpr int kPageClassic = 0;
    static constexpr int kPageModern = 1;

    int number = 0;
    std::string NAME;
    bool ENABLE = false;
    int FILTER_TYPE = 0;
    std::string FILTER1;
    std::string FILTER2;
    std::string WEB_PASS;
    std::string MAIL_SERVER;
    std::string MAIL_ACCOUNT;
    std::string MAIL_PASS;
    bool MAIL_LIMIT_ENABLE = false;
    bool MAIL_LIMIT_ENABLE2 = false;
    int MAIL_LIMIT_BYTE = 1000;
    int MAIL_LIMIT_BYTE2 = 80;
    int MAIL_LIST_COUNT = 5;
    int MAIL_LIST_ORDER = kListOldestFirst;
    int MAIL_PAGE_STYLE = kPageClassic;

    bool ModernPages() const { return MAIL_PAGE_STYLE == kPageModern; }

private:
    bool m_loaded = false;
};

// The table the window (or tallwynd) owns; the index is the setting number.
using CSettingTable = std::array<CSetting, SETTING_SLOTS>;
