// The settings dialog of a sample agent plug-in (an inventory collector).
// The tool calls ShowPluginSettingDlg on its UI thread, inside its own
// QApplication, and waits until the dialog is closed. The plug-in keeps its
// settings in a small file of its own beside the library, which is the agent's
// home directory.

#include <dlfcn.h>

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QSpinBox>
#include <QString>
#include <QVBoxLayout>

namespace {

constexpr char SETTINGS_FILE[] = "OpalSamplePlugin.ini";
constexpr char KEY_SCAN_INTERVAL[] = "Inventory/ScanIntervalMinutes";
constexpr char KEY_COLLECT_SOFTWARE[] = "Inventory/CollectInstalledSoftware";
constexpr int DEFAULT_SCAN_INTERVAL = 60;
constexpr int MIN_SCAN_INTERVAL = 5;
constexpr int MAX_SCAN_INTERVAL = 1440;

// The directory this library was loaded from. The tool's working directory is
// the same directory, but the library should not depend on its host's habits.
QString LibraryDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) != 0 && info.dli_fname != nullptr)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    return QStringLiteral(".");
}

QString SettingsPath() {
    return LibraryDirectory() + QLatin1Char('/') + QLatin1String(SETTINGS_FILE);
}

} // namespace

extern "C" __attribute__((visibility("default"))) void ShowPluginSettingDlg() {
    QSettings settings(SettingsPath(), QSettings::IniFormat);

    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Inventory Plug-in Settings"));
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);

    auto* layout = new QVBoxLayout(&dialog);
    auto* intro = new QLabel(QStringLiteral("The inventory plug-in reports this computer's hardware "
                                            "and software to the management server."),
                             &dialog);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* form = new QFormLayout;
    auto* interval = new QSpinBox(&dialog);
    interval->setRange(MIN_SCAN_INTERVAL, MAX_SCAN_INTERVAL);
    interval->setSuffix(QStringLiteral(" min"));
    // A hand-edited file may hold anything; the spin box clamps it.
    interval->setValue(settings.value(KEY_SCAN_INTERVAL, DEFAULT_SCAN_INTERVAL).toInt());
    form->addRow(QStringLiteral("Scan inventory every:"), interval);

    auto* software = new QCheckBox(QStringLiteral("Collect the list of installed software"), &dialog);
    software->setChecked(settings.value(KEY_COLLECT_SOFTWARE, true).toBool());
    form->addRow(QString(), software);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    if (dialog.exec() != QDialog::Accepted)
        return;

    settings.setValue(KEY_SCAN_INTERVAL, interval->value());
    settings.setValue(KEY_COLLECT_SOFTWARE, software->isChecked());
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        QMessageBox box(QMessageBox::Warning, dialog.windowTitle(),
                        QStringLiteral("The settings could not be saved to %1.").arg(SettingsPath()),
                        QMessageBox::Ok);
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
        box.exec();
    }
}
