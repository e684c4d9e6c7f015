// parlevod's configuration file over arbitrary bytes: the reader never
// reads past its text, every entry it gives has a name and a line, and the
// entries either become options or are refused with a message.
#include "configfile.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TConfigText parsed = ParseConfigText(text);
    int lastLine = 0;
    for (const TConfigEntry& e : parsed.entries) {
        if (e.name.empty() || e.line <= lastLine)
            std::abort();
        for (unsigned char c : e.value)
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                std::abort();
        lastLine = e.line;
    }
    try {
        const std::vector<std::string> args = ConfigArguments(parsed.entries);
        ParseOptions(args);   // what the reader let through, the options take
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
