// The build without assimp: the native formats only.
#include "meshimport/assimp_reader.h"

#include "reader_support.h"

namespace kvx {

bool HaveAssimp() {
    return false;
}

bool AssimpReadsExtension(std::string_view) {
    return false;
}

std::string AssimpWorkerPath() {
    return {};
}

ImportResult ReadWithAssimp(const std::string& path, std::string_view, const ReadOptions&,
                            const ReaderLimits&) {
    return detail::BadInput(path, 0, "this build of kvximport reads no format through assimp");
}

}  // namespace kvx
