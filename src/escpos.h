// escpos.h: the printer output channel. Every print job of the process goes
// through escpos_print; jobs are serialised, so one job's bytes never mix
// with another's. A printer that answers is asked for its status the same
// way, as a short job of its own, and its replies during a raw stream go
// back to that stream's client.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// A write that makes no progress for this long fails the job.
static const int ESCPOS_WRITE_STALL_TIMEOUT_MS = 30000;

// A job waits at most this long for the printer. Longer than one write stall
// (a job behind one whose printer stalls still gets its turn) plus a few
// receipts, short enough that the till learns of a busy printer within a minute.
static const int ESCPOS_WAIT_TIMEOUT_MS = 60000;

// What escpos_print (state 1) and escpos_print_checked return when nothing was
// written and no job is open: the printer stayed busy for the whole wait, or
// the job was no longer wanted when its turn came.
static const ssize_t ESCPOS_PRINTER_BUSY = -2;
static const ssize_t ESCPOS_JOB_NOT_WANTED = -3;
// The same when a stop refused the job: it waited for the printer when the
// stop began, or its turn would have come after the stop's grace period.
static const ssize_t ESCPOS_SERVER_STOPPING = -4;

// state 1 opens a job on `device` (waiting, in the fair line by peer address, while
// other threads' jobs hold the printer, for at most ESCPOS_WAIT_TIMEOUT_MS)
// and writes data; any other state continues the calling thread's job.
// len <= 0 closes the job. Returns ESCPOS_PRINTER_BUSY when the wait ran out,
// 0 when the device cannot be opened, -1 when a write fails or stalls (the
// job is then closed and later calls of it do nothing), otherwise len. Calls from a thread without an open job do
// nothing and return len.
ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len);

// The peer address of the jobs the calling thread opens from now on: jobs
// waiting for the printer get it in turn by address, in arrival order within
// one address, so no address can keep the others waiting behind its jobs.
void escposSetPeerOfThisThread(const char* peer);

// Whether some job waits for the printer right now; takes no lock.
bool escposJobIsWaiting(void);

// Test-only: how many jobs are waiting for the printer right now.
size_t escposJobsWaitingForTesting(void);

// Begins a stop of the printer's line (a second call changes nothing): the
// jobs waiting for the printer now are refused with ESCPOS_SERVER_STOPPING at
// once, and no job starts more than graceMs from now. The job that holds the
// printer goes on.
void escposBeginStop(int graceMs);

// Test-only: the no-progress limit for writes started from now on.
void escposSetStallTimeoutForTesting(int milliseconds);

// ---- The printer's replies --------------------------------------------------

// One status request (DLE EOT n) waits this long for its reply byte, from
// when its bytes have left. A reply that comes later is waited out for as
// long again and dropped, so that it is never taken for the answer to a
// later request.
static const int ESCPOS_STATUS_REPLY_TIMEOUT_MS = 200;
// A status request waits this long for a job that holds the printer and for
// a serial line to send what the last job left, so that with four requests it
// never takes much more than a second in all.
static const int ESCPOS_STATUS_PRINTER_WAIT_MS = 150;
// A printer that has given no valid reply at all is not asked before jobs
// again for this long, so that a printer that cannot answer costs one reply
// timeout per period. One that answered before is always asked.
static const int ESCPOS_MUTE_RECHECK_MS = 60000;
// How often a raw stream's reply forwarder looks whether the job ended, which
// bounds how long the end of such a job waits for it.
static const int ESCPOS_REPLY_POLL_MS = 10;
// Replies that follow each other within this long go to a raw client in one send.
static const int ESCPOS_REPLY_GATHER_MS = 5;

// How far a status request got.
enum PrinterReach {
    PRINTER_REACH_NO_DEVICE,   // none configured
    PRINTER_REACH_UNAVAILABLE, // the device could not be opened
    PRINTER_REACH_BUSY,        // another job (or a line still sending one) held it past the short wait
    PRINTER_REACH_OPENED,      // opened; replies holds what came back
};

struct PrinterStatus {
    PrinterReach reach;
    int replies[4]; // the reply bytes to DLE EOT 1..4, -1 where none came
};

// What a status means, in the order in which the states win.
enum PrinterState {
    PRINTER_NO_DEVICE,
    PRINTER_UNAVAILABLE,
    PRINTER_BUSY,
    PRINTER_NO_ANSWER,
    PRINTER_COVER_OPEN,
    PRINTER_PAPER_OUT,
    PRINTER_ERROR,
    PRINTER_OFFLINE,
    PRINTER_READY,
};

// The decoded replies. Flags are 1 (yes), 0 (no) or -1 (unknown).
struct PrinterCondition {
    PrinterState state;
    int online;
    int coverOpen;
    int drawerPin3High;
    const char* paper; // "ok", "near-end", "out", or null when unknown
    const char* error; // "mechanical", "autocutter", "unrecoverable", "auto-recoverable", or null
};

// Takes the printer like a short job (waiting at most
// ESCPOS_STATUS_PRINTER_WAIT_MS for another job and for a serial line to send
// what it holds: busy otherwise), drops stale replies, and asks DLE EOT 1..4,
// each waiting ESCPOS_STATUS_REPLY_TIMEOUT_MS, stopping at the first that goes
// unanswered (its late reply waited out). A device that cannot answer is not asked.
PrinterStatus escposAskStatus(const char* deviceOrNull);

// What the replies say; state is the first of PrinterState that holds, and
// a printer whose paper is near its end is still ready. A state is claimed
// only when the replies show it and rule out every state before it (ready
// needs the replies to n=1, 2 and 4); a state the missing replies leave
// undecided is PRINTER_NO_ANSWER.
PrinterCondition escposConditionOf(const PrinterStatus* status);

// The state's name as pages see it: "ready", "no-answer", "cover-open", ...
const char* escposStateName(PrinterState state);

// Why a printer that answered refused a job.
enum PrinterRefusal {
    PRINTER_TAKES_JOB,
    PRINTER_REFUSES_COVER_OPEN,
    PRINTER_REFUSES_PAPER_OUT,
    PRINTER_REFUSES_ERROR,
};

// escpos_print with state 1, except that a job that had to wait goes on,
// once the printer is its, only when stillWanted(context) says so
// (ESCPOS_JOB_NOT_WANTED otherwise, the printer passing on; a null
// stillWanted always goes on), and with a check first: a printer that answers is asked
// (DLE EOT 2 and 4, once a serial line has sent what it holds) whether it can
// print; when a reply shows that it cannot, nothing is written, the job is
// closed, *refusal tells why and 0 is returned. A printer that gives no
// valid reply prints as without the check and, unless it answered before, is
// not asked again for ESCPOS_MUTE_RECHECK_MS. len 0 opens and closes without asking.
ssize_t escpos_print_checked(const char* device, const char* data, ssize_t len, bool (*stillWanted)(void*),
                             void* context, PrinterRefusal* refusal);

// Receives a raw job's replies; false when the client takes no more.
typedef bool (*EscposReplySink)(void* context, const char* data, size_t length);

// While the calling thread's job lasts, every byte the printer sends goes to
// sink, from a thread of the channel's own, bytes that come together in one
// call; the job's end (len 0) first lets replies come for
// ESCPOS_STATUS_REPLY_TIMEOUT_MS after the job's last bytes, then stops it
// before it returns. Does nothing without an open job or for a device that
// cannot answer.
void escposForwardReplies(EscposReplySink sink, void* context);

// Test-only: the reply timeout of status requests and the period after which
// a printer that did not answer is asked again, from now on.
void escposSetStatusTimingForTesting(int replyTimeoutMilliseconds, int muteRecheckMilliseconds);
// Test-only: how long jobs started from now on wait for the printer.
void escposSetWaitTimeoutForTesting(int milliseconds);
