// device_test.cpp: device output on Windows against real devices: named
// pipes created by the test play the printer (one that reads everything,
// one that stops reading, one that goes away, a duplex one that answers), a
// file shows the exclusive open, and escpos_print carries a whole job
// through the device namespace.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "device.h"
#include "escpos.h"
#include "webserver.h"

namespace {

// A named pipe whose server end the test holds: \\.\pipe\q2unit-PID-N.
struct TestPipe {
    std::string name; // as given to --device: "pipe\q2unit-..."
    std::string path; // as opened: "\\.\pipe\q2unit-..."
    HANDLE server;
};

TestPipe makePipe(DWORD inBufferBytes, DWORD direction = PIPE_ACCESS_INBOUND) {
    static int serial = 0;
    TestPipe pipe;
    char name[64];
    snprintf(name, sizeof(name), "pipe\\q2unit-%lu-%d", GetCurrentProcessId(), ++serial);
    pipe.name = name;
    pipe.path = std::string("\\\\.\\") + name;
    pipe.server = CreateNamedPipeA(pipe.path.c_str(), direction, PIPE_TYPE_BYTE | PIPE_WAIT, 1, inBufferBytes,
                                   inBufferBytes, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, pipe.server);
    return pipe;
}

// Reads the server end until the client closes; runs on its own thread.
struct Reader {
    HANDLE pipe;
    std::string received;
};

void* readUntilClosed(void* pointer) {
    Reader* reader = (Reader*)pointer;
    ConnectNamedPipe(reader->pipe, NULL);
    char buffer[4096];
    for (int guard = 0; guard < 100000; guard++) {
        DWORD got = 0;
        if (!ReadFile(reader->pipe, buffer, sizeof(buffer), &got, NULL) || got == 0) {
            break;
        }
        reader->received.append(buffer, got);
    }
    return NULL;
}

std::string pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++) {
        bytes[i] = (char)((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// The longest name the system can open reaches its own pipe, with or
// without the namespace prefix; one character more is refused rather than
// cut to another device's name.
TEST(DevicePath, TheLongestNameThatFitsOpensItsOwnDeviceAndALongerOneIsRefused) {
    std::string name = "pipe\\q2unit-long-" + std::to_string(GetCurrentProcessId()) + "-";
    name += std::string(MAX_PATH - 1 - 4 - name.size(), 'n'); // with the prefix and the NUL, MAX_PATH
    const std::string prefixed = "\\\\.\\" + name;
    const struct {
        std::string name;
        bool opens;
    } cases[] = {{name, true}, {prefixed, true}, {name + "x", false}, {prefixed + "x", false}};
    for (const auto& c : cases) {
        HANDLE server = CreateNamedPipeA(prefixed.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, server) << c.name.size();
        char path[DEVICE_PATH_CAPACITY] = "x";
        EXPECT_EQ(c.opens, devicePathFromName(c.name.c_str(), path, sizeof(path))) << c.name.size();
        if (c.opens) {
            DeviceHandle device = deviceOpenExclusive(path);
            ASSERT_NE(DEVICE_CLOSED, device) << c.name.size();
            EXPECT_TRUE(deviceWriteAll(device, "abc", 3, 5000, path));
            char got[4] = {};
            DWORD read = 0;
            EXPECT_TRUE(ReadFile(server, got, 3, &read, NULL));
            EXPECT_STREQ("abc", got) << "the bytes reached the pipe of that name";
            deviceClose(device);
        } else {
            EXPECT_STREQ("", path);
        }
        CloseHandle(server);
    }
}

TEST(DeviceOutput, MissingDeviceDoesNotOpen) {
    unsigned long error = 0;
    EXPECT_EQ(DEVICE_CLOSED, deviceOpenExclusive("\\\\.\\pipe\\q2unit-nobody-here"));
    EXPECT_EQ(DEVICE_CLOSED, deviceOpenShared("\\\\.\\pipe\\q2unit-nobody-here", &error));
    EXPECT_EQ((unsigned long)ERROR_FILE_NOT_FOUND, error);
}

TEST(DeviceOutput, ExclusiveOpenKeepsOtherOpenersOut) {
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    char file[MAX_PATH];
    snprintf(file, sizeof(file), "%sq2unit-%lu.bin", folder, GetCurrentProcessId());
    CloseHandle(CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));

    DeviceHandle first = deviceOpenExclusive(file);
    ASSERT_NE(DEVICE_CLOSED, first);
    unsigned long error = 0;
    EXPECT_EQ(DEVICE_CLOSED, deviceOpenExclusive(file));
    EXPECT_EQ(DEVICE_CLOSED, deviceOpenShared(file, &error));
    EXPECT_EQ((unsigned long)ERROR_SHARING_VIOLATION, error);
    deviceClose(first);

    DeviceHandle again = deviceOpenExclusive(file);
    EXPECT_NE(DEVICE_CLOSED, again);
    deviceClose(again);
    DeleteFileA(file);
}

TEST(DeviceOutput, LargeWriteArrivesWholeThroughASmallPipe) {
    TestPipe pipe = makePipe(1024);
    Reader reader = {pipe.server, std::string()};
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, NULL, readUntilClosed, &reader));

    DeviceHandle device = DEVICE_CLOSED;
    for (int attempt = 0; attempt < 200 && device == DEVICE_CLOSED; attempt++) {
        device = deviceOpenExclusive(pipe.path.c_str());
        if (device == DEVICE_CLOSED) {
            Sleep(10);
        }
    }
    ASSERT_NE(DEVICE_CLOSED, device);
    std::string job = pattern(200000);
    EXPECT_TRUE(deviceWriteAll(device, job.data(), job.size(), 10000, pipe.name.c_str()));
    deviceClose(device);
    pthread_join(thread, NULL);
    EXPECT_EQ(job.size(), reader.received.size());
    EXPECT_TRUE(job == reader.received);
    CloseHandle(pipe.server);
}

TEST(DeviceOutput, WriteThatMakesNoProgressFailsAfterTheStallLimit) {
    TestPipe pipe = makePipe(1024); // connected, but nobody reads
    DeviceHandle device = deviceOpenExclusive(pipe.path.c_str());
    ASSERT_NE(DEVICE_CLOSED, device);
    std::string job = pattern(256 * 1024);
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(deviceWriteAll(device, job.data(), job.size(), 500, pipe.name.c_str()));
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, 450u);
    EXPECT_LT(elapsed, 20000u);
    deviceClose(device);
    CloseHandle(pipe.server);
}

TEST(DeviceOutput, WriteToAPrinterThatWentAwayFails) {
    TestPipe pipe = makePipe(1024);
    DeviceHandle device = deviceOpenExclusive(pipe.path.c_str());
    ASSERT_NE(DEVICE_CLOSED, device);
    DisconnectNamedPipe(pipe.server);
    CloseHandle(pipe.server);
    std::string job = pattern(4096);
    EXPECT_FALSE(deviceWriteAll(device, job.data(), job.size(), 5000, pipe.name.c_str()));
    deviceClose(device);
}

TEST(PrinterChannel, JobOnAPipeNameReachesThePipeAndClosesIt) {
    TestPipe pipe = makePipe(4096);
    Reader reader = {pipe.server, std::string()};
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, NULL, readUntilClosed, &reader));
    Sleep(50); // let the reader wait for its client

    std::string first = "\x1b@first chunk ";
    std::string second = pattern(50000);
    ASSERT_EQ((ssize_t)first.size(), escpos_print(pipe.name.c_str(), 1, first.data(), (ssize_t)first.size()));
    EXPECT_EQ((ssize_t)second.size(), escpos_print(NULL, 3, second.data(), (ssize_t)second.size()));
    EXPECT_EQ(0, escpos_print(NULL, 5, NULL, 0)); // closes the job: the reader sees the end
    pthread_join(thread, NULL);
    EXPECT_TRUE(first + second == reader.received);
    CloseHandle(pipe.server);

    // The same name again, with the pipe gone: the job does not open.
    EXPECT_EQ(0, escpos_print(pipe.name.c_str(), 1, first.data(), (ssize_t)first.size()));
}

TEST(DeviceReplies, ADuplexPipeIsReadWithinTheLimitAndAnInboundOneIsNot) {
    TestPipe duplex = makePipe(1024, PIPE_ACCESS_DUPLEX);
    DeviceHandle device = deviceOpenExclusive(duplex.path.c_str());
    ASSERT_NE(DEVICE_CLOSED, device);
    EXPECT_TRUE(deviceCanAnswer(device));
    char reply[8];
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(0, deviceReadWithin(device, reply, sizeof(reply), 300)) << "nothing sent yet";
    EXPECT_GE(GetTickCount64() - start, 250u);
    EXPECT_EQ(0, deviceReadWithin(device, reply, sizeof(reply), 0));
    ConnectNamedPipe(duplex.server, NULL);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(duplex.server, "\x12\x16", 2, &written, NULL));
    ASSERT_EQ(2, deviceReadWithin(device, reply, sizeof(reply), 5000));
    EXPECT_EQ(0, memcmp(reply, "\x12\x16", 2));
    // The handle still takes a job while replies are read.
    EXPECT_TRUE(deviceWriteAll(device, "\x10\x04\x01", 3, 5000, duplex.name.c_str()));
    char request[3];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(duplex.server, request, sizeof(request), &got, NULL));
    EXPECT_EQ(0, memcmp(request, "\x10\x04\x01", 3));
    deviceClose(device);
    CloseHandle(duplex.server);

    // A pipe that only takes bytes is opened write-only: it cannot be read.
    TestPipe inbound = makePipe(1024);
    device = deviceOpenExclusive(inbound.path.c_str());
    ASSERT_NE(DEVICE_CLOSED, device);
    EXPECT_EQ(-1, deviceReadWithin(device, reply, sizeof(reply), 100));
    deviceClose(device);
    CloseHandle(inbound.server);

    // A disk file never answers, so that it holds exactly the jobs.
    char folder[MAX_PATH];
    GetTempPathA(sizeof(folder), folder);
    char file[MAX_PATH];
    snprintf(file, sizeof(file), "%sq2unit-answer-%lu.bin", folder, GetCurrentProcessId());
    CloseHandle(CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    device = deviceOpenExclusive(file);
    ASSERT_NE(DEVICE_CLOSED, device);
    EXPECT_FALSE(deviceCanAnswer(device));
    deviceClose(device);
    DeleteFileA(file);
}

} // namespace
