#include "helper/HelperRequest.h"

#include <algorithm>

#include "helper/HelperProtocol.h"
#include "platform/system/Utf.h"

bool DecodeHelperSettings(const HelperSettings& pairs, SettingList& out, std::string& error) {
    out.clear();
    if (pairs.size() > HELPER_MAX_SETTINGS) {
        error = "too many settings";
        return false;
    }
    for (const auto& [name, value] : pairs) {
        if (!IsSettingName(name)) {
            // Not echoed: a name may be anything, the log is read by people.
            error = "unknown setting name";
            return false;
        }
        if (FindSetting(out, name)) {
            error = "setting '" + name + "' given twice";
            return false;
        }
        if (value.size() > HELPER_MAX_VALUE_BYTES) {
            error = "the value of '" + name + "' is too long";
            return false;
        }
        // A line break would split the agent's element text; the dialog's
        // edits take none either.
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return c == '\0' || c == '\n' || c == '\r'; })) {
            error = "the value of '" + name + "' holds a control character";
            return false;
        }
        std::u16string wide;
        if (!Utf8ToUtf16(value, wide)) {
            error = "the value of '" + name + "' is not UTF-8";
            return false;
        }
        out.push_back({name, std::move(wide)});
    }
    return true;
}
