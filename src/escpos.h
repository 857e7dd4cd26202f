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

// state 1 opens a job on `device` (waiting, in the order of arrival, while
// other threads' jobs hold the printer) and writes data; any other state continues the calling thread's job.
// len <= 0 closes the job. Returns 0 when the device cannot be opened, -1
// when a write fails or stalls (the job is then closed and later calls of it
// do nothing), otherwise len. Calls from a thread without an open job do
// nothing and return len.
ssize_t escpos_print(const char* device, unsigned int state, const char* data, ssize_t len);

// Test-only: how many jobs are waiting for the printer right now.
size_t escposJobsWaitingForTesting(void);

// Test-only: the no-progress limit for writes started from now on.
void escposSetStallTimeoutForTesting(int milliseconds);
