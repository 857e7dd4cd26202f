// escpos.h: the printer output channel. Every print job of the process goes
// through escpos_print; jobs are serialised, so one job's bytes never mix
// with another's.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Device paths are opened cut to this capacity (at most 31 characters).
static const size_t ESCPOS_DEVICE_PATH_CAPACITY = 32;

// A write that makes no progress for this long fails the job.
static const int ESCPOS_WRITE_STALL_TIMEOUT_MS = 30000;

// A job waits at most this long for the printer. Longer than one write stall
// (a job behind one whose printer stalls still gets its turn) plus a few
// receipts, short enough that the till learns of a busy printer within a minute.
static const int ESCPOS_WAIT_TIMEOUT_MS = 60000;

// What escpos_print and escposStartJob return for state 1 when nothing was
// written and no job is open: the printer stayed busy for the whole wait, or
// the job was no longer wanted when its turn came.
static const ssize_t ESCPOS_PRINTER_BUSY = -2;
static const ssize_t ESCPOS_JOB_NOT_WANTED = -3;

// state 1 opens a job on `device` (waiting, in the order of arrival, while
// other threads' jobs hold the printer, for at most ESCPOS_WAIT_TIMEOUT_MS)
// and writes data; any other state continues the calling thread's job.
// len <= 0 closes the job. Returns ESCPOS_PRINTER_BUSY when the wait ran out,
// 0 when the device cannot be opened, -1 when a write fails or stalls (the
// job is then closed and later calls of it do nothing), otherwise len. Calls from a thread without an open job do
// nothing and return len.
ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len);

// escpos_print with state 1, except that a job that had to wait goes on,
// once the printer is its, only when stillWanted(context) says so
// (ESCPOS_JOB_NOT_WANTED otherwise, the printer passing on). A null
// stillWanted always goes on.
ssize_t escposStartJob(const char* device, const char* data, ssize_t len, bool (*stillWanted)(void*), void* context);

// Whether some job waits for the printer right now; takes no lock.
bool escposJobIsWaiting(void);

// Test-only: how many jobs are waiting for the printer right now.
size_t escposJobsWaitingForTesting(void);

// Test-only: the no-progress limit for writes started from now on.
void escposSetStallTimeoutForTesting(int milliseconds);

// Test-only: how long jobs started from now on wait for the printer.
void escposSetWaitTimeoutForTesting(int milliseconds);
