// escpos.h: the printer output channel. Every print job of the process goes
// through escpos_print; jobs are serialised, so one job's bytes never mix
// with another's. A printer that answers is asked for its status the same
// way, as a short job of its own, and its replies during a raw stream go
// back to that stream's client.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// The print service's limits, with their defaults. One record is handed in
// at start (escposSetLimits); tests hand in their own.
struct EscposLimits {
    // A write that makes no progress for this long fails the job. It also
    // bounds how long a job's end waits for a network printer to acknowledge
    // its bytes and for a raw client to read the printer's last replies.
    int writeStallMs = 30000;
    // A job waits at most this long for the printer. Longer than one write
    // stall (a job behind one whose printer stalls still gets its turn) plus
    // a few receipts, short enough that the till learns of a busy printer
    // within a minute.
    int waitMs = 60000;
    // A job's network printer that has not taken the connection by then
    // cannot be opened.
    int connectMs = 5000;
    // A status request takes at most this long in all, so that its answer
    // comes within a second: waiting for the printer, looking a network
    // printer up, connecting, and every request with its reply.
    int statusBudgetMs = 900;
    // A status request waits this long for a job that holds the printer and
    // for a serial line's driver to send what the last job left.
    int statusPrinterWaitMs = 150;
    // A status request's network printer that has not taken the connection
    // by then is unavailable.
    int statusConnectMs = 500;
    // One status request (DLE EOT n) waits this long for its reply byte, from
    // when its bytes have left. A reply that comes later is waited out for as
    // long again and dropped, so that it is never taken for the answer to a
    // later request.
    int statusReplyMs = 200;
    // A printer that has given no valid reply at all is not asked before jobs
    // again for this long, so that a printer that cannot answer costs one reply
    // timeout per period. One that answered before is always asked.
    int muteRecheckMs = 60000;
    // How often a raw stream's reply forwarder looks whether the job ended.
    int replyPollMs = 10;
    // Replies that follow each other within this long go to a raw client in one send.
    int replyGatherMs = 5;
    // Replies a raw client has not read yet are kept up to this many bytes;
    // later ones are dropped, so that a client that reads slowly never holds
    // the printer.
    size_t replyPendingBytes = 64 * 1024;
};

// Makes limits those of every job and status request that asks for the
// printer from now on (the defaults until then).
void escposSetLimits(const EscposLimits* limits);

// What escpos_print (state 1) and escposPrintWhole return when nothing was
// written and no job is open: the printer stayed busy for the whole wait, or
// the job was no longer wanted when its turn came.
static const ssize_t ESCPOS_PRINTER_BUSY = -2;
static const ssize_t ESCPOS_JOB_NOT_WANTED = -3;
// The same when a stop refused the job: it waited for the printer when the
// stop began, or its turn would have come after the stop's grace period.
static const ssize_t ESCPOS_SERVER_STOPPING = -4;

// state 1 opens a job on `device` (waiting, in the fair line by peer address, while
// other threads' jobs hold the printer, for at most the wait limit)
// and writes data; any other state continues the calling thread's job.
// len <= 0 closes the job: len 0, once a network printer has acknowledged
// every byte (-1 when it stalls past the stall limit or resets first).
// Returns ESCPOS_PRINTER_BUSY when the wait ran out,
// 0 when the device cannot be opened, -1 when a write fails or stalls (the
// job is then closed and later calls of it do nothing), otherwise len. Calls from a thread without an open job do
// nothing and return len.
ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len);

// The peer address of the jobs the calling thread opens from now on: jobs
// waiting for the printer get it in turn by address, in arrival order within
// one address, so no address can keep the others waiting behind its jobs.
void escposSetPeerOfThisThread(const char* peer);

// Whether some job that is to print waits for the printer right now (a
// status request does not count); takes no lock.
bool escposJobIsWaiting(void);

// Test-only: how many jobs and status requests are waiting for the printer right now.
size_t escposJobsWaitingForTesting(void);

// Begins a stop of the printer's line (a second call changes nothing): the
// jobs waiting for the printer now are refused with ESCPOS_SERVER_STOPPING at
// once, and no job starts more than graceMs from now. The job that holds the
// printer goes on.
void escposBeginStop(int graceMs);

// ---- The printer's replies --------------------------------------------------

// How far a status request got.
enum PrinterReach {
    PRINTER_REACH_NO_DEVICE,   // none configured
    PRINTER_REACH_UNAVAILABLE, // the device could not be opened
    PRINTER_REACH_BUSY,        // another job, a line's driver still sending one, or another host held it
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

// Within the status budget in all: looks a network printer's name up before
// anything else, takes the printer like a short job (waiting at most the
// status's printer wait for another job and for a serial line's driver to
// send what it holds: busy otherwise), connects a network printer within the
// status's connect limit (unavailable otherwise), drops stale replies, and
// asks DLE EOT 1..4, each waiting the reply time, stopping at the first that
// goes unanswered (its late reply waited out as far as the budget allows,
// the rest before the next job) and before one that could not be waited for
// within the budget. A device that cannot answer is not asked. A network
// printer that answered before and takes the connection but answers nothing
// is busy: it serves another host and holds ours in its queue.
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

// Prints len bytes as one whole job: the printer is taken as escpos_print
// (state 1) takes it, and once it is the job's, before any byte goes to it,
// goesOn(context, whether the job had to wait) decides whether it goes on
// (ESCPOS_JOB_NOT_WANTED otherwise, the printer passing on; a null goesOn
// always goes on). A printer that answers is asked first (DLE EOT 2 and 4,
// once a serial line has sent what it holds) whether it can print; when a
// reply shows that it cannot, nothing is written, *refusal tells why and 0
// is returned. A printer that gives no valid reply prints as without the
// check and, unless it answered before, is not asked again for the mute
// recheck time; len 0 opens and closes without asking. *seen: what the
// check saw ("ready", "cover-open", "paper-out", "error", "no-answer"), null
// when it did not ask. Then the job ends: *endedWhole is false when a
// network printer did not acknowledge every byte. Returns as escpos_print
// does for its first call, and the job is closed in every case. The thread
// that holds the printer just before may print the job in its stead (goesOn
// then runs on that thread): the order and the answers are the same.
ssize_t escposPrintWhole(const char* device, const char* data, ssize_t len, bool (*goesOn)(void*, bool), void* context,
                         PrinterRefusal* refusal, const char** seen, bool* endedWhole);

// Hands a raw job's replies to its client without waiting: returns how many
// bytes of them the client took now (0: none for now), -1 when it takes no more.
typedef ssize_t (*EscposReplySink)(void* context, const char* data, size_t length);

// While the calling thread's job lasts, every byte the printer sends goes to
// sink, from a thread of the channel's own, bytes that come together in one
// call. Bytes the client has not taken wait, up to the pending bound; past
// it they are dropped with a log line, so the printer's replies are always
// read. The job's end (len 0) first lets replies come for the reply time
// after the job's last bytes, then gives the client at most the stall limit
// to take what waits, and stops the forwarder before it returns. Does
// nothing without an open job or for a device that cannot answer.
void escposForwardReplies(EscposReplySink sink, void* context);
