#pragma once
// The texts of the command line's messages: the program's own English string
// table and the labels of the General and Advanced page templates, compiled
// into the program from the same files as the tray's resources, so that a
// check refused here reads exactly as the dialog shows it.

#include <map>
#include <string>

#include "ui/SettingsRules.h"

class CtlTexts {
public:
    // Reads the compiled-in table and templates; false (with `why`) when
    // they are missing or damaged.
    bool Load(std::string* why = nullptr);

    // A string by id, cut to the dialogs' buffer; empty when missing.
    std::u16string String(unsigned id) const;
    StringLoader Strings() const;
    NetworkPageLabels GeneralLabels() const { return m_general; }
    AdvancedPageLabels AdvancedLabels() const { return m_advanced; }

private:
    std::map<unsigned, std::u16string> m_strings;
    NetworkPageLabels m_general;
    AdvancedPageLabels m_advanced;
};
