#pragma once
// Qt looks for its plug-ins (image formats, styles, input methods, ...) in
// its library paths, and adds the program's own directory to them: whoever
// could write there would have code of theirs loaded into every user's
// tray. Only a directory that passes the check of trusted files
// (platform/system/TrustedFile.h) stays in the list.

#include <string>

#include <QString>

// Removes `programDirectory` from Qt's library paths unless it passes; call
// it right after the application object is made, before anything loads an
// image or a style. Empty when the directory stays, else why it went (for
// the log, which is not open yet at that point).
std::string RestrictQtLibraryPaths(const QString& programDirectory);
