#pragma once

// Identifiers of the main window and its controls. The numbers are the ones the
// window has always had; tests and the dialog template refer to controls by them.
inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_ADDRESS = 1000;
inline constexpr int IDC_SETTING_LIST = 1001;
inline constexpr int IDC_NAME = 1002;
inline constexpr int IDC_ENABLE = 1003;
inline constexpr int IDC_FILTER_ALL = 1004;      // FILTER_TYPE 0
inline constexpr int IDC_FILTER_INCLUDE = 1005;  // FILTER_TYPE 1
inline constexpr int IDC_FILTER_EXCLUDE = 1006;  // FILTER_TYPE 2
inline constexpr int IDC_FILTER1 = 1007;
inline constexpr int IDC_FILTER2 = 1008;
inline constexpr int IDC_WEB_PASS = 1009;
inline constexpr int IDC_BODY_LIMIT_CHECK = 1010;
inline constexpr int IDC_SUBJECT_LIMIT_CHECK = 1011;
inline constexpr int IDC_BODY_LIMIT = 1012;
inline constexpr int IDC_SUBJECT_LIMIT = 1013;
inline constexpr int IDC_LIST_COUNT = 1014;
inline constexpr int IDC_MAIL_SERVER = 1015;
inline constexpr int IDC_MAIL_ACCOUNT = 1016;
inline constexpr int IDC_MAIL_PASS = 1017;
inline constexpr int IDC_PORT = 1018;
inline constexpr int IDC_UPDATE = 1019;
inline constexpr int IDC_START = 1020;
inline constexpr int IDC_STOP = 1021;
inline constexpr int IDC_LINK = 1022;
inline constexpr int IDC_LIST_ORDER = 1023;  // MAIL_LIST_ORDER
inline constexpr int IDC_PAGE_STYLE = 1024;  // MAIL_PAGE_STYLE
