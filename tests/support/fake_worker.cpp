// A stand-in for the assimp worker (KVX_ASSIMP_WORKER) that misbehaves as
// the first word of the file it is given says: segv, abort, hang, spin,
// allocate, garbage, oversize (an answer of `size` bytes, the second word),
// silent (exit 0 with nothing), fail (exit 3), mesh (a valid answer of one
// triangle). It confines itself as the real worker does.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "meshimport/worker_answer.h"

int main(int argc, char** argv) {
    if (argc != 6) return 1;
    kvx::ConfineWorker({std::strtoull(argv[4], nullptr, 10),
                        static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10))});
    char text[256] = {};
    ssize_t n = ::pread(3, text, sizeof text - 1, 0);
    if (n < 0) return 1;
    const std::string word = std::string(text).substr(0, std::string(text).find_first_of(" \n"));
    if (word == "segv") ::raise(SIGSEGV);
    if (word == "abort") std::abort();
    if (word == "xcpu") ::raise(SIGXCPU);  // as the processor limit ends it
    if (word == "hang") ::pause();
    if (word == "spin") {
        volatile unsigned long k = 0;
        for (;;) {
            const unsigned long next = k + 1u;
            k = next;
        }
    }
    if (word == "allocate") {
        std::vector<char*> blocks;
        for (;;) {
            blocks.push_back(new char[1 << 20]);
            std::memset(blocks.back(), 1, 1 << 20);
        }
    }
    if (word == "fail") return 3;
    if (word == "silent") return 0;
    std::string answer;
    if (word == "garbage") {
        answer.assign("KVXA\x01\x00\x00\x05\x00\x00\x00", 11);  // a name beyond the end
    } else if (word == "oversize") {
        answer.assign(std::strtoull(text + 9, nullptr, 10), 'x');
    } else {
        kvx::ImportResult r;
        r.mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        r.mesh.triangles = {0, 1, 2};
        r.mesh.name = "fake";
        kvx::EncodeWorkerAnswer(r, answer);
    }
    for (size_t at = 0; at < answer.size();) {
        ssize_t w = ::write(1, answer.data() + at, answer.size() - at);
        if (w <= 0) return 1;
        at += static_cast<size_t>(w);
    }
    return 0;
}
