#include "shell/QtPluginPaths.h"

#include <QCoreApplication>
#include <QDir>

#include "platform/system/TrustedFile.h"

std::string RestrictQtLibraryPaths(const QString& programDirectory) {
    const std::string directory = QDir(programDirectory).canonicalPath().toStdString();
    std::string why;
    if (!directory.empty() && IsTrustedDirectory(directory, OwnersForAgentHome(directory), why))
        return {};
    // Qt keeps the path as canonicalPath gives it, and may have it twice.
    for (const QString& path : {programDirectory, QDir(programDirectory).canonicalPath()}) {
        if (!path.isEmpty())
            QCoreApplication::removeLibraryPath(path);
    }
    return why.empty() ? programDirectory.toStdString() + ": not found" : why;
}
