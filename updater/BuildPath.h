// BuildPath: joins path parts with "/" up to the first null part.
//
//   BuildPath(base, "updater", nullptr)            -> base/updater
//   BuildPath(dir, name, ".settings", nullptr)     -> dir/name/.settings
//
// Parts may be C strings, std::string or std::string_view; the trailing
// nullptr is optional and anything after a null part is ignored. A part is
// not prefixed with a second "/" when the text so far already ends in one.
// Used by the store, its items and the start-up code that picks the store root.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace buildpath_detail {

inline bool isNull(std::nullptr_t) { return true; }
inline bool isNull(const char* p) { return p == nullptr; }
inline bool isNull(const std::string&) { return false; }
inline bool isNull(std::string_view) { return false; }

inline std::string_view view(std::nullptr_t) { return {}; }
inline std::string_view view(const char* p) { return p ? std::string_view(p) : std::string_view(); }
inline std::string_view view(const std::string& s) { return s; }
inline std::string_view view(std::string_view s) { return s; }

// Appends one part; returns false once a null part has been seen.
template <typename Part>
bool append(std::string& out, bool& open, const Part& part)
{
    if (!open || isNull(part)) {
        open = false;
        return false;
    }
    if (out.empty() || out.back() != '/')
        out += '/';
    out += view(part);
    return true;
}

} // namespace buildpath_detail

template <typename First, typename... Parts>
std::string BuildPath(const First& first, const Parts&... parts)
{
    std::string out;
    if (buildpath_detail::isNull(first))
        return out;
    out = buildpath_detail::view(first);
    bool open = true;
    (buildpath_detail::append(out, open, parts), ...);
    return out;
}
