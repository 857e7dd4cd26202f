// simulated_printer.h: a receipt printer on a pseudo-terminal for tests. The
// terminal's far side (the device path) is what the server opens; this side
// records every byte it is sent and answers DLE EOT 1..4 from a settable
// state, like a real printer does, or stays mute, or answers late; it can
// take what it is sent at a serial line's pace. As a network printer it
// listens on a loopback port instead and serves one connection at a time,
// like a real one, with the same states and answers.
#pragma once

#include <pthread.h>
#include <termios.h>

#include <atomic>
#include <string>

namespace q2test {

enum class PrinterMode { Ready, PaperNearEnd, PaperOut, CoverOpen, Offline, Error };

// A network printer: see SimulatedPrinter(NetworkPrinter).
struct NetworkPrinter {};

// The reply bytes to DLE EOT 1, 2, 3 and 4 in a mode.
struct StatusReplies {
    unsigned char bytes[4];
};
StatusReplies statusRepliesFor(PrinterMode mode, bool drawerPin3High);

struct SimulatedPrinter {
    // Opens the terminal; its device side is put in raw mode first unless
    // leaveCooked is set (a serial line nobody configured). Empty path() on failure.
    explicit SimulatedPrinter(bool leaveCooked = false);
    // Listens on 127.0.0.1 with a receive buffer as small as a printer's;
    // path() is "socket://127.0.0.1:PORT".
    explicit SimulatedPrinter(NetworkPrinter);
    ~SimulatedPrinter();
    SimulatedPrinter(const SimulatedPrinter&) = delete;
    SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

    // The device the server is to open ("/dev/pts/N").
    const std::string& path() const {
        return devicePath;
    }
    void setMode(PrinterMode mode);
    void setDrawerPin3High(bool high);
    // A mute printer takes bytes and never answers.
    void setMute(bool mute);
    // Every reply is sent this long after its request.
    void setReplyDelayMs(int milliseconds);
    // Sets the terminal's line speed (9600 or 19200 baud) and from now on
    // takes what it is sent at that line's pace (a tenth of it in bytes a
    // second), or at once (a USB printer posing as a serial port).
    void setLineSpeed(int baud, bool paced = true);
    // Sets output flow control (IXON) on the terminal, as a user with stty would.
    void setIxon(bool on);
    // The terminal's modes as the server left them.
    struct termios lineModes() const;
    // Sends bytes to the device side now, as a reply nobody asked for.
    void sendUnasked(const std::string& bytes);
    // Everything the server wrote to the device, status requests included.
    std::string received() const;
    // How many DLE EOT n requests came so far.
    int statusRequests() const;
    // Waits (bounded) until received() has at least `size` bytes.
    bool waitForReceived(size_t size, int timeoutMs = 5000) const;
    // Network printer: takes connections but reads nothing from them while set.
    void setStopReading(bool stopReading);
    // Network printer: serves another host while set, so that new
    // connections wait in its listening queue, unserved.
    void setStopAccepting(bool stopAccepting);
    // Network printer: its listening queue is full while set, so that a new
    // connection is not taken at all.
    void setQueueFull(bool full);
    // Network printer: closes the connection once it has read `count` bytes
    // of it, leaving the rest unread; once.
    void closeAfter(int count);
    // Network printer: how many connections it took so far.
    int connections() const;

    // Owned here; only the serving thread touches master after start.
    int master = -1;
    int deviceSide = -1;             // kept open so that the terminal outlives the server's opens
    int listener = -1;               // the network printer's; its connection is the serving thread's
    std::atomic<int> connection{-1}; // the one served now, for sendUnasked
    std::atomic<bool> stopReading{false};
    std::atomic<bool> stopAccepting{false};
    int queueFillers[8] = {-1, -1, -1, -1, -1, -1, -1, -1}; // the connections that fill its queue
    std::atomic<int> closeAfterBytes{0};
    std::atomic<int> accepted{0};
    std::string devicePath;
    pthread_t thread{};
    bool threadStarted = false;
    std::atomic<bool> stop{false};
    std::atomic<int> mode{(int)PrinterMode::Ready};
    std::atomic<bool> drawerHigh{false};
    std::atomic<bool> mute{false};
    std::atomic<int> replyDelayMs{0};
    std::atomic<int> bytesPerSecond{0}; // 0: takes everything at once
    std::atomic<int> requests{0};
    mutable pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::string log; // under lock
};

// Runs the printer's side until stop is set; the thread's body.
void* simulatedPrinterServe(void* printer);

} // namespace q2test
