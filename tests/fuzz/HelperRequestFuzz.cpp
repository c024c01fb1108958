// The system helper's SaveSettings arguments: the input is split at 0x01
// bytes into name, value, name, value, ...; what the decoder accepts goes
// on through the dialog's rules, as in the helper.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ctl/CtlSettings.h"
#include "helper/HelperRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CtlTexts texts;
    static const bool loaded = texts.Load();
    HelperSettings pairs;
    std::string field;
    std::string name;
    bool haveName = false;
    const auto take = [&] {
        if (haveName) {
            pairs.emplace_back(name, field);
        } else {
            name = field;
        }
        haveName = !haveName;
        field.clear();
    };
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01)
            take();
        else
            field.push_back(static_cast<char>(data[i]));
    }
    take();
    SettingList values;
    std::string error;
    if (!DecodeHelperSettings(pairs, values, error) || !loaded)
        return 0;
    SettingsPages pages{LoadNetworkPage(NetworkConfigRecord()),
                        LoadAdvancedPage(NetworkConfigRecord(), WorkingConfigRecord())};
    // No resolver: the same-host check must not wait on the network here.
    ApplyAndValidate(pages, values, texts,
                     [](const std::string&) -> std::optional<std::string> { return std::nullopt; });
    return 0;
}
