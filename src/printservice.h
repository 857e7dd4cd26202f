// printservice.h: what the print service's files share: the configured
// printer, who may print, and the program's entry point.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "webserver.h"

// The device name given with --device, or null; set once at start-up.
extern const char* printerDevicePath;

// The whole program: parses the command line and runs the chosen path, a
// server with the given limits. Returns the exit status.
int quorvel2Main(int argc, char** argv, const ServerLimits* limits);

// Begins the graceful stop of the server and of the printer's line, with
// SERVER_STOP_GRACE_MS for the jobs in progress; the jobs waiting for the
// printer are answered 503, the server is stopping. Returns at once.
void printServiceBeginStop(Server* server);

// ---- Who may print (access.cpp) ---------------------------------------------

// At most this many web page origins may be allowed.
static const int ALLOWED_ORIGINS_MAX = 16;

// Reads exactly `length` characters as a dotted-quad IPv4 address (four
// numbers 0..255 without leading zeros) into network byte order.
bool parseIPv4Address(const char* text, size_t length, uint32_t* addressInNetworkOrder);
// Adds an origin (scheme://host[:port] as browsers send it, or null) to those
// allowed to print; keeps the pointer. False, with nothing added, when it is
// malformed or the list is full. Only before the server starts.
bool allowOrigin(const char* origin);
// Whether the request may go on as far as its Origin header goes: no list,
// no Origin, or an origin in the list (scheme and host in any letter case, a
// default port the same as none).
bool requestOriginIsAllowed(const Request* request);
// Appends the CORS head lines for an answer to an allowed request: any
// origin without a list, else the request's own origin and Vary: Origin.
void appendCorsLines(HeapString* lines, const Request* request);
// Learns this machine's host name, with .local and with its domain, as names
// that a request's Host may carry. Once, before the server starts.
void learnThisMachinesNames(void);
// Whether the request's Host header, if any, names this machine: an IPv4 or
// IPv6 literal, localhost, a name under .localhost or one of its own names.
// A page whose DNS name was pointed at the till carries its own name.
bool requestHostIsThisMachine(const Request* request);

// ---- The job log's pages (jobroutes.cpp) -------------------------------------

// The answer to GET /jobs (?limit=N, at most JOBLOG_RECENT_MAX) and
// /jobs/<id>: JSON, or a page that refreshes itself for a browser that
// prefers HTML. CORS holds the lines that let a page read it.
Response* jobsAnswer(const Request* request, const char* CORS);
