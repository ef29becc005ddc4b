// The folder and the last component of a path, as the output files need
// them to place their temporary files beside the target.
#pragma once

#include <filesystem>
#include <string>

namespace kvx {

// "." for a bare name, "/" for a name in the root.
inline std::string FolderOf(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

// "" for a path that ends in a slash.
inline std::string BaseOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

}  // namespace kvx
