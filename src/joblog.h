// joblog.h: the job log. Every job, web or raw, gets an id and a record;
// the records go to an append-only file of JSON lines in the state folder
// (jobs.log, moved aside to jobs.log.1 at JOBLOG_ROTATE_BYTES), are read back
// at start-up, and answer /jobs. A job sent with an Idempotency-Key prints
// at most once for that key: its record is on disk before the job prints,
// and a later request with the key gets the first job's answer. Never a
// job's bytes. Thread-safe.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The log file is moved aside before a line would take it past this size;
// one older file is kept, so both together stay under twice as much.
static const int64_t JOBLOG_ROTATE_BYTES = 1048576;
// A key is remembered this long after its job was received, and at most
// this many (the oldest go first), so that a flood of keys cannot take the
// memory; the files hold fewer anyway.
static const int64_t JOBLOG_KEY_KEEP_MS = 24LL * 60 * 60 * 1000;
static const size_t JOBLOG_KEYS_MAX = 20000;
// Records kept in memory for /jobs, and how many it lists without ?limit=.
static const size_t JOBLOG_RECENT_MAX = 1000;
static const size_t JOBLOG_LISTED_DEFAULT = 200;
// Longest Idempotency-Key, and the longest origin a record keeps.
static const size_t IDEMPOTENCY_KEY_MAX = 255;
static const size_t JOBLOG_ORIGIN_MAX = 256;

// One job. The caller fills the fields above `id` before jobBegin and the
// outcome before jobEnd.
struct JobRecord {
    std::string kind;   // "web" or "raw"
    std::string key;    // the Idempotency-Key, "" without one
    std::string digest; // SHA-256 of a keyed job's body, in hex
    std::string origin; // a web job's Origin header, "" without one
    std::string peer;   // the client's address
    int64_t bytesReceived = 0;

    std::string id;         // set by jobBegin (or jobEnd for a job that never began)
    int64_t receivedMs = 0; // UTC milliseconds since 1970, set with id
    int64_t doneMs = 0;     // set by jobEnd; 0 while the job runs
    int64_t bytesPrinted = 0;
    // "printed"; "refused" or "failed" (the device could not be had) with
    // nothing printed; "cut" (ended part way) or "interrupted" (by a crash)
    // after it may have printed in part; "" while it runs.
    std::string result;
    int status = 0;         // a web job's answer status
    std::string reason;     // a web job's answer text; why a raw stream failed or was cut
    std::string printer;    // what the job check saw ("ready", "paper-out", ...); "" when not asked
    uint64_t startLine = 0; // the log's own: which of its start lines is this job's
};

// What jobBegin decided.
enum JobStart {
    JOB_STARTED,         // the job is the first with its key (or has none): print it, then call jobEnd
    JOB_REPLAYED,        // the key's first job is done: *job is now its record; print nothing
    JOB_KEY_OTHER_BODY,  // the key came with another body: print nothing
    JOB_KEY_INTERRUPTED, // the key's first job was cut off by a crash or power loss: print nothing
    JOB_LOG_UNAVAILABLE, // the log cannot be written, so a key cannot be kept: print nothing
};

// Reads back the log in `folder` (both files, a torn or damaged line
// skipped; a job with a start but no outcome becomes "interrupted") and
// opens it for appending. False, with the reason logged once and kept for
// jobLogProblem, when it cannot be written; jobs are still recorded in memory.
bool jobLogOpen(const char* folder);
// Closes the file and forgets every record; for tests and the end of the program.
void jobLogClose(void);
// Null while the log can be written; otherwise why not, one sentence.
const char* jobLogProblem(void);
// The same as a JSON value: null, or the sentence as a string.
std::string jobLogProblemAsJSON(void);

// Whether the bytes make an Idempotency-Key: 1 to IDEMPOTENCY_KEY_MAX
// visible ASCII characters.
bool idempotencyKeyIsValid(const char* key, size_t length);
// The SHA-256 of the bytes, as 64 lower-case hex digits.
std::string sha256Hex(const void* data, size_t length);

// Gives the job its id and start time and logs its start: a keyed job's is
// on the disk before this returns; another's goes out with the next line
// written, and at the latest in jobPrints. A keyed job whose key's first
// job still runs waits for that job's outcome. See JobStart for the rest.
JobStart jobBegin(JobRecord* job);
// Called before a begun job's first byte goes to the printer: its start is
// then in the file, so that a crash from here on leaves it "interrupted".
// Jobs that wait in line have theirs written with the lines of the jobs
// ahead of them, so that under load a job costs one write, not two.
void jobPrints(const JobRecord* job);
// Writes the job's outcome with the time it was done, and lets requests
// waiting for its key go on. A keyed job that printed nothing (refused or
// failed) leaves its key free for a retry. A job that never began gets its
// id here.
void jobEnd(JobRecord* job);

// The latest jobs, newest first, as a JSON array of at most `limit`.
std::string jobsAsJSON(size_t limit);
// The latest jobs, newest first, at most `limit`.
std::vector<JobRecord> jobsLatest(size_t limit);
// One job as a JSON object into *json; false when no kept record has the id.
bool jobAsJSON(const std::string& id, std::string* json);
// The UTC time of milliseconds since 1970 as ISO 8601 with milliseconds.
std::string isoTimeUTC(int64_t milliseconds);
