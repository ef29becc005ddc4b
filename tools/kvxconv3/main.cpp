// Placeholder until this program is written.
#include "console.h"

int main() {
    ReportError("kvxconv3", "not built yet");
    return kExitBadInput;
}
