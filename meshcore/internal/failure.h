// The one way the libraries' own code reports a failure: it fills the
// caller's KvxStatus, when there is one, and returns false.
#pragma once

#include <cstdint>

#include "meshcore/okvx.h"

namespace kvx {

inline bool Failed(KvxStatus* status, KvxErrc code, int sysErrno = 0, uint64_t expected = 0,
                   uint64_t found = 0) {
    if (status) *status = KvxStatus{code, sysErrno, expected, found};
    return false;
}

}  // namespace kvx
