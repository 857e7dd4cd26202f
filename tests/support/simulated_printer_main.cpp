// simulated_printer_main.cpp: the simulated printer as a program, for test
// suites that cannot open a pseudo-terminal themselves.
//   simulated-printer ready|near-end|paper-out|cover-open|offline|error|mute
// Prints the device path on one line, then serves until standard input
// closes (or after a minute, so that it never outlives its test for long).
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "simulated_printer.h"

using q2test::PrinterMode;

static const int LIFETIME_MS = 60000;

int main(int argc, char** argv) {
    static const struct {
        const char* name;
        PrinterMode mode;
    } MODES[] = {
        {"ready", PrinterMode::Ready},        {"near-end", PrinterMode::PaperNearEnd},
        {"paper-out", PrinterMode::PaperOut}, {"cover-open", PrinterMode::CoverOpen},
        {"offline", PrinterMode::Offline},    {"error", PrinterMode::Error},
    };
    const PrinterMode* mode = NULL;
    bool mute = argc == 2 && 0 == strcmp(argv[1], "mute");
    for (const auto& known : MODES) {
        if (argc == 2 && (0 == strcmp(argv[1], known.name) || (mute && known.mode == PrinterMode::Ready))) {
            mode = &known.mode;
        }
    }
    if (NULL == mode) {
        fprintf(stderr, "usage: simulated-printer ready|near-end|paper-out|cover-open|offline|error|mute\n");
        return 2;
    }
    q2test::SimulatedPrinter printer;
    if (printer.path().empty()) {
        fprintf(stderr, "simulated-printer: cannot open a pseudo-terminal\n");
        return 1;
    }
    printer.setMode(*mode);
    printer.setMute(mute);
    printf("%s\n", printer.path().c_str());
    fflush(stdout);
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    char ignored[256];
    while (poll(&input, 1, LIFETIME_MS) > 0 && read(STDIN_FILENO, ignored, sizeof(ignored)) > 0) {
    }
    return 0;
}
