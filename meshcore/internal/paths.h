// The folder and the last component of a path, as the output files need
// them to place their temporary files beside the target.
#pragma once

#include <string>

namespace kvx {

// "." for a bare name, "/" for a name in the root.
inline std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

inline std::string BaseOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kvx
