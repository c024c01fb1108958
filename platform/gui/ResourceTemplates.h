#pragma once
// The resource forms a module carries besides its string table: dialog
// templates, menu templates and version information, kept in the bundle as
// small XML documents and parsed here into plain records.
//
// Dialog template:
//   <dialog id="165" caption="..." width="271" height="134" font-size="9" [font-face="..."]>
//     <control id="1039" kind="edit" x="7" y="18" width="200" height="12"
//              [text="..."] [style="tabstop group ..."]/>
//     ...
//   </dialog>
// Positions and sizes are dialog units; the tab order is document order.
// Menu template:
//   <menu id="128"><popup text="..."><item id="2000" text="..."/><separator/>...</popup></menu>
// Version information:
//   <version file="a.b.c.d" product="a.b.c.d" language="1033"><value
//   name="...">...</value></version>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QRect>
#include <QString>

// The id of controls nobody refers to (labels and group boxes).
inline constexpr int IDC_STATIC = -1;

enum class ControlKind { Label, Edit, PushButton, CheckBox, RadioButton, GroupBox, Tab };

// Style flags of a control, written as words in the template.
inline constexpr uint32_t CTL_GROUP = 0x0001; // "group": starts a group (radio buttons, tab stops)
inline constexpr uint32_t CTL_TABSTOP = 0x0002;  // "tabstop": reached with the Tab key
inline constexpr uint32_t CTL_DISABLED = 0x0004; // "disabled"
inline constexpr uint32_t CTL_HIDDEN = 0x0008;   // "hidden"
inline constexpr uint32_t CTL_DEFAULT = 0x0010;  // "default": the default push button
inline constexpr uint32_t CTL_PASSWORD = 0x0020; // "password": input is masked
inline constexpr uint32_t CTL_READONLY = 0x0040; // "readonly"
inline constexpr uint32_t CTL_NUMBER = 0x0080;   // "number": an edit that takes digits only
inline constexpr uint32_t CTL_RIGHT = 0x0100;    // "right": text aligned right
inline constexpr uint32_t CTL_CENTER = 0x0200;   // "center": text centred
inline constexpr uint32_t CTL_NOWRAP = 0x0400;   // "nowrap": a label that never wraps

struct CControlTemplate {
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Label;
    uint32_t style = 0;
    QString text;
    QRect rect; // dialog units
};

struct CDialogTemplate {
    unsigned id = 0;
    QString caption;
    int width = 0;  // dialog units
    int height = 0; // dialog units
    int fontPointSize = 9;
    QString fontFace;                       // empty: the application's font family
    std::vector<CControlTemplate> controls; // in tab order

    const CControlTemplate* Find(int controlId) const;
};

struct CMenuItemTemplate {
    enum class Kind { Command, Popup, Separator };
    Kind kind = Kind::Command;
    int command = 0;
    QString text;
    std::vector<CMenuItemTemplate> items; // a pop-up's items
};

struct CMenuTemplate {
    unsigned id = 0;
    std::vector<CMenuItemTemplate> items; // the menu bar level: usually one pop-up
};

struct CVersionInfo {
    uint16_t fileVersion[4] = {0, 0, 0, 0};
    uint16_t productVersion[4] = {0, 0, 0, 0};
    int language = 0;                  // a Windows language identifier, 1033 English, 1041 Japanese
    std::map<QString, QString> values; // CompanyName, FileDescription, ProductName, ...

    QString FileVersionText() const;
    QString ProductVersionText() const;
};

const char* ControlKindName(ControlKind kind);
// The words of a style value, in flag order ("group tabstop").
QString ControlStyleText(uint32_t style);

// Each parser returns false with a reason for a document that is not a
// well-formed template of its kind; `out` is then unspecified.
bool ParseDialogTemplate(const QByteArray& xml, CDialogTemplate& out, QString* why = nullptr);
bool ParseMenuTemplate(const QByteArray& xml, CMenuTemplate& out, QString* why = nullptr);
bool ParseVersionInfo(const QByteArray& xml, CVersionInfo& out, QString* why = nullptr);
// A string table: <strings><string id="7000">text</string>...</strings>.
// An id given twice is an error, as the resource compiler treats it.
bool ParseStringTable(const QByteArray& xml, std::map<unsigned, std::u16string>& out,
                      QString* why = nullptr);
