// The settings file parser and the INI reader over arbitrary text. A file
// that parses must come back unchanged through writing and parsing again,
// so a value the program stores is never altered by a later write; and any
// bytes stored as a value (or a value's name) must read back as they were.
#include "platform/inifile.h"
#include "platform/regstore.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool SameDocument(const platform::RegDocument& a, const platform::RegDocument& b)
{
    if (a.keys.size() != b.keys.size())
        return false;
    for (std::size_t k = 0; k < a.keys.size(); ++k) {
        const auto& x = a.keys[k];
        const auto& y = b.keys[k];
        if (x.path != y.path || x.values.size() != y.values.size())
            return false;
        for (std::size_t v = 0; v < x.values.size(); ++v)
            if (x.values[v].name != y.values[v].name || x.values[v].isString != y.values[v].isString ||
                x.values[v].data != y.values[v].data)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto doc = platform::ParseRegFile(text)) {
        std::string written = platform::FormatRegFile(*doc);
        auto again = platform::ParseRegFile(written);
        if (!again || !SameDocument(*doc, *again))
            std::abort();   // a write would change or lose what was stored
    }
    // The input as a value the program stores, and as its name: a write
    // and a read give back every byte, control characters included.
    platform::RegDocument stored;
    stored.FindOrAdd(platform::FullKeyPath("Software\\Parlevo\\quillet\\scompany\\config"))
        .Set(platform::RegValue{std::string(text), true, std::string(text)});
    auto read = platform::ParseRegFile(platform::FormatRegFile(stored));
    if (!read || !SameDocument(stored, *read))
        std::abort();

    (void)platform::IniValue(text, "colors", "primarycolor", "d");
    (void)platform::IniValue(text, "", "", "");
    return 0;
}
