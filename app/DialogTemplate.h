#pragma once

#include <span>

// The main window described as data: every control with its id, kind, caption,
// box in dialog units and style. CMainDialog builds its widgets from this table
// alone, in table order, which is also the tab order.

enum class EItemKind {
    PushButton,
    ListBox,
    Edit,
    CheckBox,     // automatic check box
    RadioButton,  // automatic radio button
    GroupBox,
    StaticText,
};

// Style flags of one control.
enum EItemStyle : unsigned {
    kStyleNone = 0,
    kTabStop = 1u << 0,
    kGroup = 1u << 1,       // the first control of a radio group
    kDisabled = 1u << 2,    // disabled at creation
    kPassword = 1u << 3,    // edit that shows masking characters
    kRightAlign = 1u << 4,  // edit whose text is right-aligned
    kClientEdge = 1u << 5,  // sunken edge around the client area
    kNotify = 1u << 6,      // static that reports mouse clicks
    kBlackFrame = 1u << 7,  // static drawn as a black frame
};

struct CDialogItem {
    int id;  // IDC_STATIC for labels and frames
    EItemKind kind;
    const char* caption;  // UTF-8, for the window only
    int x, y, cx, cy;     // dialog units
    unsigned style;
};

struct CDialogTemplate {
    int id;
    const char* caption;
    int cx, cy;            // client size in dialog units
    const char* fontFace;  // UTF-8
    int fontPoints;
    std::span<const CDialogItem> items;
};

extern const CDialogTemplate kMainDialogTemplate;
