// joblog.cpp: the job log. One lock guards the file and the records in
// memory: the latest jobs for /jobs and, for the last 24 hours, the first
// job of every Idempotency-Key. Each line is a whole record (its start, then
// its outcome), and lines go out whole, one write at a time, so that a crash
// leaves at most a torn last line, which the read-back skips. A keyed job's
// lines are on the disk before the job goes on; other jobs' starts wait in
// memory for the next write, at the latest until the job prints. Lines are
// made outside the lock: the printing thread's end must not wait for them.
#include "joblog.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <random>

#include <mbedtls/sha256.h>
#include <nlohmann/json.hpp>

#include "platform_machine.h"
#include "webserver.h"

using Json = nlohmann::ordered_json;

std::string sha256Hex(const void* data, size_t length) {
    unsigned char digest[32];
    mbedtls_sha256((const unsigned char*)data, length, digest, 0);
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += HEX[byte >> 4];
        hex += HEX[byte & 15];
    }
    return hex;
}

bool idempotencyKeyIsValid(const char* key, size_t length) {
    if (length == 0 || length > IDEMPOTENCY_KEY_MAX) {
        return false;
    }
    for (size_t i = 0; i < length; i++) {
        if (key[i] < 0x21 || key[i] > 0x7e) {
            return false;
        }
    }
    return true;
}

// ---- Times and ids -------------------------------------------------------------

static int64_t nowMs(void) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back.
static int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = (unsigned)(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + (int64_t)dayOfEra - 719468;
}

static void civilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = (unsigned)(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    *month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    *year = (int64_t)yearOfEra + era * 400 + (*month <= 2);
}

std::string isoTimeUTC(int64_t milliseconds) {
    int64_t days = (milliseconds >= 0 ? milliseconds : milliseconds - 86399999) / 86400000;
    int64_t inDay = milliseconds - days * 86400000;
    int64_t year;
    unsigned month, day;
    civilFromDays(days, &year, &month, &day);
    char text[40];
    snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", (long long)year, month, day,
             (int)(inDay / 3600000), (int)(inDay / 60000 % 60), (int)(inDay / 1000 % 60), (int)(inDay % 1000));
    return text;
}

// Milliseconds of a time isoTimeUTC wrote; 0 when it is not one.
static int64_t parseIsoTimeUTC(const std::string& text) {
    long long year;
    unsigned month, day, hour, minute, second, milli;
    char zone = 0;
    if (8 != sscanf(text.c_str(), "%lld-%u-%uT%u:%u:%u.%3u%c", &year, &month, &day, &hour, &minute, &second, &milli,
                    &zone) ||
        zone != 'Z' || month < 1 || month > 12 || day < 1 || day > 31) {
        return 0;
    }
    return daysFromCivil(year, month, day) * 86400000 + (int64_t)hour * 3600000 + (int64_t)minute * 60000 +
           (int64_t)second * 1000 + milli;
}

// The time in milliseconds in Crockford's base 32, then a counter that
// starts at random, so ids sort by time and differ across restarts.
static std::string newJobId(void) {
    static const char DIGITS[] = "0123456789abcdefghjkmnpqrstvwxyz";
    static std::atomic<uint32_t> counter{std::random_device{}() ^ (uint32_t)nowMs()};
    uint64_t value = (uint64_t)nowMs() << 15 | (counter.fetch_add(1, std::memory_order_relaxed) & 0x7fff);
    char id[13];
    for (int i = 11; i >= 0; i--) {
        id[i] = DIGITS[value & 31];
        value >>= 5;
    }
    id[12] = '\0';
    return id;
}

// ---- Records as JSON -----------------------------------------------------------

static Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

static Json recordJSON(const JobRecord& job, const char* event) {
    Json json;
    if (NULL != event) {
        json["event"] = event;
    }
    json["id"] = job.id;
    json["kind"] = job.kind;
    json["key"] = textOrNull(job.key);
    json["received"] = isoTimeUTC(job.receivedMs);
    json["done"] = job.doneMs == 0 ? Json(nullptr) : Json(isoTimeUTC(job.doneMs));
    json["origin"] = textOrNull(job.origin);
    json["peer"] = job.peer;
    json["bytesReceived"] = job.bytesReceived;
    json["bytesPrinted"] = job.bytesPrinted;
    json["result"] = textOrNull(job.result);
    json["status"] = job.status == 0 ? Json(nullptr) : Json(job.status);
    json["reason"] = textOrNull(job.reason);
    json["printer"] = textOrNull(job.printer);
    if (NULL != event && !job.digest.empty()) {
        json["digest"] = job.digest;
    }
    return json;
}

static std::string dump(const Json& json) {
    // A peer's bytes that are not UTF-8 (an origin) must not stop the record.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Appends text as dump() writes a string; false at a byte past ASCII, which
// dump() checks as UTF-8 (the caller then lets dump() write the line).
static bool appendASCIIString(std::string& out, const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c >= 0x80) {
                return false;
            }
            if (c < 0x20) {
                out += "\\u00";
                out += HEX[c >> 4];
                out += HEX[c & 15];
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
    return true;
}

// dump(recordJSON(job, event)), byte for byte, written straight into the
// line: building the JSON object and dumping it cost each print job more
// than all the rest of its work. Text past ASCII still goes through dump().
static std::string recordLine(const JobRecord& job, const char* event) {
    std::string line = "{";
    bool ascii = true;
    auto name = [&line](const char* key) {
        line += line.size() > 1 ? ",\"" : "\"";
        line += key;
        line += "\":";
    };
    auto text = [&](const char* key, const std::string& value) {
        name(key);
        ascii = ascii && appendASCIIString(line, value);
    };
    auto textOrNull = [&](const char* key, const std::string& value) {
        if (value.empty()) {
            name(key);
            line += "null";
        } else {
            text(key, value);
        }
    };
    auto number = [&](const char* key, int64_t value) {
        name(key);
        line += std::to_string(value);
    };
    if (NULL != event) {
        text("event", event);
    }
    text("id", job.id);
    text("kind", job.kind);
    textOrNull("key", job.key);
    text("received", isoTimeUTC(job.receivedMs));
    textOrNull("done", job.doneMs == 0 ? std::string() : isoTimeUTC(job.doneMs));
    textOrNull("origin", job.origin);
    text("peer", job.peer);
    number("bytesReceived", job.bytesReceived);
    number("bytesPrinted", job.bytesPrinted);
    textOrNull("result", job.result);
    if (job.status == 0) {
        name("status");
        line += "null";
    } else {
        number("status", job.status);
    }
    textOrNull("reason", job.reason);
    textOrNull("printer", job.printer);
    if (NULL != event && !job.digest.empty()) {
        text("digest", job.digest);
    }
    line += '}';
    return ascii ? line : dump(recordJSON(job, event));
}

static std::string textOf(const Json& json, const char* name) {
    auto field = json.find(name);
    return field != json.end() && field->is_string() ? field->get<std::string>() : std::string();
}

static int64_t numberOf(const Json& json, const char* name) {
    auto field = json.find(name);
    return field != json.end() && field->is_number_integer() ? field->get<int64_t>() : 0;
}

// A line of the log as a record; false for a torn or foreign line.
static bool recordFromLine(const std::string& line, JobRecord* job) {
    Json json = Json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return false;
    }
    job->id = textOf(json, "id");
    job->receivedMs = parseIsoTimeUTC(textOf(json, "received"));
    if (job->id.empty() || job->receivedMs == 0) {
        return false;
    }
    job->kind = textOf(json, "kind");
    job->key = textOf(json, "key");
    job->digest = textOf(json, "digest");
    job->origin = textOf(json, "origin");
    job->peer = textOf(json, "peer");
    job->bytesReceived = numberOf(json, "bytesReceived");
    job->doneMs = parseIsoTimeUTC(textOf(json, "done"));
    job->bytesPrinted = numberOf(json, "bytesPrinted");
    job->result = textOf(json, "result");
    job->status = (int)numberOf(json, "status");
    job->reason = textOf(json, "reason");
    job->printer = textOf(json, "printer");
    return true;
}

// ---- The log -----------------------------------------------------------------------

struct JobLog {
    pthread_mutex_t lock;
    pthread_cond_t keyDone; // some keyed job has ended
    std::string path;       // "" while no folder was given
    FILE* file = NULL;
    int64_t size = 0;
    std::string problem;                                  // why the log cannot be written; "" while it can
    std::string pending;                                  // start lines not written yet
    uint64_t startLines = 0;                              // start lines ever made pending
    uint64_t startLinesWritten = 0;                       // of them, those written
    std::deque<JobRecord> recent;                         // oldest first, at most JOBLOG_RECENT_MAX
    std::map<std::string, JobRecord> keys;                // the first job of each key
    std::deque<std::pair<int64_t, std::string>> keyOrder; // when each key came, oldest first

    JobLog() {
        pthread_mutex_init(&lock, NULL);
        pthread_cond_init(&keyDone, NULL);
    }
};

static JobLog& jobLog(void) {
    static JobLog log;
    return log;
}

static void setProblem(JobLog& log, const std::string& problem) {
    if (NULL != log.file) {
        fclose(log.file);
        log.file = NULL;
    }
    if (log.problem.empty()) {
        log.problem = problem;
        fprintf(stderr, "Warning: %s Jobs still print; jobs with an Idempotency-Key are refused.\n", problem.c_str());
        fflush(stderr);
    }
}

static void setFileProblem(JobLog& log, const char* doing, int error) {
    setProblem(log, "The job log " + log.path + " cannot be " + doing + " (" + strerror(error) + ").");
}

static bool openForAppending(JobLog& log) {
    log.file = fopen_utf8_path(log.path.c_str(), "ab");
    if (NULL == log.file) {
        setFileProblem(log, "opened", errno);
        return false;
    }
    // Room for any line, so that each one leaves in one write.
    setvbuf(log.file, NULL, _IOFBF, 65536);
    return true;
}

// Appends one line, moving the file aside first when it would grow past
// its limit; on the disk before it returns when `durable`.
static bool appendLine(JobLog& log, const std::string& line, bool durable) {
    if (NULL == log.file) {
        return false;
    }
    if (log.size > 0 && log.size + (int64_t)line.size() > JOBLOG_ROTATE_BYTES) {
        fclose(log.file);
        log.file = NULL;
        int error = machineRenameFile(log.path.c_str(), (log.path + ".1").c_str());
        if (0 != error) {
            setFileProblem(log, "moved aside", error);
            return false;
        }
        log.size = 0;
        if (!openForAppending(log)) {
            return false;
        }
    }
    int error = line.size() == fwrite(line.data(), 1, line.size(), log.file) ? 0 : errno;
    if (0 == error) {
        error = durable ? machineFlushToDisk(log.file) : 0 == fflush(log.file) ? 0 : errno;
    }
    if (0 != error) {
        setFileProblem(log, "written", error);
        return false;
    }
    log.size += (int64_t)line.size();
    return true;
}

// Appends the pending start lines and then line (which may be empty) in one write.
static bool writeOut(JobLog& log, const std::string& line, bool durable) {
    bool written;
    if (log.pending.empty()) {
        written = line.empty() || appendLine(log, line, durable);
    } else {
        log.pending += line;
        written = appendLine(log, log.pending, durable);
        log.pending.clear();
    }
    log.startLinesWritten = log.startLines;
    return written;
}

// Pending start lines beyond this go out at once, so that one write stays
// within the file's buffer.
static const size_t JOBLOG_PENDING_MAX = 16384;

static void forgetExpiredKeys(JobLog& log, int64_t now) {
    while (!log.keyOrder.empty() &&
           (log.keyOrder.front().first < now - JOBLOG_KEY_KEEP_MS || log.keyOrder.size() > JOBLOG_KEYS_MAX)) {
        auto kept = log.keys.find(log.keyOrder.front().second);
        bool held = kept != log.keys.end() && kept->second.receivedMs == log.keyOrder.front().first;
        if (held && kept->second.result.empty()) {
            break; // its job still runs, and requests with the key wait for it
        }
        if (held) {
            log.keys.erase(kept);
        }
        log.keyOrder.pop_front();
    }
}

// Keeps a job that is not among the recent ones yet: a new id, or one read
// back once. Looking for it first would compare every recent id, for every job.
static void rememberNew(JobLog& log, const JobRecord& job) {
    log.recent.push_back(job);
    if (log.recent.size() > JOBLOG_RECENT_MAX) {
        log.recent.pop_front();
    }
}

// Updates a job among the recent ones, newest first (an ending job is
// mostly the last one begun), or keeps it as new.
static void remember(JobLog& log, const JobRecord& job) {
    for (auto it = log.recent.rbegin(); it != log.recent.rend(); ++it) {
        if (it->id == job.id) {
            *it = job;
            return;
        }
    }
    rememberNew(log, job);
}

// Whether the job printed nothing for certain, so that its key is free again.
static bool printedNothing(const JobRecord& job) {
    return job.result == "refused" || job.result == "failed";
}

// Takes a record read back as the key's first job, or frees the key when
// the job it held printed nothing.
static void rememberKey(JobLog& log, const JobRecord& job) {
    auto kept = log.keys.find(job.key);
    if (printedNothing(job)) {
        if (kept != log.keys.end() && kept->second.id == job.id) {
            log.keys.erase(kept);
        }
        return;
    }
    if (kept == log.keys.end()) {
        log.keyOrder.emplace_back(job.receivedMs, job.key);
    }
    log.keys[job.key] = job;
}

// Reads one file of the log into the records, by id in order of first sight.
static void readBack(const std::string& path, std::map<std::string, size_t>* index, std::vector<JobRecord>* records,
                     int64_t* size) {
    FILE* file = fopen_utf8_path(path.c_str(), "rb");
    if (NULL == file) {
        return;
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, n);
    }
    fclose(file);
    *size = (int64_t)text.size();
    size_t start = 0;
    for (size_t end; std::string::npos != (end = text.find('\n', start)); start = end + 1) {
        JobRecord job;
        if (!recordFromLine(text.substr(start, end - start), &job)) {
            continue;
        }
        auto known = index->find(job.id);
        if (known == index->end()) {
            (*index)[job.id] = records->size();
            records->push_back(job);
        } else {
            (*records)[known->second] = job;
        }
    }
}

bool jobLogOpen(const char* folder) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    log.path = std::string(folder) + machinePathSeparator() + "jobs.log";
    std::map<std::string, size_t> index;
    std::vector<JobRecord> records;
    int64_t olderSize = 0;
    readBack(log.path + ".1", &index, &records, &olderSize);
    readBack(log.path, &index, &records, &log.size);
    int64_t now = nowMs();
    for (JobRecord& job : records) {
        if (job.result.empty()) {
            job.result = "interrupted";
        }
        rememberNew(log, job); // one record per id
        if (!job.key.empty() && job.receivedMs >= now - JOBLOG_KEY_KEEP_MS) {
            rememberKey(log, job);
        }
    }
    bool opened = openForAppending(log);
    // A line torn by a crash is ended, so that the next one stands alone.
    if (opened && log.size > 0) {
        FILE* file = fopen_utf8_path(log.path.c_str(), "rb");
        bool endsInNewline = NULL != file && 0 == fileSeek64(file, -1, SEEK_END) && fgetc(file) == '\n';
        if (NULL != file) {
            fclose(file);
        }
        opened = endsInNewline || appendLine(log, "\n", true);
    }
    pthread_mutex_unlock(&log.lock);
    return opened;
}

void jobLogClose(void) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    writeOut(log, "", false);
    if (NULL != log.file) {
        fclose(log.file);
        log.file = NULL;
    }
    log.path.clear();
    log.size = 0;
    log.problem.clear();
    log.pending.clear();
    log.recent.clear();
    log.keys.clear();
    log.keyOrder.clear();
    pthread_mutex_unlock(&log.lock);
}

const char* jobLogProblem(void) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    if (log.path.empty() && log.problem.empty()) {
        log.problem = "No state folder is set for the job log.";
    }
    // Set once and never changed until the log is closed, so the text stays valid.
    const char* problem = log.problem.empty() ? NULL : log.problem.c_str();
    pthread_mutex_unlock(&log.lock);
    return problem;
}

std::string jobLogProblemAsJSON(void) {
    const char* problem = jobLogProblem();
    return NULL == problem ? "null" : dump(Json(problem));
}

// Gives the job its id and start time; needs no lock.
static void startJob(JobRecord* job) {
    job->id = newJobId();
    job->receivedMs = nowMs();
    if (job->origin.size() > JOBLOG_ORIGIN_MAX) {
        job->origin.resize(JOBLOG_ORIGIN_MAX);
    }
}

JobStart jobBegin(JobRecord* job) {
    JobLog& log = jobLog();
    JobStart start = JOB_STARTED;
    if (job->key.empty()) {
        startJob(job);
        std::string line = recordLine(*job, "start") + "\n";
        pthread_mutex_lock(&log.lock);
        rememberNew(log, *job);
        if (NULL != log.file) {
            log.pending += line;
            job->startLine = ++log.startLines;
            if (log.pending.size() > JOBLOG_PENDING_MAX) {
                writeOut(log, "", false);
            }
        }
        pthread_mutex_unlock(&log.lock);
        return start;
    }
    pthread_mutex_lock(&log.lock);
    for (;;) {
        forgetExpiredKeys(log, nowMs());
        auto first = log.keys.find(job->key);
        if (first == log.keys.end()) {
            if (NULL == log.file) {
                start = JOB_LOG_UNAVAILABLE;
                break;
            }
            startJob(job);
            rememberNew(log, *job);
            if (!writeOut(log, recordLine(*job, "start") + "\n", true)) {
                start = JOB_LOG_UNAVAILABLE;
                break;
            }
            log.keys[job->key] = *job;
            log.keyOrder.emplace_back(job->receivedMs, job->key);
            break;
        }
        if (first->second.digest != job->digest) {
            start = JOB_KEY_OTHER_BODY;
            break;
        }
        if (first->second.result.empty()) {
            pthread_cond_wait(&log.keyDone, &log.lock);
            continue;
        }
        if (first->second.result == "interrupted") {
            start = JOB_KEY_INTERRUPTED;
            break;
        }
        *job = first->second;
        start = JOB_REPLAYED;
        break;
    }
    pthread_mutex_unlock(&log.lock);
    return start;
}

void jobPrints(const JobRecord* job) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    if (job->startLine > log.startLinesWritten) {
        writeOut(log, "", false);
    }
    pthread_mutex_unlock(&log.lock);
}

void jobEnd(JobRecord* job) {
    JobLog& log = jobLog();
    bool begun = !job->id.empty();
    if (!begun) {
        startJob(job);
    }
    job->doneMs = nowMs();
    std::string line = recordLine(*job, "end") + "\n";
    pthread_mutex_lock(&log.lock);
    auto first = job->key.empty() ? log.keys.end() : log.keys.find(job->key);
    bool holdsKey = first != log.keys.end() && first->second.id == job->id;
    writeOut(log, line, holdsKey);
    if (begun) {
        remember(log, *job);
    } else {
        rememberNew(log, *job);
    }
    if (holdsKey) {
        if (printedNothing(*job)) {
            log.keys.erase(first);
        } else {
            first->second = *job;
        }
        pthread_cond_broadcast(&log.keyDone);
    }
    pthread_mutex_unlock(&log.lock);
}

std::vector<JobRecord> jobsLatest(size_t limit) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    std::vector<JobRecord> latest;
    for (auto it = log.recent.rbegin(); it != log.recent.rend() && latest.size() < limit; ++it) {
        latest.push_back(*it);
    }
    pthread_mutex_unlock(&log.lock);
    return latest;
}

std::string jobsAsJSON(size_t limit) {
    Json list = Json::array();
    for (const JobRecord& job : jobsLatest(limit)) {
        list.push_back(recordJSON(job, NULL));
    }
    return dump(list);
}

bool jobAsJSON(const std::string& id, std::string* json) {
    JobLog& log = jobLog();
    pthread_mutex_lock(&log.lock);
    bool found = false;
    for (auto it = log.recent.rbegin(); it != log.recent.rend() && !found; ++it) {
        if (it->id == id) {
            *json = dump(recordJSON(*it, NULL));
            found = true;
        }
    }
    pthread_mutex_unlock(&log.lock);
    return found;
}
