#include "platform/gui/ResourceModule.h"

#include <atomic>

#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QResource>

#include "platform/gui/ElfSection.h"
#include "platform/gui/RccBundle.h"

namespace {

bool Fail(QString* why, const QString& text) {
    if (why != nullptr)
        *why = text;
    return false;
}

QString NextRoot() {
    static std::atomic<int> counter{0};
    return QStringLiteral("/opal/module-%1").arg(++counter);
}

} // namespace

CResourceModule::~CResourceModule() {
    if (m_bundle != nullptr)
        QResource::unregisterResource(m_bundle, m_root);
}

std::unique_ptr<CResourceModule> CResourceModule::Register(std::unique_ptr<CResourceModule> module,
                                                           const unsigned char* data,
                                                           std::size_t size, QString* why) {
    std::string problem;
    if (!CheckRccBundle(data, size, &problem)) {
        Fail(why,
             QStringLiteral("damaged resource bundle: %1").arg(QString::fromStdString(problem)));
        return nullptr;
    }
    module->m_root = NextRoot();
    if (!QResource::registerResource(data, module->m_root)) {
        Fail(why, QStringLiteral("the resource system refused the bundle"));
        return nullptr;
    }
    module->m_bundle = data;

    bool found = false;
    const QByteArray table = module->ReadFile(QStringLiteral("strings.xml"), &found);
    QString reason;
    if (found && !ParseStringTable(table, module->m_strings, &reason)) {
        Fail(why, QStringLiteral("string table: %1").arg(reason));
        return nullptr; // the destructor unregisters the bundle
    }
    return module;
}

std::unique_ptr<CResourceModule> CResourceModule::FromStaticBundle(const unsigned char* data,
                                                                   std::size_t size, QString* why) {
    std::unique_ptr<CResourceModule> module(new CResourceModule());
    return Register(std::move(module), data, size, why);
}

std::unique_ptr<CResourceModule> CResourceModule::LoadLibraryFile(const std::string& path,
                                                                  QString* why) {
    std::unique_ptr<CResourceModule> module(new CResourceModule());
    module->m_path = path;
    const ElfSectionResult result =
        ReadElfSection(path, kLanguageResourceSection, module->m_ownedBundle);
    if (result != ElfSectionResult::Ok) {
        Fail(why, QString::fromLatin1(ElfSectionResultText(result)));
        return nullptr;
    }
    const unsigned char* data = module->m_ownedBundle.data();
    const std::size_t size = module->m_ownedBundle.size();
    return Register(std::move(module), data, size, why);
}

QString CResourceModule::ResourcePrefix() const {
    return QLatin1Char(':') + m_root;
}

QByteArray CResourceModule::ReadFile(const QString& relative, bool* found) const {
    QFile file(ResourcePrefix() + QLatin1Char('/') + relative);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (found != nullptr)
        *found = opened;
    return opened ? file.readAll() : QByteArray();
}

std::optional<std::u16string> CResourceModule::LoadString(unsigned id, std::size_t maxChars) const {
    const auto it = m_strings.find(id);
    if (it == m_strings.end())
        return std::nullopt;
    if (it->second.size() <= maxChars)
        return it->second;
    std::size_t cut = maxChars;
    // Never leave half of a surrogate pair at the end.
    if (cut > 0 && (it->second[cut - 1] & 0xFC00) == 0xD800)
        --cut;
    return it->second.substr(0, cut);
}

std::optional<CMenuTemplate> CResourceModule::LoadMenu(unsigned id) const {
    bool found = false;
    const QByteArray xml = ReadFile(QStringLiteral("menu/%1.xml").arg(id), &found);
    CMenuTemplate menu;
    if (!found || !ParseMenuTemplate(xml, menu) || menu.id != id)
        return std::nullopt;
    return menu;
}

std::optional<CDialogTemplate> CResourceModule::LoadDialog(unsigned id) const {
    bool found = false;
    const QByteArray xml = ReadFile(QStringLiteral("dialog/%1.xml").arg(id), &found);
    CDialogTemplate dialog;
    if (!found || !ParseDialogTemplate(xml, dialog) || dialog.id != id)
        return std::nullopt;
    return dialog;
}

QImage CResourceModule::LoadBitmap(unsigned id) const {
    return QImage(ResourcePrefix() + QStringLiteral("/bitmap/%1.png").arg(id));
}

QIcon CResourceModule::LoadIcon(unsigned id) const {
    // The images are read now: a QIcon made from file names would read them
    // later, possibly after this module has been released.
    QIcon icon;
    const QDir folder(ResourcePrefix() + QStringLiteral("/icon/%1").arg(id));
    for (const QString& name : folder.entryList({QStringLiteral("*.png")}, QDir::Files)) {
        const QPixmap image(folder.filePath(name));
        if (!image.isNull())
            icon.addPixmap(image);
    }
    return icon;
}

std::optional<CVersionInfo> CResourceModule::LoadVersionInfo() const {
    bool found = false;
    const QByteArray xml = ReadFile(QStringLiteral("version.xml"), &found);
    CVersionInfo info;
    if (!found || !ParseVersionInfo(xml, info))
        return std::nullopt;
    return info;
}
