#include "platform/gui/ResourceTemplates.h"

#include <QStringList>
#include <QXmlStreamReader>

namespace {

struct StyleWord {
    const char* word;
    uint32_t flag;
};
constexpr StyleWord kStyleWords[] = {
    {"group", CTL_GROUP},       {"tabstop", CTL_TABSTOP}, {"disabled", CTL_DISABLED},
    {"hidden", CTL_HIDDEN},     {"default", CTL_DEFAULT}, {"password", CTL_PASSWORD},
    {"readonly", CTL_READONLY}, {"number", CTL_NUMBER},   {"right", CTL_RIGHT},
    {"center", CTL_CENTER},     {"nowrap", CTL_NOWRAP},
};

struct KindName {
    const char* name;
    ControlKind kind;
};
constexpr KindName kKindNames[] = {
    {"label", ControlKind::Label},       {"edit", ControlKind::Edit},
    {"button", ControlKind::PushButton}, {"checkbox", ControlKind::CheckBox},
    {"radio", ControlKind::RadioButton}, {"groupbox", ControlKind::GroupBox},
    {"tab", ControlKind::Tab},
};

bool Fail(QString* why, const QString& text) {
    if (why != nullptr)
        *why = text;
    return false;
}

bool ReadInt(const QXmlStreamAttributes& attributes, const char* name, int& value, bool required,
             int minimum, int maximum, QString* why) {
    const QString key = QString::fromLatin1(name);
    if (!attributes.hasAttribute(key)) {
        if (required)
            return Fail(why, QStringLiteral("missing attribute %1").arg(key));
        return true;
    }
    bool ok = false;
    const int parsed = attributes.value(key).toInt(&ok);
    if (!ok || parsed < minimum || parsed > maximum)
        return Fail(why, QStringLiteral("bad value for %1").arg(key));
    value = parsed;
    return true;
}

bool ReadVersion(const QString& text, uint16_t (&parts)[4]) {
    const QStringList pieces = text.split(QLatin1Char('.'));
    if (pieces.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const uint value = pieces[i].toUInt(&ok);
        if (!ok || value > 0xFFFF)
            return false;
        parts[i] = static_cast<uint16_t>(value);
    }
    return true;
}

QString VersionText(const uint16_t (&parts)[4]) {
    return QStringLiteral("%1.%2.%3.%4").arg(parts[0]).arg(parts[1]).arg(parts[2]).arg(parts[3]);
}

// Moves to the document element and checks its name.
bool OpenRoot(QXmlStreamReader& reader, const char* name, QString* why) {
    if (!reader.readNextStartElement())
        return Fail(why,
                    reader.hasError() ? reader.errorString() : QStringLiteral("empty document"));
    if (reader.name() != QLatin1String(name))
        return Fail(why, QStringLiteral("document element is not <%1>").arg(QLatin1String(name)));
    return true;
}

bool Finish(QXmlStreamReader& reader, QString* why) {
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError())
        return Fail(why, reader.errorString());
    return true;
}

bool ParseMenuItems(QXmlStreamReader& reader, std::vector<CMenuItemTemplate>& items, int depth,
                    QString* why) {
    if (depth > 8)
        return Fail(why, QStringLiteral("menu nested too deeply"));
    while (reader.readNextStartElement()) {
        CMenuItemTemplate item;
        const QXmlStreamAttributes attributes = reader.attributes();
        if (reader.name() == QLatin1String("separator")) {
            item.kind = CMenuItemTemplate::Kind::Separator;
            reader.skipCurrentElement();
        } else if (reader.name() == QLatin1String("item")) {
            item.kind = CMenuItemTemplate::Kind::Command;
            if (!ReadInt(attributes, "id", item.command, true, 1, 0xFFFF, why))
                return false;
            item.text = attributes.value(QLatin1String("text")).toString();
            reader.skipCurrentElement();
        } else if (reader.name() == QLatin1String("popup")) {
            item.kind = CMenuItemTemplate::Kind::Popup;
            item.text = attributes.value(QLatin1String("text")).toString();
            if (!ParseMenuItems(reader, item.items, depth + 1, why))
                return false;
        } else {
            return Fail(why, QStringLiteral("unknown menu element <%1>").arg(reader.name()));
        }
        items.push_back(std::move(item));
    }
    if (reader.hasError())
        return Fail(why, reader.errorString());
    return true;
}

} // namespace

const CControlTemplate* CDialogTemplate::Find(int controlId) const {
    for (const CControlTemplate& control : controls) {
        if (control.id == controlId)
            return &control;
    }
    return nullptr;
}

QString CVersionInfo::FileVersionText() const {
    return VersionText(fileVersion);
}
QString CVersionInfo::ProductVersionText() const {
    return VersionText(productVersion);
}

const char* ControlKindName(ControlKind kind) {
    for (const KindName& entry : kKindNames) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

QString ControlStyleText(uint32_t style) {
    QStringList words;
    for (const StyleWord& entry : kStyleWords) {
        if ((style & entry.flag) != 0)
            words << QString::fromLatin1(entry.word);
    }
    return words.join(QLatin1Char(' '));
}

bool ParseDialogTemplate(const QByteArray& xml, CDialogTemplate& out, QString* why) {
    out = CDialogTemplate{};
    QXmlStreamReader reader(xml);
    if (!OpenRoot(reader, "dialog", why))
        return false;
    const QXmlStreamAttributes attributes = reader.attributes();
    int id = 0;
    if (!ReadInt(attributes, "id", id, true, 1, 0xFFFF, why) ||
        !ReadInt(attributes, "width", out.width, true, 1, 4096, why) ||
        !ReadInt(attributes, "height", out.height, true, 1, 4096, why) ||
        !ReadInt(attributes, "font-size", out.fontPointSize, false, 4, 72, why))
        return false;
    out.id = static_cast<unsigned>(id);
    out.caption = attributes.value(QLatin1String("caption")).toString();
    out.fontFace = attributes.value(QLatin1String("font-face")).toString();

    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("control"))
            return Fail(why, QStringLiteral("unknown dialog element <%1>").arg(reader.name()));
        const QXmlStreamAttributes a = reader.attributes();
        CControlTemplate control;
        int x = 0, y = 0, width = 0, height = 0;
        if (!ReadInt(a, "id", control.id, true, -1, 0xFFFF, why) ||
            !ReadInt(a, "x", x, true, 0, 4096, why) || !ReadInt(a, "y", y, true, 0, 4096, why) ||
            !ReadInt(a, "width", width, true, 0, 4096, why) ||
            !ReadInt(a, "height", height, true, 0, 4096, why))
            return false;
        control.rect = QRect(x, y, width, height);
        const QString kind = a.value(QLatin1String("kind")).toString();
        bool known = false;
        for (const KindName& entry : kKindNames) {
            if (kind == QLatin1String(entry.name)) {
                control.kind = entry.kind;
                known = true;
            }
        }
        if (!known)
            return Fail(why,
                        QStringLiteral("control %1: unknown kind '%2'").arg(control.id).arg(kind));
        const QStringList words =
            a.value(QLatin1String("style")).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString& word : words) {
            bool found = false;
            for (const StyleWord& entry : kStyleWords) {
                if (word == QLatin1String(entry.word)) {
                    control.style |= entry.flag;
                    found = true;
                }
            }
            if (!found)
                return Fail(
                    why,
                    QStringLiteral("control %1: unknown style '%2'").arg(control.id).arg(word));
        }
        control.text = a.value(QLatin1String("text")).toString();
        if (control.id != IDC_STATIC && out.Find(control.id) != nullptr)
            return Fail(why, QStringLiteral("control id %1 given twice").arg(control.id));
        out.controls.push_back(std::move(control));
        reader.skipCurrentElement();
    }
    if (reader.hasError())
        return Fail(why, reader.errorString());
    return Finish(reader, why);
}

bool ParseMenuTemplate(const QByteArray& xml, CMenuTemplate& out, QString* why) {
    out = CMenuTemplate{};
    QXmlStreamReader reader(xml);
    if (!OpenRoot(reader, "menu", why))
        return false;
    int id = 0;
    if (!ReadInt(reader.attributes(), "id", id, true, 1, 0xFFFF, why))
        return false;
    out.id = static_cast<unsigned>(id);
    if (!ParseMenuItems(reader, out.items, 0, why))
        return false;
    return Finish(reader, why);
}

bool ParseVersionInfo(const QByteArray& xml, CVersionInfo& out, QString* why) {
    out = CVersionInfo{};
    QXmlStreamReader reader(xml);
    if (!OpenRoot(reader, "version", why))
        return false;
    const QXmlStreamAttributes attributes = reader.attributes();
    if (!ReadVersion(attributes.value(QLatin1String("file")).toString(), out.fileVersion) ||
        !ReadVersion(attributes.value(QLatin1String("product")).toString(), out.productVersion))
        return Fail(why, QStringLiteral("versions must have four numbers of 0 to 65535"));
    if (!ReadInt(attributes, "language", out.language, false, 0, 0xFFFF, why))
        return false;
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("value"))
            return Fail(why, QStringLiteral("unknown version element <%1>").arg(reader.name()));
        const QString name = reader.attributes().value(QLatin1String("name")).toString();
        if (name.isEmpty())
            return Fail(why, QStringLiteral("version value without a name"));
        out.values[name] = reader.readElementText();
    }
    if (reader.hasError())
        return Fail(why, reader.errorString());
    return Finish(reader, why);
}

bool ParseStringTable(const QByteArray& xml, std::map<unsigned, std::u16string>& out,
                      QString* why) {
    out.clear();
    QXmlStreamReader reader(xml);
    if (!OpenRoot(reader, "strings", why))
        return false;
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("string"))
            return Fail(why,
                        QStringLiteral("unknown string table element <%1>").arg(reader.name()));
        int id = 0;
        if (!ReadInt(reader.attributes(), "id", id, true, 0, 0xFFFF, why))
            return false;
        const QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (reader.hasError())
            return Fail(why, reader.errorString());
        if (!out.emplace(static_cast<unsigned>(id), text.toStdU16String()).second)
            return Fail(why, QStringLiteral("string %1 given twice").arg(id));
    }
    if (reader.hasError())
        return Fail(why, reader.errorString());
    return Finish(reader, why);
}
