#include "view_loader.h"

#include <string>

#include "run_guard.h"

namespace {

constexpr char kNoMagic[] = " (the file does not begin with \"KVX\")";

}  // namespace

MeshView LoadCheckedView(const char* path, OKVX& m) {
    const std::string name = DisplayName(path);
    KvxStatus why;
    const char* magic = "";
    // An unknown version loads its header only; MakeMeshView names it.
    if (m.load(path, &why) == 0 && why.code != KvxErrc::unsupported_version) {
        // "not a KVX file" says it already.
        FailInput(name, why, why.magicMissing && why.code != KvxErrc::not_kvx ? kNoMagic : "");
    }
    if (why.magicMissing) magic = kNoMagic;
    MeshView view;
    std::string error;
    if (!MakeMeshView(m, &view, &error)) FailBadInput(name + ": " + error + magic);
    return view;
}
