// The names in a folder, for the tests and the fuzz harness alike (which is
// built without GoogleTest, so this header stands alone).
#pragma once

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

// The names in a folder, sorted, without "." and ".."; none where it cannot
// be opened.
inline std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}
