// Placeholder until this program is written.
#include "console.h"

int main() {
    ReportError("kvxpoints", "not built yet");
    return kExitBadInput;
}
