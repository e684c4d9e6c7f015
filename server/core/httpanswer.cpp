#include "httpanswer.h"

#include "text/textfuncs.h"

void SplitTarget(std::string_view target, std::string& path, std::string_view& query)
{
    std::string scheme = LowerCase(target.substr(0, 8));
    if (scheme.rfind("http://", 0) == 0 || scheme.rfind("https://", 0) == 0) {
        target.remove_prefix(target.find("//") + 2);
        std::size_t slash = target.find_first_of("/?");
        target = slash == std::string_view::npos ? std::string_view() : target.substr(slash);
    }
    std::size_t mark = target.find('?');
    path = LowerCase(target.substr(0, mark));
    if (path.empty())
        path.push_back('/');   // (an empty path is the root)
    query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}
