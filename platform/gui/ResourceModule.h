#pragma once
// A resource module: the program's own resources or one language library.
// Both hold one binary resource bundle (made with `rcc --binary`) registered
// with Qt's resource system under a root of their own, and serve resources by
// their numeric ids:
//
//   strings.xml         the string table
//   version.xml         version information
//   menu/<id>.xml       menu templates
//   dialog/<id>.xml     dialog templates
//   bitmap/<id>.png     bitmaps
//   icon/<id>/<n>.png   icons, one image per pixel size n
//
// A language library is an ELF shared object without code that carries the
// bundle in its kLanguageResourceSection; it is read as data and never
// loaded as a library.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QIcon>
#include <QImage>
#include <QString>

#include "platform/gui/ResourceTemplates.h"

class CResourceModule {
public:
    ~CResourceModule();
    CResourceModule(const CResourceModule&) = delete;
    CResourceModule& operator=(const CResourceModule&) = delete;

    // A module over bundle bytes that live as long as the process, such as the
    // program's own bundle compiled into it. Null when the bytes are not a
    // sound bundle with a readable string table.
    static std::unique_ptr<CResourceModule>
    FromStaticBundle(const unsigned char* data, std::size_t size, QString* why = nullptr);
    // A language library file. Null when the file is not one: not ELF,
    // truncated, without the resource section, or with a damaged bundle.
    static std::unique_ptr<CResourceModule> LoadLibraryFile(const std::string& path,
                                                            QString* why = nullptr);

    // The string `id`, cut to `maxChars` characters; nullopt when the module
    // has no such string (an empty string is present and empty).
    std::optional<std::u16string> LoadString(unsigned id,
                                             std::size_t maxChars = std::u16string::npos) const;
    std::optional<CMenuTemplate> LoadMenu(unsigned id) const;
    std::optional<CDialogTemplate> LoadDialog(unsigned id) const;
    // A null image when the module has no such bitmap.
    QImage LoadBitmap(unsigned id) const;
    // Every size the module holds for the icon; a null icon when it has none.
    QIcon LoadIcon(unsigned id) const;
    std::optional<CVersionInfo> LoadVersionInfo() const;

    // The file the module came from; empty for the program's own.
    const std::string& FilePath() const { return m_path; }
    // The resource path prefix of the bundle, e.g. ":/opal/module-2".
    QString ResourcePrefix() const;
    std::size_t StringCount() const { return m_strings.size(); }

private:
    CResourceModule() = default;
    static std::unique_ptr<CResourceModule> Register(std::unique_ptr<CResourceModule> module,
                                                     const unsigned char* data, std::size_t size,
                                                     QString* why);
    QByteArray ReadFile(const QString& relative, bool* found = nullptr) const;

    std::string m_path;
    std::vector<unsigned char> m_ownedBundle; // a library's bundle; empty for static data
    const unsigned char* m_bundle = nullptr;
    QString m_root; // mapping root, e.g. "/opal/module-2"
    std::map<unsigned, std::u16string> m_strings;
};
