// Takes pictures of the tool's dialogs for people to review, in English and
// in a language library's language: the real settings sheet on each tab with
// the demo agent's values loaded, the HTTPS settings dialog, a validation
// message, the progress window and the results of Test Connection (one with
// its diagnosis opened), the tray menu, and the status window that stands in
// for the icon where no tray host is (idle, and while a service command
// waits).
//
//   opal_dialog_screenshots <output-dir> <language-library> <agent-documents-dir>
//
// <agent-documents-dir> holds the agent's documents (scripts/demo/); they are
// copied into a scratch agent home as the agent writes them. Writes
// <output-dir>/en/*.png and <output-dir>/ja/*.png. Runs on any Qt platform;
// the build uses QT_QPA_PLATFORM=offscreen.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "common/ASTCommonFunc.h"
#include "platform/gui/MenuBuilder.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/ResourceLookup.h"
#include "res/ProgramResources.h"
#include "res/Resource.h"
#include "shell/StatusWindow.h"
#include "shell/TrayIcon.h"
#include "ui/ConfigureAgent4VSM.h"
#include "ui/ConnectionTestProgress.h"

namespace {

constexpr char16_t SERVICE_NAME[] = u"opal-agent-demo";
constexpr const char* AGENT_DOCUMENTS[] = {"AgentSysConfig.xml", "AgentLocalConfig.xml",
                                           "AgentWorkConfig.xml", "AgentStatus.xml",
                                           "SettingToolSysConfig.xml"};

// Test Connection's three outcomes: text and caption.
struct ResultBox {
    const char* name;
    unsigned text;
    unsigned caption;
    MessageIcon icon;
};
constexpr ResultBox RESULT_BOXES[] = {
    {"result-7020", 7020, 7009, MessageIcon::Information},
    {"result-7019", 7019, 7010, MessageIcon::Warning},
    {"result-7052", 7052, 7010, MessageIcon::Warning},
};

// The agent's documents with CR LF line ends and its home filled in, as
// scripts/run.sh lays out the demo.
bool LayOutAgentHome(const QString& documents, const QString& home) {
    for (const char* name : AGENT_DOCUMENTS) {
        QFile in(documents + QLatin1Char('/') + QLatin1String(name));
        if (!in.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(in.fileName()));
            return false;
        }
        QByteArray text = in.readAll();
        text.replace("@HOME_DIRECTORY@", home.toUtf8());
        text.replace("\r\n", "\n");
        text.replace("\n", "\r\n");
        QFile out(home + QLatin1Char('/') + QLatin1String(name));
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
            return false;
    }
    return true;
}

bool SaveGrab(QWidget& widget, const QString& path) {
    const bool saved = widget.grab().save(path);
    if (!saved)
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return saved;
}

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QApplication::processEvents();
    return SaveGrab(widget, path);
}

// Runs `open`, which shows a modal window, takes its picture once it is up
// and closes it again; false when no window came or the file was not written.
bool SaveModal(const QString& path, const std::function<void()>& open) {
    bool saved = false;
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr) {
            std::fprintf(stderr, "no window to take for %s\n", qPrintable(path));
            return;
        }
        QApplication::processEvents();
        saved = SaveGrab(*modal, path);
        modal->done(0);
    });
    open();
    return saved;
}

SettingsSheetContext Context(CResourceModule* module) {
    SettingsSheetContext context;
    context.languageModule = [module] { return module; };
    context.serviceName = SERVICE_NAME;
    return context;
}

bool SaveAll(const QString& folder, CResourceModule* module) {
    QDir().mkpath(folder);
    bool ok = true;
    const auto path = [&folder](const char* name) {
        return folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    };

    CConfigureAgent4VSM sheet(Context(module));
    if (!sheet.CreateModeless())
        return false;
    ok = Save(sheet, path("130-general")) && ok;
    sheet.SelectTab(1);
    ok = Save(sheet, path("130-advanced")) && ok;
    sheet.SelectTab(0);
    QApplication::processEvents();

    ok = SaveModal(path("165"), [&sheet] { sheet.GeneralPage().OpenHttpsSettings(); }) && ok;

    // A port out of range, refused when OK is pressed.
    auto* port = qobject_cast<QLineEdit*>(sheet.GeneralPage().GetDlgItem(1004));
    const QString loadedPort = port->text();
    port->setText(QStringLiteral("65536"));
    ok = SaveModal(path("validation-7047"),
                   [&sheet] { qobject_cast<QPushButton*>(sheet.GetDlgItem(IDOK))->click(); }) &&
         ok;
    port->setText(loadedPort);

    // The window Test Connection runs behind, with the server on screen.
    const auto text = [module](unsigned id) {
        return QString::fromStdU16String(module->LoadString(id).value_or(u""));
    };
    const QString server = QString::fromStdU16String(sheet.GeneralPage().GetDlgItemText(1003));
    CConnectionTestProgress progress(
        &sheet, TestingConnectionText(text(IDS_TESTING_CONNECTION), server, loadedPort.toInt()),
        text(IDS_CANCEL));
    ok = Save(progress, path("progress")) && ok;
    progress.hide();

    // A real diagnosis, of a port on this machine where nothing listens, so
    // that the picture needs no network.
    {
        ConnectionTestSettings settings;
        settings.ServerName = u"127.0.0.1";
        settings.ServerPort = 1;
        settings.ServiceURI = u"/opalCommunicatorServer/DataPortServlet";
        settings.ConnTimeOut = 300;
        ConnectionDiagnosis diagnosis;
        const ConnectionTestOutcome outcome = RunConnectionTest(settings, nullptr, &diagnosis);
        std::unique_ptr<QMessageBox> box = CreateMessageBox(
            ConnectionTestResultBox(&sheet, outcome, diagnosis, [module](unsigned id) {
                return module->LoadString(id).value_or(u"");
            }));
        box->show();
        for (QAbstractButton* button : box->buttons()) {
            if (box->buttonRole(button) == QMessageBox::ActionRole)
                button->click();
        }
        ok = Save(*box, path("result-7019-details")) && ok;
    }

    for (const ResultBox& result : RESULT_BOXES) {
        CMessageBoxRequest request;
        request.owner = &sheet;
        request.text = module->LoadString(result.text).value_or(u"");
        request.caption = module->LoadString(result.caption).value_or(u"");
        request.icon = result.icon;
        std::unique_ptr<QMessageBox> box = CreateMessageBox(request);
        ok = Save(*box, path(result.name)) && ok;
    }
    sheet.hide();

    if (std::optional<CMenuTemplate> menu = CResourceLookup::LoadMenu(128);
        menu && !menu->items.empty()) {
        std::unique_ptr<QMenu> popup(BuildPopupMenu(menu->items.front()));
        popup->actions().at(0)->setEnabled(true);
        ok = Save(*popup, path("menu-128")) && ok;
    } else {
        ok = false;
    }

    // The agent works, its service runs; then a stop waits for the service.
    CStatusWindow window;
    window.ApplyTexts(text);
    window.SetAgentStatus(LoadTrayIconImage(IDI_AGENT_NORMAL), text(7051));
    window.SetServiceState(text(IDS_SERVICE_RUNNING));
    window.SetServiceCommands(false, true, true);
    ok = Save(window, path("status-window")) && ok;
    window.SetServiceState(text(IDS_SERVICE_STOPPING));
    window.SetServiceCommands(false, false, false);
    ok = Save(window, path("status-window-stopping")) && ok;
    window.hide();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Kestrel Agent Setting Tool"));
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <output-dir> <language-library> <agent-documents-dir>\n",
                     argv[0]);
        return 2;
    }
    if (!InstallProgramResources()) {
        std::fprintf(stderr, "the program's resources are damaged\n");
        return 1;
    }
    QTemporaryDir scratch;
    const QString home = scratch.path() + QStringLiteral("/agent");
    const QString registry = scratch.path() + QStringLiteral("/registry");
    if (!scratch.isValid() || !QDir().mkpath(home) || !QDir().mkpath(registry) ||
        !LayOutAgentHome(QString::fromLocal8Bit(argv[3]), home))
        return 1;
    // The documents are read from the agent's home, which the tool takes to
    // be its own directory; the pictures must not depend on the build's.
    SetModuleDirectoryForTesting(home.toStdString());
    setenv("OPAL_REGISTRY_ROOT", registry.toLocal8Bit().constData(), 1);

    const QString out = QString::fromLocal8Bit(argv[1]);
    bool ok = SaveAll(out + QStringLiteral("/en"), CResourceLookup::ProgramModule());

    QString why;
    std::unique_ptr<CResourceModule> library = CResourceModule::LoadLibraryFile(argv[2], &why);
    if (!library) {
        std::fprintf(stderr, "%s is not a language library: %s\n", argv[2], qPrintable(why));
        return 1;
    }
    CResourceLookup::SetResourceModule(library.get());
    ok = SaveAll(out + QStringLiteral("/ja"), library.get()) && ok;
    CResourceLookup::SetResourceModule(nullptr);
    SetModuleDirectoryForTesting(std::nullopt);
    return ok ? 0 : 1;
}
