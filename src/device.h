// device.h: device output and the printer's replies, implemented once per
// platform (device_*.cpp). A network printer (socket://HOST[:PORT]) is a
// device of its own kind (device_socket*.cpp): its handle is a connected
// socket, which the functions below that take a DeviceHandle handle too.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// An open device, or DEVICE_CLOSED.
typedef intptr_t DeviceHandle;
static const DeviceHandle DEVICE_CLOSED = -1;

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

// Closes the device.
void deviceClose(DeviceHandle device);

// ---- Network printers ---------------------------------------------------------

// The port of a network printer's name that gives none.
static const unsigned DEVICE_SOCKET_DEFAULT_PORT = 9100;
// A network printer that has not taken the connection by then cannot be opened.
static const int DEVICE_SOCKET_CONNECT_TIMEOUT_MS = 5000;

// Whether name is a network printer's: it begins with "socket://". Every
// other name keeps its meaning.
bool deviceNameIsSocket(const char* name);

// Splits a network printer's name into its host (brackets of an IPv6
// literal removed) and port. False when the name is not of the form
// socket://HOST[:PORT] with a port in 1..65535 or the host does not fit.
bool deviceSocketAddress(const char* name, char* host, size_t hostCapacity, unsigned* port);

// Looks the host up anew and connects to it, trying each address it has
// within DEVICE_SOCKET_CONNECT_TIMEOUT_MS in all. On failure (a bad name,
// no such host, refused, no answer in time) prints one line with the name
// and the reason and returns DEVICE_CLOSED.
DeviceHandle deviceOpenSocket(const char* name);

// Whether the handle is a network printer's connection.
bool deviceIsSocket(DeviceHandle device);

// A network printer's writes and reads, with the meaning of deviceWriteAll
// and deviceReadWithin, which hand socket handles here. A printer that
// closed or reset the connection fails the write; its reads return -1.
bool deviceSocketWriteAll(DeviceHandle device, const char* data, size_t len, int stallTimeoutMs,
                          const char* deviceName);
ssize_t deviceSocketReadWithin(DeviceHandle device, char* buffer, size_t capacity, int timeoutMs);

// Ends a network printer's connection: shuts its sending side, so that the
// printer knows the job is complete, drops what the printer still sends for
// a moment (closing on unread bytes would reset the connection under the
// job's last bytes), and closes it. deviceClose does this for sockets.
void deviceCloseSocket(DeviceHandle device);
