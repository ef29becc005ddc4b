// Whether an output would land on an input: the one check every program
// makes before it reads or writes anything.
#pragma once

#include "meshcore/okvx.h"

namespace kvx {

// Returns false, with output_is_input in `status` (when given), where
// `output` and `input` name one regular file: the same device and inode,
// each path followed through all its symbolic links, or two hard links of
// one file. Writing such an output would replace or change the input.
// Returns true for everything else: an output that does not exist yet, a
// path that cannot be examined (the reading or writing that follows says
// why), and devices, pipes and sockets, which are never taken for the same
// file: /dev/null or a pipe holds no bytes that writing could destroy, so
// `kvxconv3 /dev/stdin /dev/stdout` is fine even on one pipe. Standard
// output redirected onto the input (`>> in.cmsh`, with /dev/stdout as the
// output) is a regular file and is refused.
//
// The check looks at the paths as they stand; a file moved in between is
// not seen.
bool CheckOutputIsNotInput(const char* input, const char* output, KvxStatus* status);

}  // namespace kvx
