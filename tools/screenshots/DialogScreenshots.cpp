// Takes a picture of every dialog of the tool, in English and in a language
// library's language, the way the settings sheet lays them out: the banner
// on top, the pages over the tab control. Sample values fill the fields so
// that the pictures show the controls in use.
//
//   opal_dialog_screenshots <output-dir> <language-library>
//
// Writes <output-dir>/en/*.png and <output-dir>/ja/*.png. Runs on any Qt
// platform; the build uses QT_QPA_PLATFORM=offscreen.

#include <cstdio>
#include <memory>
#include <string>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>

#include "platform/gui/Banner.h"
#include "platform/gui/FrameworkDialog.h"
#include "platform/gui/MenuBuilder.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/TabControl.h"
#include "res/ProgramResources.h"

namespace {

std::u16string Text(unsigned id) {
    return CResourceLookup::LoadString(id).value_or(u"");
}

// The General page with a server, an HTTP proxy with authentication.
void FillGeneralPage(CFrameworkDialog& page) {
    page.SetDlgItemText(1003, u"kestrel.example.com");
    page.SetDlgItemText(1004, u"443");
    page.CheckDlgButton(1037, BST_CHECKED);
    page.EnableDlgItem(1040, true);
    page.CheckDlgButton(1048, BST_CHECKED);
    page.SetDlgItemText(1049, u"agent");
    page.SetDlgItemText(1050, u"secret");
    page.CheckDlgButton(1062, BST_CHECKED);
    page.CheckDlgButton(1005, BST_CHECKED);
    page.CheckDlgButton(1051, BST_CHECKED);
    page.SetDlgItemText(1006, u"proxy.example.com");
    page.SetDlgItemText(1007, u"3128");
    page.CheckDlgButton(1065, BST_CHECKED);
    page.SetDlgItemText(1009, u"proxyuser");
    page.SetDlgItemText(1010, u"secret");
    page.CheckDlgButton(1058, BST_CHECKED);
}

void FillAdvancedPage(CFrameworkDialog& page) {
    page.SetDlgItemText(1027, u"/opalCommunicatorServer/DataPortServlet");
    page.SetDlgItemText(7024, u"30");
    page.SetDlgItemText(1028, u"200");
    page.SetDlgItemText(1029, u"300");
    page.SetDlgItemText(1066, Text(7054));
    page.SetDlgItemText(1026, u"30");
    page.SetDlgItemText(1021, u"60");
    page.SetDlgItemText(1023, u"600");
    page.EnableDlgItem(1057, false);
}

void FillHttpsDialog(CFrameworkDialog& dialog) {
    dialog.SetDlgItemText(1039, u"/etc/opal/certs/root-ca.der");
    dialog.CheckDlgButton(1047, BST_CHECKED);
    for (int id : {1041, 1043, 1042})
        dialog.EnableDlgItem(id, true);
    dialog.SetDlgItemText(1041, u"/etc/opal/certs/agent.p12");
    dialog.SetDlgItemText(1042, u"secret");
}

// The settings sheet as it will look: banner, tabs and both pages.
class CSheetPreview : public CFrameworkDialog {
public:
    CSheetPreview() : CFrameworkDialog(130u) {}

    bool OnInitDialog() override {
        CFrameworkDialog::OnInitDialog();
        m_left = CResourceLookup::LoadBitmap(137);
        m_right = CResourceLookup::LoadBitmap(143);
        CTabControl* tabs = GetTabControl(1015);
        tabs->InsertItem(0, QString::fromStdU16String(Text(7014)));
        tabs->InsertItem(1, QString::fromStdU16String(Text(7015)));
        m_general = std::make_unique<CFrameworkDialog>(131u);
        m_advanced = std::make_unique<CFrameworkDialog>(132u);
        const QRect display = tabs->DisplayRect().translated(tabs->pos());
        for (CFrameworkDialog* page : {m_general.get(), m_advanced.get()}) {
            page->Create(this);
            page->move(display.topLeft());
        }
        FillGeneralPage(*m_general);
        FillAdvancedPage(*m_advanced);
        connect(tabs, &CTabControl::SelectionChanged, this, [this](int index) { ShowPage(index); });
        ShowPage(0);
        setWindowTitle(windowTitle() + QStringLiteral("(opalagent)"));
        return true;
    }

    void ShowPage(int index) {
        GetTabControl(1015)->SetCurSel(index);
        m_general->setVisible(index == 0);
        m_advanced->setVisible(index == 1);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        CFrameworkDialog::paintEvent(event);
        QPainter painter(this);
        DrawBanner(painter, GetDlgItem(1014)->geometry(), m_left, m_right);
    }

private:
    QImage m_left;
    QImage m_right;
    std::unique_ptr<CFrameworkDialog> m_general;
    std::unique_ptr<CFrameworkDialog> m_advanced;
};

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QApplication::processEvents();
    const bool saved = widget.grab().save(path);
    widget.hide();
    if (!saved)
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return saved;
}

// A page on its own, the size it has in the sheet.
bool SavePage(unsigned id, void (*fill)(CFrameworkDialog&), const QString& path) {
    QWidget host;
    CFrameworkDialog page(id);
    if (!page.Create(&host))
        return false;
    fill(page);
    page.show();
    host.setFixedSize(page.size());
    return Save(host, path);
}

bool SaveAll(const QString& folder) {
    QDir().mkpath(folder);
    bool ok = true;
    CSheetPreview sheet;
    ok = sheet.CreateModeless() && ok;
    ok = Save(sheet, folder + QStringLiteral("/130-general.png")) && ok;
    sheet.ShowPage(1);
    ok = Save(sheet, folder + QStringLiteral("/130-advanced.png")) && ok;
    ok = SavePage(131, FillGeneralPage, folder + QStringLiteral("/131.png")) && ok;
    ok = SavePage(132, FillAdvancedPage, folder + QStringLiteral("/132.png")) && ok;

    CFrameworkDialog https(165u);
    ok = https.CreateModeless() && ok;
    FillHttpsDialog(https);
    ok = Save(https, folder + QStringLiteral("/165.png")) && ok;

    if (std::optional<CMenuTemplate> menu = CResourceLookup::LoadMenu(128);
        menu && !menu->items.empty()) {
        std::unique_ptr<QMenu> popup(BuildPopupMenu(menu->items.front()));
        popup->actions().at(0)->setEnabled(true);
        ok = Save(*popup, folder + QStringLiteral("/menu-128.png")) && ok;
    } else {
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Kestrel Agent Setting Tool"));
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output-dir> <language-library>\n", argv[0]);
        return 2;
    }
    if (!InstallProgramResources()) {
        std::fprintf(stderr, "the program's resources are damaged\n");
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    bool ok = SaveAll(out + QStringLiteral("/en"));

    QString why;
    std::unique_ptr<CResourceModule> library = CResourceModule::LoadLibraryFile(argv[2], &why);
    if (!library) {
        std::fprintf(stderr, "%s is not a language library: %s\n", argv[2], qPrintable(why));
        return 1;
    }
    CResourceLookup::SetResourceModule(library.get());
    ok = SaveAll(out + QStringLiteral("/ja")) && ok;
    CResourceLookup::SetResourceModule(nullptr);
    return ok ? 0 : 1;
}
