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
using q2test::converse;
using q2test::converseInParts;
using q2test::localPort;
using q2test::monotonicMs;
using q2test::outputHasSanitizerReport;
using q2test::peerHasClosed;
using q2test::readAtLeast;
using q2test::readFile;
using q2test::readUntilClosed;
using q2test::sendAll;
using q2test::startServer;
using q2test::stopServer;
using q2test::waitUntil;
using q2test::writeFile;

} // namespace blackbox
