#pragma once
// The framework's resource lookup. The program's own module is the instance
// module; the resource module is the one selected for the user interface (a
// language library, or the program's own). A lookup through the framework
// asks the resource module first and falls back to the program's own, so a
// library that lacks a resource still gets the English one. A lookup made
// directly on one module (for example the one GetLanguageResourceHandle
// returns) has no fallback.
//
// UI thread only, like the windows built from what it returns.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <QIcon>
#include <QImage>

#include "platform/gui/ResourceModule.h"

class CResourceLookup {
public:
    // Installs the program's own module; the lookup keeps it for the rest of
    // the run. Until one is installed the lookups find nothing.
    static void SetProgramModule(std::unique_ptr<CResourceModule> module);
    static CResourceModule* ProgramModule();

    // The module the framework's lookup asks first. Null (or the program's
    // own) selects the program's own resources. The caller keeps ownership.
    static void SetResourceModule(CResourceModule* module);
    static CResourceModule* ResourceModule();

    static std::optional<std::u16string> LoadString(unsigned id,
                                                    std::size_t maxChars = std::u16string::npos);
    static std::optional<CMenuTemplate> LoadMenu(unsigned id);
    static std::optional<CDialogTemplate> LoadDialog(unsigned id);
    static QImage LoadBitmap(unsigned id);
    static QIcon LoadIcon(unsigned id);
};
