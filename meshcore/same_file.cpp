#include "same_file.h"

#include <sys/stat.h>

#include "failure.h"

namespace kvx {

bool CheckOutputIsNotInput(const char* input, const char* output, KvxStatus* status) {
    struct stat in, out;
    // One inode: the output is as regular as the input.
    if (::stat(input, &in) != 0 || !S_ISREG(in.st_mode) || ::stat(output, &out) != 0) return true;
    if (in.st_dev != out.st_dev || in.st_ino != out.st_ino) return true;
    return Failed(status, KvxErrc::output_is_input);
}

}  // namespace kvx
