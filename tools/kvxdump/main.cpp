// Placeholder until this program is written.
#include "console.h"

int main() {
    ReportError("kvxdump", "not built yet");
    return kExitBadInput;
}
