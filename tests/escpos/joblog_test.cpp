// The job log in-process: what a long run leaves on the disk, what a crash
// leaves for the next start, and its times.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "joblog.h"
#include "testsupport.h"

namespace {

using q2test::readFile;
using q2test::TempDir;
using q2test::writeFile;

JobRecord keyedJob(const std::string& key, const std::string& body) {
    JobRecord job;
    job.kind = "web";
    job.key = key;
    job.digest = sha256Hex(body.data(), body.size());
    return job;
}

TEST(JobLog, TwentyThousandJobsLeaveUnderTwoMebibytes) {
    TempDir dir;
    ASSERT_TRUE(jobLogOpen(dir.path.c_str()));
    for (int i = 0; i < 20000; i++) {
        JobRecord job;
        job.kind = "raw";
        job.peer = "192.168.100.200";
        ASSERT_EQ(JOB_STARTED, jobBegin(&job));
        job.result = "failed";
        job.reason = "Writing to the printer device failed; the receipt was not printed whole.\n";
        jobEnd(&job);
    }
    jobLogClose();
    size_t current = readFile(dir.file("jobs.log")).size(), older = readFile(dir.file("jobs.log.1")).size();
    EXPECT_GT(older, 1000000u) << "moved aside once full";
    EXPECT_LT(current + older, 2u << 20);
    ASSERT_TRUE(jobLogOpen(dir.path.c_str()));
    EXPECT_EQ(JOBLOG_RECENT_MAX, jobsLatest(SIZE_MAX).size());
    jobLogClose();
}

// What the next start makes of a log that a crash cut off.
TEST(JobLog, StartUpReadsKeysBackAndSkipsATornLine) {
    TempDir dir;
    ASSERT_TRUE(jobLogOpen(dir.path.c_str()));
    JobRecord done = keyedJob("done", "a"), cut = keyedJob("cut", "b");
    ASSERT_EQ(JOB_STARTED, jobBegin(&done));
    done.result = "printed";
    done.status = 200;
    jobEnd(&done);
    ASSERT_EQ(JOB_STARTED, jobBegin(&cut)); // never ends: the power went
    JobRecord printing = keyedJob("", "");  // nor does this one, without a key
    ASSERT_EQ(JOB_STARTED, jobBegin(&printing));
    jobPrints(&printing);
    EXPECT_NE(std::string::npos, readFile(dir.file("jobs.log")).find(printing.id)) << "on file before it prints";
    jobLogClose();
    std::string log = readFile(dir.file("jobs.log"));
    writeFile(dir.file("jobs.log"), log + log.substr(0, 40)); // a torn last line
    for (int start = 0; start < 2; start++) {
        SCOPED_TRACE(start);
        ASSERT_TRUE(jobLogOpen(dir.path.c_str()));
        JobRecord again = keyedJob("done", "a"), other = keyedJob("done", "c"), retry = keyedJob("cut", "b");
        EXPECT_EQ(JOB_REPLAYED, jobBegin(&again));
        EXPECT_EQ(done.id, again.id);
        EXPECT_EQ(JOB_KEY_OTHER_BODY, jobBegin(&other));
        EXPECT_EQ(JOB_KEY_INTERRUPTED, jobBegin(&retry));
        std::string json;
        ASSERT_TRUE(jobAsJSON(printing.id, &json));
        EXPECT_NE(std::string::npos, json.find("\"result\":\"interrupted\""));
        JobRecord next = keyedJob("next", "d"); // written after the torn line, read back whole
        EXPECT_EQ(start == 0 ? JOB_STARTED : JOB_KEY_INTERRUPTED, jobBegin(&next));
        jobLogClose();
    }
}

// Each line is what the JSON library itself writes for its record, whatever
// bytes a peer put in the texts; ASCII ones read back as sent.
TEST(JobLog, LinesAreTheLibrarysJSONForAnyText) {
    using Json = nlohmann::ordered_json;
    static const char* const TEXTS[] = {"http://a\"b\\c\n\r\t\b\f\x01\x1f\x7f end", "caf\xc3\xa9 na\xef"};
    TempDir dir;
    ASSERT_TRUE(jobLogOpen(dir.path.c_str()));
    for (const char* text : TEXTS) {
        JobRecord job = keyedJob("", "");
        job.origin = text;
        ASSERT_EQ(JOB_STARTED, jobBegin(&job));
        job.status = 200;
        job.reason = text;
        jobEnd(&job);
    }
    jobLogClose();
    std::istringstream lines(readFile(dir.file("jobs.log")));
    std::string line;
    for (int count = 0; count < 4; count++) {
        ASSERT_TRUE(std::getline(lines, line));
        Json json = Json::parse(line, nullptr, false);
        ASSERT_TRUE(json.is_object()) << line;
        EXPECT_EQ(json.dump(-1, ' ', false, Json::error_handler_t::replace), line);
        if (count < 2) {
            EXPECT_EQ(TEXTS[0], json["origin"].get<std::string>());
        }
    }
}

TEST(JobLog, TimesAreUTCInISO8601) {
    EXPECT_EQ("1970-01-01T00:00:00.000Z", isoTimeUTC(0));
    EXPECT_EQ("2024-02-29T23:59:59.999Z", isoTimeUTC(1709251199999));
}

} // namespace
