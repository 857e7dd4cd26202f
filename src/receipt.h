// receipt.h: where one receipt of a raw stream ends and the next may begin.
// The printer can be handed to another job only there: between two
// receipts nothing the stream sent is left half done on the paper. The scan
// reads printer commands with their lengths, so that the data of an image or
// a barcode is skipped and never taken for a cut.
#pragma once

#include <stddef.h>
#include <stdint.h>

// What the bytes of a stream so far make of it. Fed any way the bytes are
// split, it comes to the same state.
struct ReceiptScan {
    uint8_t phase;         // data, or where in a command
    uint8_t prefix;        // ESC, GS, FS or DLE of the command being read
    uint8_t function;      // the byte after the prefix
    uint8_t argumentsSeen; // of the command, or of a record in its data
    uint8_t arguments[8];
    uint64_t dataLeft;    // bytes of the command's data still to come (a bound while it ends at a NUL)
    uint32_t recordsLeft; // data records still to come (user characters, stored images)
    bool printedSinceEnd; // bytes that print came after the start or the last end of a receipt
    bool printedAny;      // bytes that print came since the start
};

// A scan at the start of a stream: at a boundary.
void receiptScanStart(ReceiptScan* scan);

// Moves the scan over the next bytes of the stream.
void receiptScanFeed(ReceiptScan* scan, const char* bytes, size_t length);

// Whether the stream stands between two receipts: no command is half read,
// and nothing that prints came since the start (status requests and a
// drawer kick print nothing) or since the last end of a receipt: a cut
// (GS V in any form, ESC i, ESC m) or an initialise (ESC @).
bool receiptScanAtBoundary(const ReceiptScan* scan);
