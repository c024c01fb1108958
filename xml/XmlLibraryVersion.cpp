#include "xml/XmlLibraryVersion.h"

#include <xercesc/util/XercesVersion.hpp>

const char* XmlLibraryVersion() {
    return "Xerces-C++ " XERCES_FULLVERSIONDOT;
}
