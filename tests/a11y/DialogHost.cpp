// Shows one dialog template through the dialog framework on a real display,
// for the tests that drive it from an accessibility client; when the dialog
// ends it prints how (result) and what its controls held, one line each:
//   result 1
//   edit 1039 /tmp/ca.pem
//   check 1047 1
//
//   opal_a11y_dialog_host <template id> [--language <library>] [--enable-all]
// --enable-all enables every control, standing in for a dialog's own rules.

#include <cstdio>
#include <cstring>
#include <memory>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include "platform/gui/FrameworkDialog.h"
#include "platform/gui/ResourceLookup.h"
#include "platform/gui/ResourceModule.h"
#include "res/ProgramResources.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 2 || !InstallProgramResources())
        return 2;
    const unsigned templateId = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    std::unique_ptr<CResourceModule> language;
    bool enableAll = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--language") == 0 && i + 1 < argc) {
            language = CResourceModule::LoadLibraryFile(argv[++i]);
            if (!language)
                return 2;
            CResourceLookup::SetResourceModule(language.get());
        } else if (std::strcmp(argv[i], "--enable-all") == 0) {
            enableAll = true;
        }
    }

    CFrameworkDialog dialog(templateId);
    if (enableAll) {
        QTimer::singleShot(0, &dialog, [&dialog]() {
            for (const CBuiltControl& control : dialog.Controls().All())
                control.widget->setEnabled(true);
        });
    }
    const int result = dialog.DoModal();
    std::printf("result %d\n", result);
    for (const CBuiltControl& control : dialog.Controls().All()) {
        if (control.id == IDC_STATIC)
            continue;
        if (auto* edit = qobject_cast<QLineEdit*>(control.widget))
            std::printf("edit %d %s\n", control.id, edit->text().toUtf8().constData());
        else if (auto* button = qobject_cast<QAbstractButton*>(control.widget);
                 button && button->isCheckable())
            std::printf("check %d %d\n", control.id, button->isChecked() ? 1 : 0);
    }
    std::fflush(stdout);
    return 0;
}
