#include "shell/LanguageSetting.h"

#include <algorithm>
#include <cerrno>

#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "config/ConfigDocument.h"
#include "helper/HelperClient.h"

namespace {

constexpr char16_t ROOT[] = u"SettingToolSysConfig";
constexpr char16_t LANGUAGE[] = u"Language";

// The stored number is read as the C library's atoi reads at most 49
// characters: leading blanks, a sign, digits.
int32_t DecimalValue(const std::string& text) {
    return static_cast<int32_t>(WideToLong(ToWideString(text.substr(0, 49), CP_ACP)));
}

} // namespace

int32_t ReadLanguageSetting() {
    int32_t number = 0;
    try {
        auto xml = OpenDocument(HomeFilePath(TOOL_CONFIG_FILE));
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT);
            return 0;
        }
        std::string text;
        if (GetChildTextA(*xml, root, LANGUAGE, text))
            number = DecimalValue(text);
        else
            LOG_PRINTF(LK_WARNING, MSG_MISSING, LANGUAGE);
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
        number = 0;
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
        number = 0;
    }
    return number;
}

void SaveLanguageSetting(int32_t number) {
    try {
        const std::u16string path = HomeFilePath(TOOL_CONFIG_FILE);
        auto xml = OpenDocument(path);
        DOMElement* root = DocumentRoot(*xml);
        if (!root) {
            LOG_PRINTF(LK_WARNING, MSG_NO_ROOT, ROOT);
            return;
        }
        if (SetChildInt(*xml, root, LANGUAGE, number))
            SAVE_DOCUMENT(*xml, path, DOCUMENT_MODE);
        else
            LOG_PRINTF(LK_WARNING, "Failed to write <%S> element. [%s|%d]", LANGUAGE);
    } catch (const DOMException& e) {
        LOG_DOM_EXCEPTION(e);
    } catch (...) {
        LOG_UNKNOWN_EXCEPTION();
    }
}

bool SaveLanguageChoice(int32_t number, bool userAsked) {
    if (WritesAgentFilesDirectly()) {
        SaveLanguageSetting(number);
        return true;
    }
    const HelperReply reply = HelperSetLanguage(number, userAsked);
    if (!reply.Done())
        LOG_PRINTF(LK_WARNING, "The language choice was not saved: %s [%s|%d]", reply.message);
    return reply.Done();
}

bool MatchesAcceptedVersion(std::u16string_view version, std::string_view accepted) {
    std::size_t v = 0;
    std::size_t a = 0;
    while (v < version.size() && version[v] == u' ')
        ++v;
    while (a < accepted.size() && accepted[a] == ' ')
        ++a;
    while (v < version.size() && a < accepted.size() && version[v] != u' ' &&
           accepted[a] != ' ') {
        if (version[v] != static_cast<unsigned char>(accepted[a]))
            return false;
        ++v;
        ++a;
    }
    return true;
}

bool LanguageNameLess(std::u16string_view a, std::u16string_view b) {
    const auto pa = a.find(u'(');
    const auto pb = b.find(u'(');
    if (pa == std::u16string_view::npos || pb == std::u16string_view::npos)
        return false;
    return a.substr(pa + 1) < b.substr(pb + 1);
}

std::vector<LanguageChoice> SelectLanguages(const std::vector<LanguageCandidate>& candidates,
                                            const std::vector<std::string>& acceptedVersions) {
    std::vector<LanguageChoice> chosen;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const LanguageCandidate& c = candidates[i];
        if (!c.hasNumber || !c.hasVersion)
            continue;
        const bool accepted =
            std::any_of(acceptedVersions.begin(), acceptedVersions.end(),
                        [&](const std::string& v) { return MatchesAcceptedVersion(c.version, v); });
        if (!accepted || !c.hasName)
            continue;
        const auto number = static_cast<int32_t>(WideToLong(c.number.substr(0, 254)));
        const bool known = std::any_of(chosen.begin(), chosen.end(),
                                       [&](const LanguageChoice& e) { return e.number == number; });
        if (known)
            continue;
        chosen.push_back({number, c.name.substr(0, 254), i});
    }
    // A name without "(" ties with everything, which is not a strict weak
    // order; an insertion sort keeps the enumeration order exactly as a
    // stable merge of such ties would, without relying on the library's
    // algorithm tolerating it.
    for (std::size_t i = 1; i < chosen.size(); ++i) {
        for (std::size_t j = i; j > 0 && LanguageNameLess(chosen[j].name, chosen[j - 1].name); --j)
            std::swap(chosen[j], chosen[j - 1]);
    }
    return chosen;
}
