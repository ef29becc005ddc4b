#include "meshcore/failure.h"

#include <cerrno>
#include <utility>

namespace kvx {

Failure InputFailure(const std::string& name, const KvxStatus& why, const char* detail) {
    const bool memory = why.code == KvxErrc::out_of_memory || why.code == KvxErrc::too_large;
    return {memory ? FailureKind::memory : FailureKind::bad_input,
            name + ": " + KvxStatusMessage(why) + detail, why.sysErrno};
}

Failure OutputFailure(const std::string& name, const KvxStatus& why) {
    return {why.code == KvxErrc::out_of_memory ? FailureKind::memory : FailureKind::output,
            name + ": " + KvxStatusMessage(why), why.sysErrno};
}

Failure MemoryFailure(uint64_t bytes) {
    return {FailureKind::memory, "out of memory (" + std::to_string(bytes) + " bytes)", ENOMEM};
}

Failure BadInput(std::string message) {
    return {FailureKind::bad_input, std::move(message), 0};
}

std::string DisplayName(const char* path) {
    std::string name;
    for (const char* p = path; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) {
            name += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            name += "\\x";
            name += kHex[c >> 4];
            name += kHex[c & 15];
        }
    }
    return name;
}

}  // namespace kvx
