// Segment-name rules shared by every OS variant.
#include <algorithm>
#include <string>

#include "platform/platform.hpp"

namespace velmora {

Status validate_name(std::string_view name) {
    if (name.empty() || name.front() != '/')
        return Error::value("name must start with '/' (e.g. \"/my_segment\")", Reason::name);
    // Every leading '/' goes (strip_name), so "//" names nothing, and "." and
    // ".." would name the directory the OS keeps segments in, or its parent.
    const std::string_view rest = name.substr(std::min(name.find_first_not_of('/'), name.size()));
    if (rest.empty())
        return Error::value("name must have at least one character after '/'", Reason::name);
    if (rest == "." || rest == "..")
        return Error::value("name must not be \".\" or \"..\" after '/'", Reason::name);
    if (const auto nul = rest.find('\0'); nul != std::string_view::npos)
        return Error::value("nul byte found in provided data at position: " + std::to_string(nul), Reason::name);
    return {};
}

Result<std::string> strip_name(std::string_view name) {
    if (Status valid = validate_name(name); !valid) return valid.error();
    const auto first = name.find_first_not_of('/');
    return std::string(name.substr(first));
}

}  // namespace velmora
