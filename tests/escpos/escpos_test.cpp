// The printer output channel in-process: a job's bytes are never mixed with
// another's, every opened device is closed again, failed and stalled writes
// end the job with -1, and a thread without an open job cannot touch
// another thread's job; status requests wait only briefly for the printer,
// their replies decode to the right state, and a raw job's replies reach its
// sink and stop with the job. A raw stream's receipts end where the printer
// ends them, however its bytes are split.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "escpos.h"
#include "receipt.h"
#include "resources.h"
#include "simulated_printer.h"
#include "testsupport.h"

namespace {

using q2test::readFile;
using q2test::TempDir;

using q2test::openDescriptorCount;

ssize_t closeJob() {
    return escpos_print(nullptr, 0, nullptr, 0);
}

// The channel's limits: the defaults but for stall and wait (0: the default).
void setLimits(int stallMs, int waitMs = 0) {
    EscposLimits limits;
    limits.writeStallMs = stallMs > 0 ? stallMs : limits.writeStallMs;
    limits.waitMs = waitMs > 0 ? waitMs : limits.waitMs;
    escposSetLimits(&limits);
}

TEST(PrinterChannel, OpeningCallWithoutDataOpensAndClosesAgain) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    int before = openDescriptorCount();
    EXPECT_EQ(0, escpos_print(device.c_str(), 1, nullptr, 0));
    EXPECT_EQ(before, openDescriptorCount());
    // The printer was released: the next job gets it at once.
    EXPECT_EQ(3, escpos_print(device.c_str(), 1, "abc", 3));
    EXPECT_EQ(0, closeJob());
    EXPECT_EQ("abc", readFile(device));
    EXPECT_EQ(before, openDescriptorCount());
}

TEST(PrinterChannel, CallsWithoutAnOpenJobDoNothing) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    EXPECT_EQ(0, closeJob());
    EXPECT_EQ(-1, escpos_print(nullptr, 0, nullptr, -1));
    EXPECT_EQ(4, escpos_print(nullptr, 3, "lost", 4));
    EXPECT_EQ("", readFile(device));
}

TEST(PrinterChannel, JobThatCannotOpenLeavesNoTrace) {
    TempDir dir;
    std::string missing = dir.path + "/missing";
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, escpos_print(missing.c_str(), 1, "abc", 3));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Cannot open printer device '" + missing + "': No such file or directory\n", err);
    EXPECT_EQ(5, escpos_print(nullptr, 3, "later", 5));
    EXPECT_EQ(0, closeJob());
    struct stat st;
    EXPECT_NE(0, stat(missing.c_str(), &st));
}

TEST(PrinterChannel, MultiChunkJobArrivesWholeWithNulBytes) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    std::string first("\x1b@\0first", 8);
    EXPECT_EQ(8, escpos_print(device.c_str(), 1, first.data(), (ssize_t)first.size()));
    EXPECT_EQ(6, escpos_print(nullptr, 3, "second", 6));
    EXPECT_EQ(0, escpos_print(nullptr, 5, nullptr, 0));
    EXPECT_EQ(first + "second", readFile(device));
}

// Whether another opener of `device` gets a lock of this kind right now.
bool anotherOpenerGetsTheLock(const std::string& device, int kind = LOCK_EX) {
    int fd = open(device.c_str(), O_WRONLY | O_CLOEXEC);
    bool locked = fd >= 0 && 0 == flock(fd, kind | LOCK_NB);
    if (fd >= 0) {
        close(fd);
    }
    return locked;
}

TEST(PrinterChannel, PrinterIsHeldExclusivelyWhileAJobIsOpen) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    ASSERT_EQ(3, escpos_print(device.c_str(), 1, "one", 3));
    for (int kind : {LOCK_EX, LOCK_SH}) {
        EXPECT_FALSE(anotherOpenerGetsTheLock(device, kind)) << "a second opener shared the printer: " << kind;
    }
    EXPECT_EQ(0, closeJob());
    EXPECT_TRUE(anotherOpenerGetsTheLock(device));

    // The other way round: a printer another program holds is refused.
    int holder = open(device.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, escpos_print(device.c_str(), 1, "two", 3));
    EXPECT_EQ("Cannot open printer device '" + device + "': it is in use by another process\n",
              testing::internal::GetCapturedStderr());
    close(holder);
    EXPECT_EQ("one", readFile(device));
}

TEST(PrinterChannel, FailedWriteEndsTheJobAndReleasesThePrinter) {
    // A node of our own for the full device, so that no other test's lock on
    // /dev/full can get in the way.
    TempDir fullDir;
    std::string full = fullDir.path + "/full";
    if (0 != mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7))) {
        full = "/dev/full";
    }
    int before = openDescriptorCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, escpos_print(full.c_str(), 1, "abc", 3));
    EXPECT_EQ("Writing to printer device '" + full + "' failed: No space left on device\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(before, openDescriptorCount());
    // Later calls of the failed job have no effect...
    EXPECT_EQ(3, escpos_print(nullptr, 3, "def", 3));
    EXPECT_EQ(0, closeJob());
    // ...and the next job gets the printer.
    TempDir dir;
    std::string device = dir.addFile("printer");
    EXPECT_EQ(2, escpos_print(device.c_str(), 1, "ok", 2));
    EXPECT_EQ(0, closeJob());
    EXPECT_EQ("ok", readFile(device));
}

TEST(PrinterChannel, OpeningAgainClosesTheThreadsEarlierJob) {
    TempDir dir;
    std::string first = dir.addFile("first");
    std::string second = dir.addFile("second");
    int before = openDescriptorCount();
    EXPECT_EQ(1, escpos_print(first.c_str(), 1, "a", 1));
    EXPECT_EQ(1, escpos_print(second.c_str(), 1, "b", 1));
    EXPECT_EQ(1, escpos_print(nullptr, 3, "c", 1));
    EXPECT_EQ(0, closeJob());
    EXPECT_EQ("a", readFile(first));
    EXPECT_EQ("bc", readFile(second));
    EXPECT_EQ(before, openDescriptorCount());
}

TEST(PrinterChannel, StalledPrinterFailsTheJobAfterTheLimit) {
    TempDir dir;
    std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A reader that never reads: the pipe fills and the printer stalls.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    setLimits(300);
    std::string job(1 << 20, 'x');
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, escpos_print(fifo.c_str(), 1, job.data(), (ssize_t)job.size()));
    std::string err = testing::internal::GetCapturedStderr();
    clock_gettime(CLOCK_MONOTONIC, &end);
    setLimits(0);
    double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_GE(seconds, 0.29);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ("Writing to printer device '" + fifo + "' failed: the printer took no data for 300 ms\n", err);
    // The job is over: later calls do nothing, and the printer is free again.
    EXPECT_EQ(1, escpos_print(nullptr, 3, "y", 1));
    EXPECT_EQ(0, closeJob());
    std::string device = dir.addFile("printer");
    EXPECT_EQ(2, escpos_print(device.c_str(), 1, "ok", 2));
    EXPECT_EQ(0, closeJob());
    close(reader);
}

TEST(PrinterChannel, SlowPrinterThatKeepsTakingBytesIsNotAStall) {
    TempDir dir;
    std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    setLimits(400);
    std::string job(512 * 1024, 'z');
    std::atomic<bool> done{false};
    size_t received = 0;
    // Reads in small bites with pauses shorter than the limit, for longer
    // than the limit in total.
    std::thread slowReader([&] {
        char buffer[32 * 1024];
        while (!done.load() || received < job.size()) {
            ssize_t n = read(reader, buffer, sizeof(buffer));
            if (n > 0) {
                received += (size_t)n;
            }
            if (received >= job.size()) {
                break;
            }
            usleep(20 * 1000);
        }
    });
    EXPECT_EQ((ssize_t)job.size(), escpos_print(fifo.c_str(), 1, job.data(), (ssize_t)job.size()));
    EXPECT_EQ(0, closeJob());
    done.store(true);
    slowReader.join();
    setLimits(0);
    EXPECT_EQ(job.size(), received);
    close(reader);
}

// Frames a job so that the checker can find it: "<id:len>" + payload + "</id>".
std::string jobFrame(int id, size_t payloadSize) {
    std::string payload;
    for (size_t i = 0; i < payloadSize; i++) {
        payload.push_back((char)('a' + (id * 7 + (int)i) % 26));
    }
    return "<" + std::to_string(id) + ":" + std::to_string(payloadSize) + ">" + payload + "</" + std::to_string(id) +
           ">";
}

TEST(PrinterChannel, ConcurrentJobsArriveWholeContiguousAndOnce) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    const int threads = 16;
    const int jobsPerThread = 8;
    int before = openDescriptorCount();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            for (int j = 0; j < jobsPerThread; j++) {
                int id = t * jobsPerThread + j;
                std::string frame = jobFrame(id, 1000 + (size_t)id * 37);
                // Several chunks per job, with a pause inside the job so that
                // other jobs try to open meanwhile.
                size_t chunk = frame.size() / 5 + 1;
                unsigned int state = 1;
                for (size_t offset = 0; offset < frame.size(); offset += chunk) {
                    size_t length = std::min(chunk, frame.size() - offset);
                    ssize_t written = escpos_print(device.c_str(), state, frame.data() + offset, (ssize_t)length);
                    EXPECT_EQ((ssize_t)length, written);
                    state += 2;
                    if (offset == 0) {
                        usleep(200);
                    }
                }
                EXPECT_EQ(0, escpos_print(nullptr, state, nullptr, 0));
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(before, openDescriptorCount());

    std::string expected;
    std::string contents = readFile(device);
    std::vector<int> seen(threads * jobsPerThread, 0);
    size_t position = 0;
    while (position < contents.size()) {
        ASSERT_EQ('<', contents[position]) << "a job does not start where the previous one ended";
        size_t colon = contents.find(':', position);
        size_t close = contents.find('>', position);
        ASSERT_NE(std::string::npos, colon);
        ASSERT_NE(std::string::npos, close);
        int id = std::stoi(contents.substr(position + 1, colon - position - 1));
        ASSERT_GE(id, 0);
        ASSERT_LT(id, threads * jobsPerThread);
        std::string frame = jobFrame(id, 1000 + (size_t)id * 37);
        ASSERT_EQ(frame, contents.substr(position, frame.size())) << "job " << id << " is not whole";
        seen[(size_t)id]++;
        position += frame.size();
    }
    for (int id = 0; id < threads * jobsPerThread; id++) {
        EXPECT_EQ(1, seen[(size_t)id]) << "job " << id;
    }
}

// Whether a whole job goes on once the printer is its; it must have waited.
static bool wantedAfterWaiting(void* wanted, bool waited) {
    EXPECT_TRUE(waited);
    return *(bool*)wanted;
}

// Jobs 1-3 and 5-6 are whole jobs, printed by the thread whose job ends
// before them where it can; job 4 is a stream's, and job 5 is no longer
// wanted when its turn comes. Each gets its own answer, in the line's order.
TEST(PrinterChannel, WaitingJobsGetThePrinterInTheOrderTheyAsked) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    ASSERT_EQ(1, escpos_print(device.c_str(), 1, "0", 1));
    const int waiting = 6;
    std::vector<std::thread> jobs;
    for (int i = 1; i <= waiting; i++) {
        jobs.emplace_back([&device, i] {
            std::string text = std::to_string(i);
            if (i == 4) {
                EXPECT_EQ(1, escpos_print(device.c_str(), 1, text.data(), 1));
                EXPECT_EQ(0, closeJob());
                return;
            }
            bool wanted = i != 5;
            PrinterRefusal refusal = PRINTER_REFUSES_ERROR;
            const char* seen = "unset";
            bool endedWhole = false;
            EXPECT_EQ(wanted ? 1 : ESCPOS_JOB_NOT_WANTED,
                      escposPrintWhole(device.c_str(), text.data(), 1, wantedAfterWaiting, &wanted, &refusal, &seen,
                                       &endedWhole))
                << "job " << i;
            EXPECT_EQ(PRINTER_TAKES_JOB, refusal);
            EXPECT_EQ(NULL, seen) << "a file is not asked";
            EXPECT_TRUE(endedWhole);
            EXPECT_EQ(0, closeJob()) << "the job is closed: nothing is left to close";
        });
        // Let job i queue up before job i + 1 asks.
        for (int tries = 0; escposJobsWaitingForTesting() < (size_t)i && tries < 5000; tries++) {
            usleep(1000);
        }
        ASSERT_EQ((size_t)i, escposJobsWaitingForTesting());
    }
    EXPECT_EQ(0, closeJob());
    for (std::thread& job : jobs) {
        job.join();
    }
    EXPECT_EQ("012346", readFile(device));
    EXPECT_EQ(0u, escposJobsWaitingForTesting());
}

TEST(PrinterChannel, JobWaitingPastItsLimitLeavesTheLineWithoutPrinting) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    ASSERT_EQ(1, escpos_print(device.c_str(), 1, "0", 1));
    static const int SHORT_WAIT_MS = 400;
    // Waiters with a short limit in the middle and at the end of the line.
    const struct {
        char text;
        bool givesUp;
    } waiters[] = {{'A', false}, {'B', true}, {'C', false}, {'D', true}};
    std::vector<std::thread> jobs;
    size_t queued = 0;
    for (const auto& waiter : waiters) {
        setLimits(0, waiter.givesUp ? SHORT_WAIT_MS : 0);
        jobs.emplace_back([&device, waiter] {
            auto asked = std::chrono::steady_clock::now();
            ssize_t result = escpos_print(device.c_str(), 1, &waiter.text, 1);
            auto waitedMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
            if (waiter.givesUp) {
                EXPECT_EQ(ESCPOS_PRINTER_BUSY, result) << waiter.text;
                EXPECT_GE(waitedMs.count(), SHORT_WAIT_MS - 5) << waiter.text;
                EXPECT_EQ(1, escpos_print(nullptr, 3, "x", 1)) << "without a job, nothing is written";
            } else {
                EXPECT_EQ(1, result) << waiter.text;
                EXPECT_EQ(0, closeJob());
            }
        });
        queued++;
        for (int tries = 0; escposJobsWaitingForTesting() < queued && tries < 5000; tries++) {
            usleep(1000);
        }
        ASSERT_EQ(queued, escposJobsWaitingForTesting());
    }
    for (int tries = 0; escposJobsWaitingForTesting() > 2 && tries < 5000; tries++) {
        usleep(1000);
    }
    EXPECT_EQ(2u, escposJobsWaitingForTesting()) << "those that gave up left the line";
    // One more joins the line behind the one that left it last.
    setLimits(0, 5000);
    jobs.emplace_back([&device] {
        EXPECT_EQ(1, escpos_print(device.c_str(), 1, "E", 1));
        EXPECT_EQ(0, closeJob());
    });
    for (int tries = 0; escposJobsWaitingForTesting() < 3 && tries < 5000; tries++) {
        usleep(1000);
    }
    setLimits(0);
    EXPECT_EQ(0, closeJob());
    for (std::thread& job : jobs) {
        job.join();
    }
    EXPECT_EQ("0ACE", readFile(device));
    EXPECT_EQ(0u, escposJobsWaitingForTesting());
}

// A stop is for the rest of the process, so it runs in a child of its own.
// A job that begins to wait during the grace period waits no longer than
// the period: none starts after it.
TEST(PrinterChannelDeathTest, JobThatBeginsToWaitDuringAStopGivesUpAtTheEndOfItsGracePeriod) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempDir dir;
            std::string device = dir.addFile("printer");
            setLimits(0, 5000);
            bool held = 1 == escpos_print(device.c_str(), 1, "0", 1);
            escposBeginStop(200);
            ssize_t result = 0;
            long long waitedMs = 0;
            std::thread waiter([&] { // another thread: this one's next job would end its first
                auto asked = std::chrono::steady_clock::now();
                result = escpos_print(device.c_str(), 1, "1", 1);
                waitedMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked)
                        .count();
            });
            waiter.join();
            fprintf(stderr, "held=%d result=%zd waited=%lld ms\n", held, result, waitedMs);
            closeJob();
            _exit(held && result == ESCPOS_SERVER_STOPPING && waitedMs >= 150 && waitedMs < 2500 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(PrinterChannel, ThreadWhoseJobFailedCannotTouchAnotherThreadsJob) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    std::string missing = dir.path + "/missing";
    ASSERT_EQ(5, escpos_print(device.c_str(), 1, "begin", 5));
    std::atomic<bool> otherOpened{false};
    std::thread other([&] {
        testing::internal::CaptureStderr();
        // Waits for the printer, then fails to open its own device.
        EXPECT_EQ(0, escpos_print(missing.c_str(), 1, "X", 1));
        (void)testing::internal::GetCapturedStderr();
        otherOpened.store(true);
        EXPECT_EQ(1, escpos_print(nullptr, 3, "Y", 1));
        EXPECT_EQ(0, escpos_print(nullptr, 5, nullptr, 0));
    });
    usleep(50 * 1000);
    EXPECT_FALSE(otherOpened.load()) << "a second job must wait while the first holds the printer";
    EXPECT_EQ(3, escpos_print(nullptr, 3, "end", 3));
    EXPECT_EQ(0, closeJob());
    other.join();
    EXPECT_EQ("beginend", readFile(device));
}

TEST(PrinterStatusReplies, DecodeToTheFirstStateThatHolds) {
    const int none = -1;
    struct Case {
        const char* what;
        PrinterReach reach;
        int replies[4];
        PrinterState state;
        int online, coverOpen, drawer;
        const char* paper;
        const char* error;
    };
    const Case cases[] = {
        {"no device", PRINTER_REACH_NO_DEVICE, {none, none, none, none}, PRINTER_NO_DEVICE, -1, -1, -1, NULL, NULL},
        {"unavailable",
         PRINTER_REACH_UNAVAILABLE,
         {none, none, none, none},
         PRINTER_UNAVAILABLE,
         -1,
         -1,
         -1,
         NULL,
         NULL},
        {"busy", PRINTER_REACH_BUSY, {none, none, none, none}, PRINTER_BUSY, -1, -1, -1, NULL, NULL},
        {"no answer", PRINTER_REACH_OPENED, {none, none, none, none}, PRINTER_NO_ANSWER, -1, -1, -1, NULL, NULL},
        {"ready", PRINTER_REACH_OPENED, {0x12, 0x12, 0x12, 0x12}, PRINTER_READY, 1, 0, 0, "ok", NULL},
        // Ready needs n=1, 2 and 4; what the missing replies leave open is no answer.
        {"first reply only", PRINTER_REACH_OPENED, {0x16, none, none, none}, PRINTER_NO_ANSWER, 1, -1, 1, NULL, NULL},
        {"offline only", PRINTER_REACH_OPENED, {0x1A, none, none, none}, PRINTER_NO_ANSWER, 0, -1, 0, NULL, NULL},
        {"paper unknown", PRINTER_REACH_OPENED, {0x12, 0x12, 0x12, none}, PRINTER_NO_ANSWER, 1, 0, 0, NULL, NULL},
        {"n=2: cover open", PRINTER_REACH_OPENED, {none, 0x16, none, none}, PRINTER_COVER_OPEN, -1, 1, -1, NULL, NULL},
        {"near end is ready", PRINTER_REACH_OPENED, {0x12, 0x12, 0x12, 0x16}, PRINTER_READY, 1, 0, 0, "near-end", NULL},
        {"paper end stop without sensor reply",
         PRINTER_REACH_OPENED,
         {0x1A, 0x32, none, none},
         PRINTER_PAPER_OUT,
         0,
         0,
         0,
         NULL,
         NULL},
        {"cover open wins over paper out",
         PRINTER_REACH_OPENED,
         {0x1A, 0x36, 0x12, 0x72},
         PRINTER_COVER_OPEN,
         0,
         1,
         0,
         "out",
         NULL},
        {"paper out wins over error",
         PRINTER_REACH_OPENED,
         {0x1A, 0x52, 0x16, 0x32},
         PRINTER_PAPER_OUT,
         0,
         0,
         0,
         "out",
         "mechanical"},
        {"error flag without cause",
         PRINTER_REACH_OPENED,
         {0x12, 0x52, none, 0x12},
         PRINTER_ERROR,
         1,
         0,
         0,
         "ok",
         NULL},
        {"error, no n=4", PRINTER_REACH_OPENED, {0x12, 0x52, none, none}, PRINTER_NO_ANSWER, 1, 0, 0, NULL, NULL},
        {"unrecoverable",
         PRINTER_REACH_OPENED,
         {0x1A, 0x12, 0x32, 0x12},
         PRINTER_ERROR,
         0,
         0,
         0,
         "ok",
         "unrecoverable"},
        {"auto-recoverable",
         PRINTER_REACH_OPENED,
         {0x1A, 0x12, 0x52, 0x12},
         PRINTER_ERROR,
         0,
         0,
         0,
         "ok",
         "auto-recoverable"},
        {"error wins over offline",
         PRINTER_REACH_OPENED,
         {0x1A, 0x12, 0x1A, 0x12},
         PRINTER_ERROR,
         0,
         0,
         0,
         "ok",
         "autocutter"},
    };
    for (const Case& c : cases) {
        PrinterStatus status;
        status.reach = c.reach;
        for (int i = 0; i < 4; i++) {
            status.replies[i] = c.replies[i];
        }
        PrinterCondition got = escposConditionOf(&status);
        EXPECT_STREQ(escposStateName(c.state), escposStateName(got.state)) << c.what;
        EXPECT_EQ(c.online, got.online) << c.what;
        EXPECT_EQ(c.coverOpen, got.coverOpen) << c.what;
        EXPECT_EQ(c.drawer, got.drawerPin3High) << c.what;
        EXPECT_STREQ(c.paper, got.paper) << c.what;
        EXPECT_STREQ(c.error, got.error) << c.what;
    }
}

TEST(PrinterStatusRequest, GivesUpOnAHeldPrinterAndLeavesTheQueueInOrder) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    ASSERT_EQ(1, escpos_print(device.c_str(), 1, "0", 1));
    auto job = [&device](const char* text) {
        return std::thread([&device, text] {
            EXPECT_EQ(1, escpos_print(device.c_str(), 1, text, 1));
            EXPECT_EQ(0, closeJob());
        });
    };
    auto waitForQueue = [](size_t length) {
        for (int tries = 0; escposJobsWaitingForTesting() < length && tries < 5000; tries++) {
            usleep(1000);
        }
        return escposJobsWaitingForTesting();
    };
    std::thread first = job("1");
    ASSERT_EQ(1u, waitForQueue(1));
    PrinterStatus status{};
    std::thread asking([&] { status = escposAskStatus(device.c_str()); });
    ASSERT_EQ(2u, waitForQueue(2));
    std::thread second = job("2");
    ASSERT_EQ(3u, waitForQueue(3));
    asking.join();
    EXPECT_EQ(PRINTER_REACH_BUSY, status.reach);
    EXPECT_EQ(2u, escposJobsWaitingForTesting()) << "the status request left the middle of the queue";
    EXPECT_EQ(0, closeJob());
    first.join();
    second.join();
    EXPECT_EQ("012", readFile(device)) << "the jobs behind it still print in order";
    EXPECT_EQ(0u, escposJobsWaitingForTesting());

    // Free again: a regular file is opened but never asked, nor written to.
    status = escposAskStatus(device.c_str());
    EXPECT_EQ(PRINTER_REACH_OPENED, status.reach);
    EXPECT_EQ(-1, status.replies[0]);
    EXPECT_EQ("012", readFile(device));
}

struct CollectedReplies {
    std::mutex lock;
    std::string bytes;
};

ssize_t collectReply(void* context, const char* data, size_t length) {
    CollectedReplies* replies = (CollectedReplies*)context;
    std::lock_guard<std::mutex> hold(replies->lock);
    replies->bytes.append(data, length);
    return (ssize_t)length;
}

std::string collected(CollectedReplies& replies) {
    std::lock_guard<std::mutex> hold(replies.lock);
    return replies.bytes;
}

TEST(PrinterReplies, RawJobGetsItsRepliesUntilItEnds) {
    q2test::SimulatedPrinter printer;
    ASSERT_FALSE(printer.path().empty());
    printer.setMode(q2test::PrinterMode::PaperNearEnd);
    CollectedReplies replies;
    const char request[] = "\x1b@\x10\x04\x01\x10\x04\x04";
    ASSERT_EQ(8, escpos_print(printer.path().c_str(), 1, request, 8));
    escposForwardReplies(collectReply, &replies);
    for (int tries = 0; collected(replies).size() < 2 && tries < 5000; tries++) {
        usleep(1000);
    }
    EXPECT_EQ("\x12\x1e", collected(replies));
    EXPECT_EQ(0, closeJob());
    printer.sendUnasked("\x12");
    usleep(3 * EscposLimits().replyPollMs * 1000);
    EXPECT_EQ("\x12\x1e", collected(replies)) << "nothing reaches a job that ended";

    // A client that reads nothing never holds the printer: what it has not
    // taken is kept up to the bound, the rest dropped with a line, and the
    // job's end waits for it no longer than the stall limit.
    setLimits(300);
    ASSERT_EQ(2, escpos_print(printer.path().c_str(), 1, "\x1b@", 2));
    escposForwardReplies([](void*, const char*, size_t) -> ssize_t { return 0; }, nullptr);
    printer.sendUnasked(std::string(EscposLimits().replyPendingBytes + 4096, '\x12'));
    usleep(200 * 1000);
    testing::internal::CaptureStderr();
    auto ending = std::chrono::steady_clock::now();
    EXPECT_EQ(0, closeJob());
    auto endedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ending).count();
    std::string err = testing::internal::GetCapturedStderr();
    setLimits(0);
    EXPECT_LT(endedMs, 300 + 2 * EscposLimits().statusReplyMs + 200);
    EXPECT_NE(std::string::npos, err.find("Dropped ")) << err;

    // A job on a device that cannot answer forwards nothing and ends at once.
    TempDir dir;
    std::string file = dir.addFile("printer");
    ASSERT_EQ(3, escpos_print(file.c_str(), 1, "abc", 3));
    escposForwardReplies(collectReply, &replies);
    EXPECT_EQ(0, closeJob());
    EXPECT_EQ("abc", readFile(file));
}

// ---- Receipt boundaries ----------------------------------------------------------

using namespace std::string_literals;

std::string repeated(const std::string& bytes, size_t times) {
    std::string all;
    while (times-- > 0) {
        all += bytes;
    }
    return all;
}

// A stream in steps, and after each whether it stands between receipts (+) or not (-).
struct ReceiptCase {
    const char* name;
    std::vector<std::string> steps;
    const char* between;
};

const std::string CUT = "\x1dV\x00"s, ASK = "\x10\x04\x01";
const ReceiptCase RECEIPT_CASES[] = {
    {"status requests only", {"", ASK, "\x10\x04\x07\x01", "\x10\x05\x02\x10\x14\x01\x00\x05\x1dr\x01"s}, "++++"},
    {"each form of GS V",
     {"a", CUT + ASK, "b", "\x1dV\x01" + ASK, "c", "\x1dV0" + ASK, "d", "\x1dV1" + ASK, "e", "\x1dVAx",
      "f", "\x1dVBx", "g", "\x1dVax",         "h", "\x1dVbx",      "i", "\x1dVgx",      "j", "\x1dVhx"},
     "-+-+-+-+-+-+-+-+-+-+"},
    {"ESC i, ESC m, ESC @ after text, then text", {"a\n", "\x1bi", "b", "\x1bm", "c", "\x1b@", "d"}, "-+-+-+-"},
    {"a drawer kick after the cut", {"a", "\x1dVB\x03\x1bp\x00\x19\xfa"s}, "-+"},
    {"raster image full of GS V", {"\x1b@", "\x1dv0\x00\x00\x01\x03\x00"s + repeated(CUT, 256), CUT}, "+-+"},
    {"GS ( with a long payload", {"\x1d(L\x04\x01\x61\x62" + repeated(CUT, 86), CUT}, "-+"},
    {"bit image, graphics, barcode and stored image data",
     {"\x1b*\x21\x02\x00"s + CUT + CUT, "\x1d\x38L\x03\x00\x00\x00"s + CUT, "\x1dkA\x03" + CUT, "\x1cp\x1dV\x00"s},
     "----"},
    {"a command cut short", {"a", CUT, "\x1d", "V", "A", "\x05"}, "-+---+"},
    {"lines longer than a block, NUL runs with a letter or a drawer kick",
     {std::string(40, '\0'),
      "2 x Sourdough loaf            7.80\n\x1b"
      "E\x01TOTAL                 11.00\n",
      CUT, std::string(37, '\0') + "x" + std::string(21, '\0'), CUT,
      std::string(5, '\0') + "\x1bp\x00\x19\xfa"s + std::string(10, '\0')},
     "+-+-++"},
};

TEST(ReceiptBoundaries, AnyWayTheStreamIsSplitGivesTheSameAnswer) {
    for (const ReceiptCase& row : RECEIPT_CASES) {
        SCOPED_TRACE(row.name);
        ReceiptScan byStep, byByte;
        receiptScanStart(&byStep);
        receiptScanStart(&byByte);
        std::string whole;
        for (size_t i = 0; i < row.steps.size(); i++) {
            receiptScanFeed(&byStep, row.steps[i].data(), row.steps[i].size());
            for (char c : row.steps[i]) {
                receiptScanFeed(&byByte, &c, 1);
            }
            whole += row.steps[i];
            EXPECT_EQ(row.between[i] == '+', receiptScanAtBoundary(&byStep)) << "after step " << i;
            EXPECT_EQ(row.between[i] == '+', receiptScanAtBoundary(&byByte)) << "byte at a time, after step " << i;
        }
        for (size_t cut = 0; cut <= whole.size(); cut++) {
            ReceiptScan split;
            receiptScanStart(&split);
            receiptScanFeed(&split, whole.data(), cut);
            receiptScanFeed(&split, whole.data() + cut, whole.size() - cut);
            EXPECT_EQ(row.between[row.steps.size() - 1] == '+', receiptScanAtBoundary(&split)) << "split at " << cut;
        }
    }
}

} // namespace
