#include "ctl/CtlTexts.h"

#include <QFile>

#include "platform/gui/ResourceTemplates.h"
#include "res/Resource.h"

namespace {

// Where ctl/CMakeLists.txt puts the program's resource files.
constexpr char RESOURCE_ROOT[] = ":/opal-agent-ctl/";

bool ReadResource(const char* relative, QByteArray& bytes, std::string* why) {
    QFile file(QString::fromLatin1(RESOURCE_ROOT) + QString::fromLatin1(relative));
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = std::string("the program's resource ") + relative + " is missing";
        return false;
    }
    bytes = file.readAll();
    return true;
}

bool ReadDialog(const char* relative, CDialogTemplate& dialog, std::string* why) {
    QByteArray bytes;
    if (!ReadResource(relative, bytes, why))
        return false;
    QString reason;
    if (!ParseDialogTemplate(bytes, dialog, &reason)) {
        if (why)
            *why = std::string(relative) + ": " + reason.toStdString();
        return false;
    }
    return true;
}

std::u16string LabelOf(const CDialogTemplate& dialog, int control) {
    const CControlTemplate* found = dialog.Find(control);
    return found ? found->text.toStdU16String() : std::u16string();
}

} // namespace

bool CtlTexts::Load(std::string* why) {
    QByteArray table;
    if (!ReadResource("strings.xml", table, why))
        return false;
    QString reason;
    if (!ParseStringTable(table, m_strings, &reason)) {
        if (why)
            *why = "strings.xml: " + reason.toStdString();
        return false;
    }
    CDialogTemplate general;
    CDialogTemplate advanced;
    if (!ReadDialog("dialog/131.xml", general, why) || !ReadDialog("dialog/132.xml", advanced, why))
        return false;
    m_general = {LabelOf(general, IDC_SERVER_ADDRESS_LABEL), LabelOf(general, IDC_SERVER_PORT_LABEL),
                 LabelOf(general, IDC_PROXY_ADDRESS_LABEL), LabelOf(general, IDC_PROXY_PORT_LABEL)};
    m_advanced = {LabelOf(advanced, IDC_RETRY_LABEL), LabelOf(advanced, IDC_TIMEOUT_LABEL)};
    return true;
}

std::u16string CtlTexts::String(unsigned id) const {
    const auto found = m_strings.find(id);
    return found == m_strings.end() ? std::u16string()
                                    : found->second.substr(0, MESSAGE_BUFFER_CHARS);
}

StringLoader CtlTexts::Strings() const {
    return [this](unsigned id) { return String(id); };
}
