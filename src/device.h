// device.h: device output and the printer's replies, implemented once per
// platform (device_*.cpp). A network printer (socket://HOST[:PORT]) is a
// device of its own kind (device_socket.cpp, with the socket primitives of
// each platform in device_socket_*.cpp): its handle is a connected socket,
// which the functions below that take a DeviceHandle handle too.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// What an open device is, as its open found it; writes and reads go by it.
enum DeviceKind {
    DEVICE_KIND_FILE,    // a disk file or a FIFO: takes bytes, never answers
    DEVICE_KIND_LINE,    // a terminal or COM port: a serial line with a driver's output queue
    DEVICE_KIND_PRINTER, // a printer port, a USB printer's handle, a pipe, another character device
    DEVICE_KIND_SOCKET,  // a network printer's connection
};

// An open device: the system's handle (descriptor, HANDLE or SOCKET), its
// kind, and whether it was opened for reading too.
struct Device {
    intptr_t system;
    DeviceKind kind;
    bool readable;
    size_t written; // bytes written since the open, for a socket's acknowledgement count
};

// An open device, owned by its opener until deviceClose; or DEVICE_CLOSED.
typedef Device* DeviceHandle;
static Device* const DEVICE_CLOSED = NULL;

// Room for the longest device path of any platform, with its terminating NUL.
static const size_t DEVICE_PATH_CAPACITY = 4096;

// Writes the path to open for a plain device name into path. False, with path
// emptied, when the platform cannot open a path that long (or it does not fit
// in pathCapacity): a cut name would open another device.
bool devicePathFromName(const char* name, char* path, size_t pathCapacity);

// Opens an existing device, exclusively against other processes where the
// platform allows it, without blocking. A device that can answer (a character
// device or a pipe handle) is opened for reading too where it allows it, and a
// terminal has what would change bytes switched off (its line speed, framing
// and flow control stay as they were set); anything else is opened
// write-only, a regular file for appending. On failure prints one line with the path and the error text and
// returns DEVICE_CLOSED.
DeviceHandle deviceOpenExclusive(const char* path);

// Opens an existing device as deviceOpenExclusive does, but shared with other
// openers. On failure returns DEVICE_CLOSED with the platform's error code in
// *errorCode.
DeviceHandle deviceOpenShared(const char* path, unsigned long* errorCode);

// Whether the open device may send replies: it is a device that can answer
// and was opened for reading. Never true for a regular file or a FIFO.
bool deviceCanAnswer(DeviceHandle device);

// How many bytes a second the device's serial line carries, from its line
// speed; 0 when it is no serial line (its bytes leave as they are taken).
long deviceLineBytesPerSecond(DeviceHandle device);

// How many written bytes the driver of a serial line still holds (TIOCOUTQ,
// or the output queue of ClearCommError); 0 for every other kind, and where
// the driver does not tell (a pseudo-terminal, a USB printer posing as a
// serial port: both take bytes as fast as they come).
long deviceBytesQueued(DeviceHandle device);

// Waits at most timeoutMs until the bytes written have left the device's
// output queue (at once for a device without one). Whether they have.
bool deviceWaitUntilSent(DeviceHandle device, int timeoutMs);

// Waits at most timeoutMs (0: not at all) for bytes from the device and reads
// up to capacity of them. Returns how many, 0 when none came in time, -1 when
// the device cannot be read (or has nothing more to send, ever).
ssize_t deviceReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs);

// Writes all len bytes, continuing short and interrupted writes. Returns
// false, after one line naming `deviceName` and the error, when a write fails
// or makes no progress for stallTimeoutMs.
bool deviceWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs, const char* deviceName);

// Closes the device and frees its record; a network printer's as
// deviceCloseSocket does with the stall limit given (0: no wait). Returns
// false when the job's bytes did not all arrive (only a network printer tells).
bool deviceClose(DeviceHandle device, int stallTimeoutMs = 0, const char* deviceName = NULL);

// ---- Network printers ---------------------------------------------------------

// The port of a network printer's name that gives none.
static const unsigned DEVICE_SOCKET_DEFAULT_PORT = 9100;

// Whether name is a network printer's: it begins with "socket://". Every
// other name keeps its meaning.
bool deviceNameIsSocket(const char* name);

// Splits a network printer's name into its host (brackets of an IPv6
// literal removed) and port. False when the name is not of the form
// socket://HOST[:PORT] with a port in 1..65535 or the host does not fit.
bool deviceSocketAddress(const char* name, char* host, size_t hostCapacity, unsigned* port);

// Looks the host up (what was found for it within the last few seconds is
// used again; a lookup never takes longer than the limit) and connects to
// it, trying each address it has within connectTimeoutMs in all. On failure
// (a bad name, no such host, refused, no answer in time) prints one line
// with the name and the reason and returns DEVICE_CLOSED.
DeviceHandle deviceOpenSocket(const char* name, int connectTimeoutMs);

// Looks a network printer's name up now, waiting at most timeoutMs, so that
// an open within the next seconds finds its addresses without waiting.
// False, after one line with the name and the reason, when the lookup
// failed or took too long (a name that is no network printer's is left to
// the open to report).
bool deviceSocketLookUp(const char* name, int timeoutMs);

// Whether the handle is a network printer's connection.
bool deviceIsSocket(DeviceHandle device);

// A network printer's writes and reads, with the meaning of deviceWriteAll
// and deviceReadWithin, which hand socket handles here. A printer that
// closed or reset the connection fails the write; its reads return -1.
bool deviceSocketWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                          const char* deviceName);
ssize_t deviceSocketReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs);

// Ends a network printer's connection: with a stall limit, first waits
// until the printer has acknowledged every byte written (the socket's unsent
// and unacknowledged count is zero) while it keeps acknowledging within the
// limit; then shuts the sending side, so that the printer knows the job is
// complete, drops what the printer still sends for a moment (closing on
// unread bytes would reset the connection; only with a stall limit), closes
// it and frees the record.
// False, after one line naming deviceName, when the printer stalled or
// reset the connection before it had every byte. deviceClose does this for sockets.
bool deviceCloseSocket(DeviceHandle device, int stallTimeoutMs, const char* deviceName);
