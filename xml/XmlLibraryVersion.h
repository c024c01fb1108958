#pragma once
// The XML parser library's version, for the support bundle.

// "Xerces-C++ <major.minor.revision>" of the headers the layer was built with.
const char* XmlLibraryVersion();
