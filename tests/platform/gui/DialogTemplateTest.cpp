// Dialog and menu templates: parsing, the conversion of dialog units, and the
// contract between the program's templates and a language library's.

#include <optional>
#include <string>
#include <vector>

#include <QFontMetrics>
#include <gtest/gtest.h>

#include "platform/gui/DialogUnits.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"
#include "platform/gui/ResourceTemplates.h"

namespace {

TEST(DialogTemplateTest, ParsesControlsInDocumentOrder) {
    CDialogTemplate dialog;
    QString why;
    ASSERT_TRUE(
        ParseDialogTemplate(R"(<dialog id="7" caption="T" width="100" height="50" font-size="8">
        <control id="10" kind="edit" x="1" y="2" width="30" height="12" style="tabstop password"/>
        <control id="-1" kind="label" x="1" y="20" width="30" height="8" text="a &amp; b"/>
        <control id="11" kind="radio" x="1" y="30" width="30" height="10" text="R" style="group"/>
      </dialog>)",
                            dialog, &why))
        << why.toStdString();
    EXPECT_EQ(dialog.id, 7u);
    EXPECT_EQ(dialog.fontPointSize, 8);
    ASSERT_EQ(dialog.controls.size(), 3u);
    EXPECT_EQ(dialog.controls[0].kind, ControlKind::Edit);
    EXPECT_EQ(dialog.controls[0].style, CTL_TABSTOP | CTL_PASSWORD);
    EXPECT_EQ(dialog.controls[0].rect, QRect(1, 2, 30, 12));
    EXPECT_EQ(dialog.controls[1].text, QStringLiteral("a & b"));
    EXPECT_EQ(dialog.controls[2].id, 11);
    EXPECT_EQ(ControlStyleText(dialog.controls[0].style), QStringLiteral("tabstop password"));
}

TEST(DialogTemplateTest, RefusesTemplatesThatDoNotHoldTogether) {
    const char* cases[] = {
        "",
        "<dialog",
        R"(<menu id="1"/>)",
        R"(<dialog caption="x" width="10" height="10"/>)",
        R"(<dialog id="1" width="10"/>)",
        R"(<dialog id="1" width="10" height="10"><control id="2" kind="slider" x="0" y="0" width="1" height="1"/></dialog>)",
        R"(<dialog id="1" width="10" height="10"><control id="2" kind="edit" x="0" y="0" width="1" height="1" style="bold"/></dialog>)",
        R"(<dialog id="1" width="10" height="10"><control id="2" kind="edit" x="0" y="0" width="1" height="1"/><control id="2" kind="edit" x="0" y="0" width="1" height="1"/></dialog>)",
        R"(<dialog id="1" width="10" height="10"><control id="2" kind="edit" x="-4" y="0" width="1" height="1"/></dialog>)",
        R"(<dialog id="1" width="10" height="10"><button/></dialog>)",
        R"(<dialog id="1" width="10" height="10"></dialog><extra/>)",
    };
    for (const char* xml : cases) {
        CDialogTemplate dialog;
        QString why;
        EXPECT_FALSE(ParseDialogTemplate(xml, dialog, &why)) << xml;
        EXPECT_FALSE(why.isEmpty()) << xml;
    }
}

TEST(DialogTemplateTest, StringTablesRefuseDuplicatesAndNesting) {
    std::map<unsigned, std::u16string> table;
    EXPECT_TRUE(
        ParseStringTable(R"(<strings><string id="1">a</string><string id="2"/></strings>)", table));
    EXPECT_EQ(table.at(2), u"");
    EXPECT_FALSE(ParseStringTable(
        R"(<strings><string id="1">a</string><string id="1">b</string></strings>)", table));
    EXPECT_FALSE(ParseStringTable(R"(<strings><string id="1">a<b/></string></strings>)", table));
    EXPECT_FALSE(ParseStringTable(R"(<strings><string id="70000">a</string></strings>)", table));
}

TEST(DialogTemplateTest, DialogUnitsFollowTheFontMetrics) {
    const struct {
        QRect units;
        CDialogBaseUnits base;
        QRect pixels;
    } cases[] = {
        // 6 x 13 is the classic 8-point dialog font.
        {QRect(0, 0, 240, 416), {6, 13}, QRect(0, 0, 360, 676)},
        {QRect(117, 397, 53, 18), {6, 13}, QRect(176, 645, 79, 29)},
        // Edges are rounded, so neighbours keep touching: 7/4 = 1.75 px.
        {QRect(1, 1, 1, 1), {7, 14}, QRect(2, 2, 2, 2)},
        {QRect(2, 2, 1, 1), {7, 14}, QRect(4, 4, 1, 1)},
        {QRect(8, 397, 61, 18), {7, 14}, QRect(14, 695, 107, 31)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MapDialogRect(c.units, c.base), c.pixels) << c.units.x() << "," << c.units.y();

    EXPECT_EQ(MulDivRound(5, 3, 2), 8);   // 7.5 rounds up
    EXPECT_EQ(MulDivRound(-5, 3, 2), -8); // and away from zero
    EXPECT_EQ(MulDivRound(1, 1, 0), -1);
    EXPECT_EQ(MulDivRound(2000000000, 4, 8), 1000000000); // no overflow on the way

    // The base units of a real font are its letters' mean width and its height.
    const CDialogBaseUnits base = DialogBaseUnits(QFont(QStringLiteral("DejaVu Sans"), 9));
    EXPECT_GT(base.x, 3);
    EXPECT_LT(base.x, 12);
    EXPECT_EQ(base.y, QFontMetrics(QFont(QStringLiteral("DejaVu Sans"), 9)).height());
}

// A library's templates must have the same controls, kinds, styles and tab
// order as the program's; only texts, positions and sizes may differ.
TEST(DialogTemplateTest, JapaneseTemplatesKeepTheProgramsControls) {
    QString why;
    const auto japanese = CResourceModule::LoadLibraryFile(OPAL_LEXIDRA, &why);
    ASSERT_TRUE(japanese) << why.toStdString();
    const CResourceModule& english = *CResourceLookup::ProgramModule();
    for (unsigned id : {130u, 131u, 132u, 165u}) {
        const std::optional<CDialogTemplate> en = english.LoadDialog(id);
        const std::optional<CDialogTemplate> ja = japanese->LoadDialog(id);
        ASSERT_TRUE(en && ja) << id;
        ASSERT_EQ(en->controls.size(), ja->controls.size()) << id;
        for (std::size_t i = 0; i < en->controls.size(); ++i) {
            const CControlTemplate& a = en->controls[i];
            const CControlTemplate& b = ja->controls[i];
            EXPECT_EQ(a.id, b.id) << id << " #" << i;
            EXPECT_EQ(a.kind, b.kind) << id << " control " << a.id;
            EXPECT_EQ(a.style, b.style) << id << " control " << a.id;
            // Protocol and method names, "OK" and "KB" read the same in Japanese.
            const bool sameInJapanese = a.text == QLatin1String("OK") ||
                                        a.text == QLatin1String("KB") ||
                                        a.kind == ControlKind::RadioButton;
            if (!a.text.isEmpty() && !sameInJapanese) {
                EXPECT_NE(a.text, b.text) << id << " control " << a.id << " is not translated";
            }
        }
    }
    EXPECT_EQ(english.LoadDialog(130)->caption, QStringLiteral("Agent "));
    EXPECT_EQ(english.LoadDialog(165)->caption, QStringLiteral("HTTPS Settings"));
    EXPECT_EQ(english.LoadDialog(130)->width, 240);
    EXPECT_EQ(english.LoadDialog(130)->height, 360);
    EXPECT_EQ(english.LoadDialog(165)->width, 271);
    EXPECT_EQ(english.LoadDialog(165)->height, 134);
}

std::vector<std::pair<int, int>> Shape(const std::vector<CMenuItemTemplate>& items) {
    std::vector<std::pair<int, int>> shape;
    for (const CMenuItemTemplate& item : items) {
        shape.emplace_back(static_cast<int>(item.kind), item.command);
        if (item.kind == CMenuItemTemplate::Kind::Popup) {
            for (const auto& inner : Shape(item.items))
                shape.push_back(inner);
            shape.emplace_back(-1, 0);
        }
    }
    return shape;
}

TEST(DialogTemplateTest, TrayMenuHasTheSameItemsInBothLanguages) {
    const auto japanese = CResourceModule::LoadLibraryFile(OPAL_LEXIDRA);
    ASSERT_TRUE(japanese);
    const std::optional<CMenuTemplate> en = CResourceLookup::ProgramModule()->LoadMenu(128);
    const std::optional<CMenuTemplate> ja = japanese->LoadMenu(128);
    ASSERT_TRUE(en && ja);
    ASSERT_EQ(en->items.size(), 1u);
    const std::vector<CMenuItemTemplate>& popup = en->items[0].items;
    const std::vector<int> commands = {2000, 0, 0, 2001, 2002, 2003, 0, 2004};
    ASSERT_EQ(popup.size(), commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i)
        EXPECT_EQ(popup[i].command, commands[i]) << i;
    EXPECT_EQ(popup[1].kind, CMenuItemTemplate::Kind::Popup);
    EXPECT_EQ(popup[1].items.at(0).command, 32785);
    EXPECT_EQ(popup[1].items.at(1).kind, CMenuItemTemplate::Kind::Separator);
    EXPECT_EQ(Shape(en->items), Shape(ja->items));
    EXPECT_EQ(ja->items[0].items[0].text, QStringLiteral("設定"));
}

} // namespace
