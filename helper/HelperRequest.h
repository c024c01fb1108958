#pragma once
// Decoding what a caller of the system helper sends: everything in a
// request is outside input, checked here before any of it reaches the
// dialog's rules or a file.

#include <string>

#include "helper/HelperClient.h"
#include "ui/SettingNames.h"

// The pairs of SaveSettings as settings: at most HELPER_MAX_SETTINGS, each
// name one of the command line's, given once, each value valid UTF-8 of at
// most HELPER_MAX_VALUE_BYTES without NUL or line breaks. False with the
// reason otherwise.
bool DecodeHelperSettings(const HelperSettings& pairs, SettingList& out, std::string& error);
