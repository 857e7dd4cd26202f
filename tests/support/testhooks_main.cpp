// testhooks_main.cpp: quorvel2 for tests. The same program, except that the
// time limits can be shortened through the environment, so that tests of
// idle peers and stalled printers finish in seconds:
//   Q2_TEST_IDLE_MS   idle timeout of connections, in milliseconds
//   Q2_TEST_STALL_MS  no-progress limit of printer writes, in milliseconds
//   Q2_TEST_RECHECK_MS  how long a printer that did not answer is not asked
//   Q2_TEST_BODY_BUDGET  body memory budget of all connections, in bytes
//   Q2_TEST_WAIT_MS   how long a job waits for the printer, in milliseconds
//   Q2_TEST_CONNECT_MS  how long a job's network printer has to take the connection
//   Q2_TEST_REQUEST_DEADLINE_MS  time for a whole HTTP request, in milliseconds
//   Q2_TEST_PACE_WINDOW_MS       pace window of raw streams, in milliseconds
//   Q2_TEST_MAX_CONNECTIONS      connections at once, in all
//   Q2_TEST_MAX_CONNECTIONS_PER_PEER  connections at once from one address
//   Q2_TEST_MAX_PARKED           connections parked at once, waiting for room
//   Q2_TEST_RAW_YIELD_MS         how long a raw stream keeps the printer once a job waits
//   Q2_TEST_RECEIPT_PAUSE_MS     silence after which a raw stream between receipts gives up its job
//   Q2_TEST_BETWEEN_RECEIPTS_IDLE_MS  how long a raw stream may wait between receipts
//   Q2_TEST_CERTIFICATE_CHECK_MS how often the certificate files and names are looked at
//   Q2_TEST_TLS_HANDSHAKE_MS     time for a TLS handshake, in milliseconds
//   Q2_TEST_RENEW_DAYS           days before its end the server certificate is made again
// and the USB printer lookup can be pointed at a tree that a test builds:
//   Q2_TEST_SYSFS_ROOT  directory that stands for /sys
//   Q2_TEST_DEV_ROOT    directory that stands for /dev
#include <stdlib.h>

#include "certificates.h"
#include "escpos.h"
#include "printservice.h"
#include "usb.h"

static void applyNumber(const char* variable, void (*apply)(int)) {
    const char* value = getenv(variable);
    if (NULL != value && value[0] != '\0') {
        apply(atoi(value));
    }
}

// Sets *field from the variable, when it is set.
static void takeNumber(const char* variable, int* field) {
    const char* value = getenv(variable);
    if (NULL != value && value[0] != '\0') {
        *field = atoi(value);
    }
}

// The server's limits with those the environment names in place of the defaults.
static ServerLimits limitsFromEnvironment(void) {
    ServerLimits limits = serverLimitsDefault();
    takeNumber("Q2_TEST_IDLE_MS", &limits.idleTimeoutMs);
    takeNumber("Q2_TEST_REQUEST_DEADLINE_MS", &limits.requestDeadlineMs);
    takeNumber("Q2_TEST_TLS_HANDSHAKE_MS", &limits.tlsHandshakeDeadlineMs);
    takeNumber("Q2_TEST_PACE_WINDOW_MS", &limits.paceWindowMs);
    takeNumber("Q2_TEST_MAX_CONNECTIONS", &limits.maxConnections);
    takeNumber("Q2_TEST_MAX_CONNECTIONS_PER_PEER", &limits.maxConnectionsPerPeer);
    takeNumber("Q2_TEST_MAX_PARKED", &limits.maxParkedConnections);
    takeNumber("Q2_TEST_RAW_YIELD_MS", &limits.rawStreamYieldMs);
    takeNumber("Q2_TEST_RECEIPT_PAUSE_MS", &limits.receiptPauseMs);
    takeNumber("Q2_TEST_BETWEEN_RECEIPTS_IDLE_MS", &limits.betweenReceiptsIdleMs);
    const char* budget = getenv("Q2_TEST_BODY_BUDGET");
    if (NULL != budget && budget[0] != '\0') {
        limits.bodyMemoryBudget = (size_t)strtoull(budget, NULL, 10);
    }
    return limits;
}

int main(int argc, char** argv) {
    ignoreSIGPIPE();
    EscposLimits printer;
    takeNumber("Q2_TEST_STALL_MS", &printer.writeStallMs);
    takeNumber("Q2_TEST_WAIT_MS", &printer.waitMs);
    takeNumber("Q2_TEST_RECHECK_MS", &printer.muteRecheckMs);
    takeNumber("Q2_TEST_CONNECT_MS", &printer.connectMs);
    escposSetLimits(&printer);
    applyNumber("Q2_TEST_CERTIFICATE_CHECK_MS", certificatesSetCheckIntervalForTesting);
    applyNumber("Q2_TEST_RENEW_DAYS", certificatesSetRenewDaysForTesting);
    usbSetRootsForTesting(getenv("Q2_TEST_SYSFS_ROOT"), getenv("Q2_TEST_DEV_ROOT"));
    ServerLimits limits = limitsFromEnvironment();
    return quorvel2Main(argc, argv, &limits);
}
