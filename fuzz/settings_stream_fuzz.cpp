// The crash reporter's component streams: the settings stream and the
// dialog forms read from the same kind of bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/forms/nv_assistant.h"
#include "crashreport/settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<crashreport::SettingsProperty> properties;
    std::uint8_t bad_type = 0;
    crashreport::ParseSettingsStream(input, properties, bad_type);
    // The parse stops at an empty name, and an empty text is kept as none.
    for (const auto& property : properties)
        if (property.name.empty() || (property.text && property.text->empty())) __builtin_trap();
    // A form may name a routine to call; the fuzzer must not pick one.
    if (input.find("OnAction") == std::string::npos) {
        crashreport::TNVForm form(nullptr, 1, 1, nullptr, input, "fuzz");
        if (form.ItemCount() < 3 || form.ContinueBtn() == nullptr) __builtin_trap();
        form.RecheckContinue();
    }
    return 0;
}
