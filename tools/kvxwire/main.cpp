// Placeholder until this program is written.
#include "console.h"

int main() {
    ReportError("kvxwire", "not built yet");
    return kExitBadInput;
}
