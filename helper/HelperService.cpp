#include "helper/HelperService.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <systemd/sd-bus.h>

#include "BuildInfo.h"
#include "common/ASTCommonFunc.h"
#include "common/LogTracker.h"
#include "config/AgentConfig.h"
#include "ctl/CtlSettings.h"
#include "ctl/CtlTexts.h"
#include "helper/HelperProtocol.h"
#include "helper/HelperRequest.h"
#include "platform/system/Utf.h"
#include "res/Resource.h"
#include "shell/AgentServiceControl.h"
#include "shell/LanguageSetting.h"
#include "ui/SettingsRules.h"

namespace {

constexpr int32_t STATUS_WORKS_NORMALLY = 1;
constexpr int32_t STATUS_CANNOT_CONNECT = 16;
constexpr int32_t TOOL_TAG_NONE = 0;

// CheckAuthorization's flag that lets polkit ask the user.
constexpr uint32_t POLKIT_ALLOW_USER_INTERACTION = 1;
// As long as the client waits for an interactive call (HelperClient.cpp).
constexpr uint64_t POLKIT_PROMPT_TIMEOUT_USEC = 10ULL * 60 * 1000 * 1000;

struct ServiceState {
    CtlTexts texts;
    bool textsLoaded = false;
};

ServiceState g_service;

// The string table's texts are well formed; a text that is not gives an
// empty message rather than a broken one.
std::string Utf8Of(const std::u16string& text) {
    std::string out;
    return Utf16ToUtf8(text, out) ? out : std::string();
}

uid_t CallerUid(sd_bus_message* m) {
    sd_bus_creds* creds = nullptr;
    uid_t uid = static_cast<uid_t>(-1);
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID, &creds) >= 0)
        sd_bus_creds_get_euid(creds, &uid);
    sd_bus_creds_unref(creds);
    return uid;
}

enum class Verdict { Yes, Challenge, No };

// polkit's answer for the caller of `m`, asked as systemd's own helpers ask:
// the subject is the caller's unique bus name, so that polkit judges the
// process behind it, and a caller that allows it may be asked for a password.
Verdict AskPolkit(sd_bus_message* m, const char* action, bool allowInteraction,
                  std::string& failure) {
    if (CallerUid(m) == 0)
        return Verdict::Yes;
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) {
        failure = "the caller has no bus name";
        return Verdict::No;
    }
    const uint32_t flags =
        allowInteraction && sd_bus_message_get_allow_interactive_authorization(m) > 0
            ? POLKIT_ALLOW_USER_INTERACTION
            : 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_call(
        sd_bus_message_get_bus(m), &call, "org.freedesktop.PolicyKit1",
        "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.PolicyKit1.Authority",
        "CheckAuthorization");
    if (r >= 0)
        r = sd_bus_message_append(call, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s",
                                  sender, action, 0, flags, "");
    // An interactive check lasts as long as the user takes at the prompt.
    if (r >= 0)
        r = sd_bus_call(sd_bus_message_get_bus(m), call,
                        flags != 0 ? POLKIT_PROMPT_TIMEOUT_USEC : 0, &error, &reply);
    sd_bus_message_unref(call);
    Verdict verdict = Verdict::No;
    if (r < 0) {
        failure = error.message != nullptr ? error.message : std::strerror(-r);
    } else {
        int authorized = 0;
        int challenge = 0;
        r = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
        if (r >= 0)
            r = sd_bus_message_read(reply, "bb", &authorized, &challenge);
        if (r < 0)
            failure = "polkit's answer could not be read";
        else
            verdict = authorized ? Verdict::Yes : challenge ? Verdict::Challenge : Verdict::No;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return verdict;
}

// Logs the request and checks it; false (with the error set) when refused.
bool Authorize(sd_bus_message* m, const char* method, const char* action, sd_bus_error* error) {
    const uid_t uid = CallerUid(m);
    LOG_PRINTF(LK_INFO, "Helper: %s requested by uid %d. [%s|%d]", method, static_cast<int>(uid));
    std::string failure;
    if (AskPolkit(m, action, true, failure) == Verdict::Yes)
        return true;
    if (!failure.empty())
        LOG_PRINTF(LK_WARNING, "Helper: cannot ask polkit about %s: %s [%s|%d]", action, failure);
    LOG_PRINTF(LK_WARNING, "Helper: %s refused for uid %d. [%s|%d]", method, static_cast<int>(uid));
    sd_bus_error_setf(error, HELPER_ERROR_NOT_AUTHORIZED,
                      "Not authorized: only members of the group %s may %s.", OPAL_ADMIN_GROUP,
                      std::strcmp(action, POLKIT_ACTION_CONFIGURE) == 0
                          ? "change the agent's settings"
                          : "report the agent's status");
    return false;
}

int ReadSettings(sd_bus_message* m, HelperSettings& pairs, sd_bus_error* error) {
    int r = sd_bus_message_enter_container(m, 'a', "(ss)");
    if (r < 0)
        return r;
    const char* name = nullptr;
    const char* value = nullptr;
    while ((r = sd_bus_message_read(m, "(ss)", &name, &value)) > 0) {
        // Stop reading early: the decoder refuses more anyway.
        if (pairs.size() > HELPER_MAX_SETTINGS)
            return sd_bus_error_set(error, HELPER_ERROR_INVALID_ARGUMENTS, "too many settings");
        pairs.emplace_back(name, value);
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int MethodSaveSettings(sd_bus_message* m, void*, sd_bus_error* error) {
    HelperSettings pairs;
    if (const int r = ReadSettings(m, pairs, error); r < 0)
        return r;
    if (!Authorize(m, "SaveSettings", POLKIT_ACTION_CONFIGURE, error))
        return -EACCES;
    SettingList values;
    std::string why;
    if (!DecodeHelperSettings(pairs, values, why))
        return sd_bus_error_set(error, HELPER_ERROR_INVALID_ARGUMENTS, why.c_str());
    if (!g_service.textsLoaded)
        return sd_bus_error_set(error, HELPER_ERROR_FAILED, "the helper's texts are missing");

    // As the sheet does: the saved settings, then what the user changed.
    const LoadedSettingsPages loaded = LoadSettingsPages();
    SettingsPages pages{loaded.General, loaded.Advanced};
    const SettingsCheck check = ApplyAndValidate(pages, values, g_service.texts);
    if (!check.UsageError.empty())
        return sd_bus_error_set(error, HELPER_ERROR_INVALID_ARGUMENTS, check.UsageError.c_str());
    if (check.Failure) {
        LOG_PRINTF(LK_WARNING, "Helper: the settings were refused (%d). [%s|%d]",
                   check.Failure->messageId);
        return sd_bus_error_set(error, HELPER_ERROR_INVALID_SETTINGS,
                                Utf8Of(check.Failure->text).c_str());
    }
    const SettingsSaveResult result =
        SaveSettingsPages(pages.General, pages.Advanced, loaded.MaxRetryTimes);
    if (!result.Saved())
        return sd_bus_error_set(
            error, HELPER_ERROR_FAILED,
            Utf8Of(g_service.texts.String(IDS_NETWORK_CONFIG_SAVE_FAILED)).c_str());
    return sd_bus_reply_method_return(m, "bb", result.NetConfigChange == CONFIG_SUCCESS,
                                      result.ToolTag == CONFIG_SUCCESS);
}

int MethodSetLanguage(sd_bus_message* m, void*, sd_bus_error* error) {
    int32_t number = 0;
    if (const int r = sd_bus_message_read(m, "i", &number); r < 0)
        return r;
    if (!Authorize(m, "SetLanguage", POLKIT_ACTION_CONFIGURE, error))
        return -EACCES;
    // Language numbers are what the libraries' string tables carry: never
    // negative. A number no library has falls back to English when read.
    if (number < 0)
        return sd_bus_error_set(error, HELPER_ERROR_INVALID_ARGUMENTS,
                                "a language number is never negative");
    SaveLanguageSetting(number);
    return sd_bus_reply_method_return(m, "");
}

int MethodClearToolTag(sd_bus_message* m, void*, sd_bus_error* error) {
    if (!Authorize(m, "ClearToolTag", POLKIT_ACTION_REPORT_STATUS, error))
        return -EACCES;
    // Only the mark of a save is the tool's to take back; an exit request
    // (1) is the main frame's, anything else the agent's.
    AgentStatusRecord record{0, 4, 0, 0, 0};
    bool cleared = false;
    if (ReadStatusReg(record) == 0 && record.ToolTag == TOOL_TAG_CONFIG_SAVED)
        cleared = SaveToolExitTagReg(TOOL_TAG_NONE) == CONFIG_SUCCESS;
    return sd_bus_reply_method_return(m, "b", cleared);
}

int MethodMarkAgentUnreachable(sd_bus_message* m, void*, sd_bus_error* error) {
    if (!Authorize(m, "MarkAgentUnreachable", POLKIT_ACTION_REPORT_STATUS, error))
        return -EACCES;
    // The caller's word is not taken for either condition.
    std::u16string serviceName;
    GetAgentServiceName(serviceName);
    bool marked = false;
    if (!serviceName.empty() &&
        AgentServiceWatch(serviceName).Query() == ServiceRunState::NotRunning) {
        ConfigLockGuard lock;
        AgentStatusRecord record{0, 4, 0, 0, 0};
        if (LoadStatusData(record) == 0 && record.AgentStatus == STATUS_WORKS_NORMALLY) {
            LOG_PRINTF(LK_WARNING, "The agent status is abnormal, modify it. [%s|%d]");
            marked = SaveAgentStatusReg(STATUS_CANNOT_CONNECT) == CONFIG_SUCCESS;
        }
    }
    return sd_bus_reply_method_return(m, "b", marked);
}

int MethodConfigureAccess(sd_bus_message* m, void*, sd_bus_error*) {
    std::string failure;
    const Verdict verdict = AskPolkit(m, POLKIT_ACTION_CONFIGURE, false, failure);
    if (!failure.empty())
        LOG_PRINTF(LK_WARNING, "Helper: cannot ask polkit about %s: %s [%s|%d]",
                   POLKIT_ACTION_CONFIGURE, failure);
    return sd_bus_reply_method_return(m, "s",
                                      verdict == Verdict::Yes         ? "yes"
                                      : verdict == Verdict::Challenge ? "auth"
                                                                      : "no");
}

const sd_bus_vtable HELPER_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_ARGS("SaveSettings", SD_BUS_ARGS("a(ss)", settings),
                            SD_BUS_RESULT("b", net_config_changed, "b", tool_tag),
                            MethodSaveSettings, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetLanguage", SD_BUS_ARGS("i", number), SD_BUS_NO_RESULT,
                            MethodSetLanguage, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("ClearToolTag", SD_BUS_NO_ARGS, SD_BUS_RESULT("b", cleared),
                            MethodClearToolTag, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("MarkAgentUnreachable", SD_BUS_NO_ARGS, SD_BUS_RESULT("b", marked),
                            MethodMarkAgentUnreachable, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("ConfigureAccess", SD_BUS_NO_ARGS, SD_BUS_RESULT("s", answer),
                            MethodConfigureAccess, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

} // namespace

int RunHelperService(const HelperOptions& options) {
    std::string why;
    g_service.textsLoaded = g_service.texts.Load(&why);
    if (!g_service.textsLoaded)
        LOG_PRINTF(LK_ERROR, "Helper: cannot load the texts: %s [%s|%d]", why);

    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    sd_bus_slot* slot = nullptr;
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, &slot, HELPER_OBJECT_PATH, HELPER_INTERFACE,
                                     HELPER_VTABLE, nullptr);
    if (r >= 0)
        r = sd_bus_request_name(bus, HELPER_BUS_NAME, 0);
    if (r < 0) {
        LOG_PRINTF(LK_ERROR, "Helper: cannot serve %s on the system bus: %s [%s|%d]",
                   HELPER_BUS_NAME, std::strerror(-r));
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
        return 1;
    }
    LOG_PRINTF(LK_INFO, "Helper: serving %s for %s. [%s|%d]", HELPER_BUS_NAME,
               options.programDirectory);
    int status = 0;
    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            status = r == -ECONNRESET || r == -ENOTCONN ? 0 : 1;
            break;
        }
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, options.idleTimeoutUsec);
        if (r < 0) {
            status = 1;
            break;
        }
        if (r == 0) {
            // Idle: give the name back first, so that a call that comes now
            // activates a new helper, then answer what is already queued.
            sd_bus_release_name(bus, HELPER_BUS_NAME);
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            break;
        }
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return status;
}
