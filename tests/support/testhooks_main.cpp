// testhooks_main.cpp: quorvel2 for tests. The same program, except that the
// time limits can be shortened through the environment, so that tests of
// idle peers and stalled printers finish in seconds:
//   Q2_TEST_IDLE_MS   idle timeout of connections, in milliseconds
//   Q2_TEST_STALL_MS  no-progress limit of printer writes, in milliseconds
//   Q2_TEST_RECHECK_MS  how long a printer that did not answer is not asked
// and the USB printer lookup can be pointed at a tree that a test builds:
//   Q2_TEST_SYSFS_ROOT  directory that stands for /sys
//   Q2_TEST_DEV_ROOT    directory that stands for /dev
#include <stdlib.h>

#include "escpos.h"
#include "internal.h"
#include "printservice.h"
#include "usb.h"

static void applyMilliseconds(const char* variable, void (*apply)(int)) {
    const char* value = getenv(variable);
    if (NULL != value && value[0] != '\0') {
        apply(atoi(value));
    }
}

static void setMuteRecheck(int milliseconds) {
    escposSetStatusTimingForTesting(ESCPOS_STATUS_REPLY_TIMEOUT_MS, milliseconds);
}

int main(int argc, char** argv) {
    ignoreSIGPIPE();
    applyMilliseconds("Q2_TEST_IDLE_MS", serverSetIdleTimeoutForTesting);
    applyMilliseconds("Q2_TEST_STALL_MS", escposSetStallTimeoutForTesting);
    applyMilliseconds("Q2_TEST_RECHECK_MS", setMuteRecheck);
    usbSetRootsForTesting(getenv("Q2_TEST_SYSFS_ROOT"), getenv("Q2_TEST_DEV_ROOT"));
    return quorvel2Main(argc, argv);
}
