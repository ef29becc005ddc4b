// Prints the layout table as JSON, for the build to hand to the three.js
// loader's test.
#include <cstdio>

#include "meshcore/layout.h"

int main() {
    const std::string json = kvx::LayoutsJson();
    return std::fwrite(json.data(), 1, json.size(), stdout) == json.size() ? 0 : 3;
}
