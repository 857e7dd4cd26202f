// serverprocess.h: the names the black-box tests use for the shared test
// helpers (tests/support/testsupport.h): the built server as a child process
// on a free loopback port, and the sockets to talk to it.
#pragma once

#include "testsupport.h"

namespace blackbox {

using q2test::DEFAULT_TIMEOUT_MS;
using q2test::ServerExit;
using q2test::ServerProcess;
using q2test::TempDir;

using q2test::closeWithReset;
using q2test::connectLoopback;
using q2test::localPort;
using q2test::monotonicMs;
using q2test::outputHasSanitizerReport;
using q2test::peerHasClosed;
using q2test::readAtLeast;
using q2test::readFile;
using q2test::sendAll;
using q2test::startServer;
using q2test::stopServer;
using q2test::waitUntil;
using q2test::withJobIdMasked;
using q2test::writeFile;

// The shared exchanges with every answer's job id masked (withJobIdMasked);
// q2test's own give the id.
inline std::string converse(int port, const std::string& request, int timeoutMs = DEFAULT_TIMEOUT_MS,
                            const char* fromAddress = nullptr) {
    return withJobIdMasked(q2test::converse(port, request, timeoutMs, fromAddress));
}
inline std::string converseInParts(int port, const std::vector<std::string>& parts,
                                   int timeoutMs = DEFAULT_TIMEOUT_MS) {
    return withJobIdMasked(q2test::converseInParts(port, parts, timeoutMs));
}
inline std::string readUntilClosed(int socket, int timeoutMs = DEFAULT_TIMEOUT_MS, bool* timedOut = nullptr,
                                   size_t limit = SIZE_MAX) {
    return withJobIdMasked(q2test::readUntilClosed(socket, timeoutMs, timedOut, limit));
}

} // namespace blackbox
