#include "platform/gui/ResourceLookup.h"

#include <vector>

namespace {

// The program's module is deliberately never destroyed: it must outlive every
// window and string, and Qt's own resource registry is torn down at exit in an
// order we do not control.
CResourceModule* g_programModule = nullptr;
CResourceModule* g_resourceModule = nullptr;

// The modules in the order the framework asks them.
template <class T, class F> T Lookup(F&& find) {
    if (g_resourceModule != nullptr && g_resourceModule != g_programModule) {
        T found = find(*g_resourceModule);
        if (found)
            return found;
    }
    if (g_programModule != nullptr)
        return find(*g_programModule);
    return T{};
}

} // namespace

void CResourceLookup::SetProgramModule(std::unique_ptr<CResourceModule> module) {
    // A replaced module stays alive too: windows and lists may still refer to it.
    static auto* kept = new std::vector<std::unique_ptr<CResourceModule>>();
    g_programModule = module.get();
    if (module)
        kept->push_back(std::move(module));
}

CResourceModule* CResourceLookup::ProgramModule() {
    return g_programModule;
}

void CResourceLookup::SetResourceModule(CResourceModule* module) {
    g_resourceModule = module;
}

CResourceModule* CResourceLookup::ResourceModule() {
    return g_resourceModule != nullptr ? g_resourceModule : g_programModule;
}

std::optional<std::u16string> CResourceLookup::LoadString(unsigned id, std::size_t maxChars) {
    return Lookup<std::optional<std::u16string>>(
        [&](const CResourceModule& m) { return m.LoadString(id, maxChars); });
}

std::optional<CMenuTemplate> CResourceLookup::LoadMenu(unsigned id) {
    return Lookup<std::optional<CMenuTemplate>>(
        [&](const CResourceModule& m) { return m.LoadMenu(id); });
}

std::optional<CDialogTemplate> CResourceLookup::LoadDialog(unsigned id) {
    return Lookup<std::optional<CDialogTemplate>>(
        [&](const CResourceModule& m) { return m.LoadDialog(id); });
}

namespace {
struct ImageResult {
    QImage image;
    explicit operator bool() const { return !image.isNull(); }
};
struct IconResult {
    QIcon icon;
    explicit operator bool() const { return !icon.isNull(); }
};
} // namespace

QImage CResourceLookup::LoadBitmap(unsigned id) {
    return Lookup<ImageResult>(
               [&](const CResourceModule& m) { return ImageResult{m.LoadBitmap(id)}; })
        .image;
}

QIcon CResourceLookup::LoadIcon(unsigned id) {
    return Lookup<IconResult>([&](const CResourceModule& m) { return IconResult{m.LoadIcon(id)}; })
        .icon;
}
