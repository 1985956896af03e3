#include "app/DialogTemplate.h"

#include <array>

#include "app/Resource.h"

namespace {

constexpr unsigned kEdit = kTabStop;
constexpr unsigned kButton = kTabStop;

// Template order is tab order; radio buttons, labels and frames are no tab stops.
constexpr std::array kMainDialogItems = std::to_array<CDialogItem>({
    {IDC_START, EItemKind::PushButton, "開始", 243, 458, 50, 14, kButton},
    {IDC_SETTING_LIST, EItemKind::ListBox, "", 7, 7, 114, 399, kTabStop},
    {IDC_NAME, EItemKind::Edit, "", 152, 38, 111, 14, kEdit},
    {IDC_ENABLE, EItemKind::CheckBox, "この設定を使用する", 275, 38, 71, 15, kTabStop},
    {IDC_STATIC, EItemKind::GroupBox, "WEB表示設定", 129, 57, 218, 275, kStyleNone},
    {IDC_STATIC, EItemKind::GroupBox, "表示メールフィルタ", 133, 70, 211, 120, kStyleNone},
    {IDC_FILTER_ALL, EItemKind::RadioButton, "全てのメールを表示する", 139, 83, 186, 13, kGroup},
    {IDC_FILTER_INCLUDE, EItemKind::RadioButton, "件名に指定された文字が入っているものだけ表示する",
     139, 99, 177, 13, kStyleNone},
    {IDC_FILTER1, EItemKind::Edit, "", 149, 125, 191, 14, kEdit},
    {IDC_FILTER_EXCLUDE, EItemKind::RadioButton, "件名に指定された文字が入っているものは表示しない",
     139, 145, 177, 13, kStyleNone},
    {IDC_FILTER2, EItemKind::Edit, "", 149, 170, 191, 14, kEdit},
    {IDC_STATIC, EItemKind::GroupBox, "公開パスワード", 133, 195, 211, 32, kStyleNone},
    {IDC_WEB_PASS, EItemKind::Edit, "", 149, 207, 191, 14, kEdit | kPassword},
    {IDC_STATIC, EItemKind::GroupBox, "表示制限", 133, 231, 211, 97, kStyleNone},
    {IDC_BODY_LIMIT_CHECK, EItemKind::CheckBox, "メール本文の表示サイズを制限する", 143, 243, 127,
     11, kTabStop},
    {IDC_BODY_LIMIT, EItemKind::Edit, "", 274, 241, 32, 14, kEdit},
    {IDC_STATIC, EItemKind::StaticText, "リストに表示するメールの件数", 144, 278, 92, 9,
     kStyleNone},
    {IDC_LIST_COUNT, EItemKind::Edit, "", 274, 275, 32, 14, kEdit},
    {IDC_STATIC, EItemKind::GroupBox, "メール設定", 129, 339, 218, 68, kStyleNone},
    {IDC_MAIL_SERVER, EItemKind::Edit, "", 178, 352, 163, 14, kEdit},
    {IDC_MAIL_ACCOUNT, EItemKind::Edit, "", 178, 370, 163, 14, kEdit},
    {IDC_MAIL_PASS, EItemKind::Edit, "", 178, 388, 163, 14, kEdit | kPassword},
    {IDC_UPDATE, EItemKind::PushButton, "更新", 298, 412, 50, 14, kButton},
    {IDC_PORT, EItemKind::Edit, "", 302, 437, 41, 14, kEdit | kRightAlign},
    {IDC_STATIC, EItemKind::StaticText, "アカウント", 135, 374, 31, 9, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "パスワード", 135, 392, 32, 9, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "HTTPポート番号：", 245, 440, 52, 9, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText,
     "複数設定する場合\",\"で区切って下さい。（例 緊急,○×システム）", 151, 113, 188, 10,
     kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "POP3サーバ", 135, 356, 40, 9, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "複数設定する場合\",\"で区切って下さい。（例 未承諾,広告）",
     151, 159, 188, 10, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "バイト", 309, 244, 25, 10, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "件", 309, 278, 25, 10, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "設定名", 126, 41, 21, 9, kStyleNone},
    {IDC_STOP, EItemKind::PushButton, "停止", 298, 458, 50, 14, kButton | kDisabled},
    {IDC_SUBJECT_LIMIT_CHECK, EItemKind::CheckBox, "メール件名の表示サイズを制限する", 143, 260,
     127, 11, kTabStop},
    {IDC_SUBJECT_LIMIT, EItemKind::Edit, "", 274, 258, 32, 14, kEdit},
    {IDC_STATIC, EItemKind::StaticText, "バイト", 309, 260, 25, 10, kStyleNone},
    // The list order came after the other display limits: one row below the list
    // count, with the controls under the group moved down by that row.
    {IDC_LIST_ORDER, EItemKind::CheckBox, "新しいメールから表示する", 143, 294, 127, 11, kTabStop},
    // The page style came next, one more row down.
    {IDC_PAGE_STYLE, EItemKind::CheckBox, "スマートフォン・PC向けの画面", 143, 311, 127, 11,
     kTabStop},
    {IDC_STATIC, EItemKind::StaticText, "URL", 129, 8, 16, 9, kStyleNone},
    {IDC_ADDRESS, EItemKind::StaticText, "http://SERVER/001XXXXXXtoplist", 152, 6, 196, 12,
     kClientEdge},
    {IDC_STATIC, EItemKind::StaticText, "SERVER：サーバのアドレス", 154, 20, 84, 9, kStyleNone},
    {IDC_STATIC, EItemKind::StaticText, "XXXXXX：公開パスワード", 258, 20, 84, 9, kStyleNone},
    {IDC_LINK, EItemKind::StaticText, "", 7, 460, 120, 10, kNotify | kBlackFrame},
});

}  // namespace

const CDialogTemplate kMainDialogTemplate = {
    IDD_MAIN_DIALOG, "Ravenquill", 355, 479, "ＭＳ Ｐゴシック", 9, kMainDialogItems,
};
