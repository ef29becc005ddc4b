// Placeholder until this program is written.
#include "console.h"

int main() {
    ReportError("kvxconv4", "not built yet");
    return kExitBadInput;
}
