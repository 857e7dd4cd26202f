// Black-box tests of the command line: help and version texts, the order in
// which options are checked, every refusal with its message and exit status,
// and the built-in test receipt written to real files and devices.
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulated_printer.h"
#include "testsupport.h"

namespace {

using RunResult = q2test::ProgramRun;

// Runs the program under test; see q2test::runProgram.
RunResult runProgram(const std::vector<std::string>& args, int limitMs = 10000) {
    return q2test::runProgram(QUORVEL2_BINARY, args, {}, limitMs);
}

using q2test::readFile;
using q2test::TempDir;

const char HELP_TEXT[] =
    "Tolvane Printserver V2\n"
    "\n"
    "Usage: quorvel2\n"
    " [--help] [--version] [-p <NUM>] [-d <DEV>] [--test] [--discover] [-l <ADDR>] [--allow-origin=<ORIGIN>]... "
    "[--tls-cert=<FILE>] [--tls-key=<FILE>] [--state-dir=<DIR>]\n"
    "\n"
    "Options:\n"
    "  --help                    Print help and exit\n"
    "  --version                 Print version and exit\n"
    "  -p, --port=<NUM>          TCP port number (default: 8090)\n"
    "  -d, --device=<DEV>        Device for printing (e.g. /dev/usb/lp0 or vid_04b8 on Windows)\n"
    "  --test                    Print test receipt and exit\n"
    "  --discover                List USB printers with their vid/pid and exit\n"
    "  -l, --listen=<ADDR>       IPv4 address to listen on (default: 0.0.0.0, every address)\n"
    "  --allow-origin=<ORIGIN>   Web page origin allowed to print (repeatable; default: any origin)\n"
    "  --tls-cert=<FILE>         Certificate chain (PEM) for HTTPS instead of one made here\n"
    "  --tls-key=<FILE>          Private key (PEM) of the --tls-cert certificate\n"
    "  --state-dir=<DIR>         Folder for the certificate authority, certificates and job log\n";

const char PORT_ERROR[] = "Error: A valid TCP port number in range 1 .. 65535 is required\n";
const char DEVICE_ERROR[] = "Error: A valid device name is required\n";
const char TEST_NEEDS_DEVICE[] = "Error: --test requires a device (-d)\n";

const std::string TEST_RECEIPT("\x1b\x40\x1b\x40"
                               "#4, Dalmor\n"
                               "\x1d\x21\x11"
                               "Sporthalle\nTisch 2\n"
                               "\x1d\x21\x00"
                               "\n"
                               "- Weizen (2,30 EUR)\n"
                               "\x1b\x64\x03"
                               "\x1d\x56\x41\x03",
                               68);

TEST(CommandLine, HelpIsExactAndWinsOverEverything) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"--help", "--version"}, {"--version", "--help", "--discover", "-p", "0", "-d", ""}}) {
        RunResult run = runProgram(args);
        EXPECT_EQ(0, run.exitStatus);
        EXPECT_EQ(HELP_TEXT, run.out);
        EXPECT_EQ("", run.err);
    }
}

// A row's program arguments and what it must write to standard error.
struct ArgumentsAndErr {
    std::vector<std::string> args;
    std::string err;
};

TEST(CommandLine, VersionWinsOverDiscoverAndValidationAndWarnsOfWordsItDropped) {
    const ArgumentsAndErr rows[] = {
        {{"--version"}, ""},
        {{"--version", "--discover"}, ""},
        {{"--version", "-p", "0"}, ""},
        {{"--bogus", "stray", "--version"},
         "Warning: ignoring unknown option '--bogus'\nWarning: ignoring stray argument 'stray'\n"},
        {{"--version", "--versoin"}, "Warning: ignoring unknown option '--versoin'\n"}, // starts nothing: not refused
        {{"--version", "-xp8091", "--port=1"},
         "Warning: ignoring unknown option '-x'\nWarning: '--port' given twice; using 8091\n"},
        {{"--version", "--tes=1", "--d", "-d", "a\nb", "-d"},
         "Warning: '--tes' takes no value; ignoring '--tes=1'\nWarning: ignoring ambiguous option '--d'\n"
         "Warning: '-d' needs a value; using 'a\\x0Ab'\n"},
    };
    for (const ArgumentsAndErr& row : rows) {
        RunResult run = runProgram(row.args);
        EXPECT_EQ(0, run.exitStatus);
        EXPECT_EQ("1.0.0\n", run.out);
        EXPECT_EQ(row.err, run.err);
    }
}

TEST(CommandLine, DiscoverIgnoresABadPort) {
    RunResult run = runProgram({"--discover", "-p", "0"});
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(0u, run.out.find("USB printers (usbprint.sys):\n\n")) << run.out;
    EXPECT_EQ(std::string::npos, run.err.find("Error:"));
}

TEST(CommandLine, PortsOutOfRangeAreRefused) {
    for (const char* port : {"0", "65536", "-1"}) {
        RunResult run = runProgram({"-p", port, "-d", "/dev/null"});
        EXPECT_EQ(1, run.exitStatus) << port;
        EXPECT_EQ(PORT_ERROR, run.err) << port;
        EXPECT_EQ("", run.out) << port;
    }
}

TEST(CommandLine, PortIsCheckedBeforeTheDeviceAndTheTest) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    RunResult run = runProgram({"--test", "-p", "0", "-d", device});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ(PORT_ERROR, run.err);
    EXPECT_EQ("", readFile(device));

    run = runProgram({"--port=70000", "--device="});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ(PORT_ERROR, run.err);
}

TEST(CommandLine, EmptyDeviceIsRefused) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-d", ""}, {"--device=", "--test"}}) {
        RunResult run = runProgram(args);
        EXPECT_EQ(1, run.exitStatus);
        EXPECT_EQ(DEVICE_ERROR, run.err);
        EXPECT_EQ("", run.out);
    }
}

// Where the program keeps its certificates in these runs.
const TempDir STATE_FOLDER;

// Put in front of the program, makes every bind fail as if the port were taken.
const std::vector<std::string> BIND_REFUSED = {"LD_PRELOAD=" BIND_REFUSED_LIBRARY,
                                               "ASAN_OPTIONS=verify_asan_link_order=0",
                                               "STATE_DIRECTORY=" + STATE_FOLDER.path};

// The program refuses `args` with `error` alone and status 1, starting nothing
// (one that starts in error cannot take a port: it says so and fails).
void expectRefused(const std::vector<std::string>& args, const std::string& error) {
    RunResult run = q2test::runProgram(QUORVEL2_BINARY, args, BIND_REFUSED);
    EXPECT_EQ(1, run.exitStatus) << error;
    EXPECT_EQ(error, run.err);
    EXPECT_EQ("", run.out) << error;
}

TEST(CommandLine, ListenAddressesThatAreNotIPv4AreRefused) {
    for (const char* address :
         {"", "localhost", "127.0.0", "127.0.0.1.", "256.0.0.1", "127.0.0.01", "::1", "1.2.3.4 "}) {
        expectRefused({"--listen", address, "-d", "/dev/null"},
                      std::string("Error: --listen needs an IPv4 address such as 127.0.0.1, not '") + address + "'\n");
    }
}

TEST(CommandLine, MalformedOriginsAndTooManyAreRefused) {
    const std::string error = "Error: --allow-origin needs an origin such as https://till.example:8443, not '";
    for (const char* origin : {"", "till.example", "http://", "http://till.example/", "http://till.example:",
                               "http://till.example:65536", "http://[::1", "http://a b", "1http://x", "nul"}) {
        expectRefused({"--allow-origin=http://ok.example", std::string("--allow-origin=") + origin},
                      error + origin + "'\n");
    }
    expectRefused(std::vector<std::string>(17, "--allow-origin=http://till.example"),
                  "Error: --allow-origin may be given at most 16 times\n");
}

// Unknown words within two edits (a swap of neighbours is one) of a long
// option, in any letter case, may be a security option dropped on the floor.
TEST(CommandLine, MistypedOptionsAreRefusedNamingTheOneMeant) {
    const ArgumentsAndErr rows[] = {
        {{"--allow-orgin", "https://pos.example.com", "-d", "/dev/null"},
         "'--allow-orgin'; did you mean '--allow-origin'"},
        {{"--devcie", "/dev/null"}, "'--devcie'; did you mean '--device'"},
        {{"--lisen=127.0.0.1", "--test"}, "'--lisen'; did you mean '--listen'"},
        {{"-p", "8091", "--LSITNE", "127.0.0.1"}, "'--LSITNE'; did you mean '--listen'"},
        {{"allow-origin", "https://pos.example.com"}, "'allow-origin'; did you mean '--allow-origin'"},
    };
    for (const ArgumentsAndErr& row : rows) {
        expectRefused(row.args, "Error: unknown option " + row.err + "?\n");
    }
}

TEST(CommandLine, TestNeedsADevice) {
    RunResult run = runProgram({"--test"});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ(TEST_NEEDS_DEVICE, run.err);
    EXPECT_EQ("", run.out);
}

// The server starts on the port it was given (or the default) and tries to
// listen on every IPv4 address there. Every bind fails in this run, so it
// says which port it tried and ends with status 1, never holding a port.
// The certificates go to stateFolder when given.
void expectServerTriedPort(const std::vector<std::string>& args, const char* port, const std::string& err = "",
                           const std::string& stateFolder = "") {
    std::vector<std::string> environment = BIND_REFUSED;
    if (!stateFolder.empty()) {
        environment.back() = "STATE_DIRECTORY=" + stateFolder;
    }
    RunResult run = q2test::runProgram(QUORVEL2_BINARY, args, environment, 5000);
    EXPECT_EQ(1, run.exitStatus) << run.out;
    EXPECT_EQ(0u, run.out.find("Starting quorvel2 1.0.0\n")) << run.out;
    std::string bindFailure = std::string("Could not bind to 0.0.0.0:") + port + " ";
    EXPECT_NE(std::string::npos, run.out.find(bindFailure)) << run.out;
    EXPECT_EQ(err, run.err);
}

TEST(CommandLine, AcceptedPortsStartTheServer) {
    for (const char* port : {"1", "65535"}) {
        expectServerTriedPort({"-p", port}, port);
    }
}

TEST(CommandLine, PortTheParserRejectsFallsBackToTheDefault) {
    // Letters, and a number beyond int, are rejected by the option parser:
    // the option then counts as absent.
    for (const char* port : {"abc", "4294967296"}) {
        expectServerTriedPort({"-p", port}, "8090",
                              std::string("Warning: '-p' cannot take '") + port + "'; using 8090\n");
    }
}

// The server listens on the --listen address alone (here on 127.0.0.1 and
// not on 127.0.0.2) and on the first port given (startServer gives
// "--port PORT" first); words it does not take are warned about and dropped.
TEST(CommandLine, ServesOnTheAddressAndPortGivenAndWarnsOfWordsItDropped) {
    const ArgumentsAndErr rows[] = {
        {{"--listen=127.0.0.1"}, ""},
        {{"-l", "127.0.0.1", "--bogus"}, "Warning: ignoring unknown option '--bogus'\n"},
        {{"-l", "127.0.0.1", "stray"}, "Warning: ignoring stray argument 'stray'\n"},
        {{"-l", "127.0.0.1", "-p", "1"}, "Warning: '-p' given twice; using PORT\n"},
    };
    for (const ArgumentsAndErr& row : rows) {
        q2test::TempDir dir;
        q2test::ServerProcess server;
        std::string error;
        ASSERT_TRUE(q2test::startServer(&server, QUORVEL2_BINARY, row.args, {}, dir.path, &error)) << error;
        int served = q2test::connectLoopback(server.port);
        int elsewhere = q2test::connectLoopback(server.port, nullptr, 0, "127.0.0.2");
        EXPECT_GE(served, 0);
        EXPECT_LT(elsewhere, 0) << "listens beyond 127.0.0.1";
        for (int socket : {served, elsewhere}) {
            if (socket >= 0) {
                close(socket);
            }
        }
        q2test::ServerExit exit = q2test::stopServer(&server);
        std::string err = row.err;
        size_t at = err.find("PORT");
        if (at != std::string::npos) {
            err.replace(at, 4, std::to_string(server.port));
        }
        EXPECT_EQ(err, exit.err);
    }
}

// The server's certificate comes from the state folder, named by --state-dir,
// else by the service manager (its first path), made owner-only; or from the
// shop's files (RSA here), which are refused at start when they cannot serve.
TEST(CommandLine, CertificatesComeFromTheStateFolderOrTheShopsFiles) {
    TempDir dir;
    const std::string shop = CLI_TEST_FILES "/shop-rsa.pem", expired = CLI_TEST_FILES "/expired-rsa.pem";
    struct Case {
        std::vector<std::string> args;
        std::string environmentFolder;
        std::string madeIn; // where the certificates must be, or "" when none are made
    };
    const Case started[] = {
        {{"-p", "1"}, dir.path + "/managed:" + dir.path + "/second", dir.path + "/managed"},
        {{"-p", "1", "--state-dir=" + dir.path + "/given/deeper"}, dir.path + "/unused", dir.path + "/given/deeper"},
        {{"-p", "1", "--tls-cert=" + shop, "--tls-key=" + shop}, dir.path + "/shop", ""},
    };
    for (const Case& c : started) {
        expectServerTriedPort(c.args, "1", "", c.environmentFolder);
        struct stat info;
        EXPECT_EQ(c.madeIn.empty() ? -1 : 0, stat((c.madeIn + "/ca.pem").c_str(), &info)) << c.madeIn;
        EXPECT_TRUE(c.madeIn.empty() || (0600 == (info.st_mode & 0777) && 0 == stat(c.madeIn.c_str(), &info) &&
                                         0700 == (info.st_mode & 0777)))
            << c.madeIn;
    }
    EXPECT_EQ(-1, access((dir.path + "/unused").c_str(), F_OK));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--test", "-d", dir.addFile("printer")}, std::vector<std::string>{"--discover"}}) {
        EXPECT_EQ(0, q2test::runProgram(QUORVEL2_BINARY, args, {"STATE_DIRECTORY=" + dir.path + "/none"}).exitStatus);
        EXPECT_EQ(-1, access((dir.path + "/none").c_str(), F_OK)) << args[0] << " makes no certificates";
    }

    const std::string missing = dir.path + "/missing.pem", notAFolder = dir.addFile("file") + "/state";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {{"--tls-cert=" + shop}, "Error: --tls-cert and --tls-key must be given together\n"},
        {{"--tls-key=" + shop}, "Error: --tls-cert and --tls-key must be given together\n"},
        {{"--tls-cert=" + missing, "--tls-key=" + shop},
         "Error: Cannot read '" + missing + "': No such file or directory\n"},
        {{"--tls-cert=" + shop, "--tls-key=" + expired},
         "Error: The key in '" + expired + "' does not belong to the certificate in '" + shop + "'\n"},
        {{"--tls-cert=" + expired, "--tls-key=" + expired},
         "Error: The certificate in '" + expired + "' expired on 2021-01-01\n"},
        {{"--state-dir=" + notAFolder},
         "Error: The state folder '" + notAFolder + "' cannot be used: Not a directory\n"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> args = {"-p", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult run = q2test::runProgram(QUORVEL2_BINARY, args, {"STATE_DIRECTORY=" + dir.path + "/refused"});
        EXPECT_EQ(1, run.exitStatus) << c.error;
        EXPECT_EQ(c.error, run.err);
        EXPECT_EQ("Starting quorvel2 1.0.0\n", run.out) << c.error;
    }
}

TEST(TestReceipt, WritesTheExact68BytesAndAppends) {
    TempDir dir;
    std::string device = dir.addFile("printer");
    RunResult run = runProgram({"--test", "-d", device});
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(TEST_RECEIPT, readFile(device));

    // A regular file used as a printer collects jobs one after another.
    run = runProgram({"--device", device, "--test"});
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(TEST_RECEIPT + TEST_RECEIPT, readFile(device));
}

TEST(TestReceipt, MissingDeviceFailsWithTheReason) {
    TempDir dir;
    std::string device = dir.path + "/absent";
    RunResult run = runProgram({"--test", "-d", device});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ("Cannot open printer device '" + device + "': No such file or directory\n", run.err);
    struct stat st;
    EXPECT_NE(0, stat(device.c_str(), &st)) << "the device must never be created";
}

TEST(TestReceipt, DeviceThatRefusesWritesFails) {
    // A node of our own for the full device, so that no other test's lock on
    // /dev/full can get in the way.
    TempDir dir;
    std::string full = dir.path + "/full";
    if (0 != mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7))) {
        full = "/dev/full";
    }
    RunResult run = runProgram({"--test", "-d", full});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ("Writing to printer device '" + full + "' failed: No space left on device\n", run.err);
}

TEST(TestReceipt, FifoWithoutReaderCannotBeOpened) {
    TempDir dir;
    std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    RunResult run = runProgram({"--test", "-d", fifo}, 5000);
    EXPECT_EQ(1, run.exitStatus) << "opening must not block on a FIFO without reader";
    EXPECT_NE(std::string::npos, run.err.find("Cannot open printer device '" + fifo + "'")) << run.err;
}

TEST(CommandLine, DeviceNamesTooLongForTheSystemAreRefusedBeforeAnything) {
    TempDir dir;
    const std::string names[] = {
        "/" + std::string(PATH_MAX, 'p'),                // longer than a path may be
        dir.path + "/" + std::string(NAME_MAX + 1, 'n'), // one part longer than a name may be
    };
    for (const std::string& name : names) {
        for (const std::vector<std::string>& extra : {std::vector<std::string>{"--test"}, std::vector<std::string>{}}) {
            std::vector<std::string> arguments = {"-p", "1", "-d", name};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            expectRefused(arguments, "Error: The device name '" + name + "' is too long for this system to open\n");
        }
    }
}

// A network printer takes the receipt over a connection of its own; its
// names are never cut, and one that cannot be reached fails with the reason.
TEST(TestReceipt, NetworkPrinterGetsThe68BytesOrTheReasonItCannot) {
    q2test::SimulatedPrinter printer{q2test::NetworkPrinter{}};
    ASSERT_FALSE(printer.path().empty());
    std::string port = printer.path().substr(printer.path().rfind(':') + 1);
    std::string refused = "socket://127.0.0.1:" + std::to_string(q2test::pickFreePort());
    struct Case {
        std::string name;
        int exitStatus;
        std::string err;
    };
    const Case cases[] = {
        {printer.path(), 0, ""},
        {"socket://[::ffff:127.0.0.1]:" + port, 0, ""},
        {refused, 1, "Cannot open printer device '" + refused + "': Connection refused\n"},
        {"socket://host:0", 1,
         "Warning: 'socket://host:0' is not a network printer's name (socket://HOST[:PORT])\n"
         "Cannot open printer device 'socket://host:0': not a network printer's name (socket://HOST[:PORT])\n"},
    };
    std::string expected;
    for (const Case& c : cases) {
        RunResult run = runProgram({"--test", "-d", c.name});
        EXPECT_EQ(c.exitStatus, run.exitStatus) << c.name;
        EXPECT_EQ(c.err, run.err) << c.name;
        expected += c.exitStatus == 0 ? TEST_RECEIPT : "";
        EXPECT_TRUE(printer.waitForReceived(expected.size()));
        EXPECT_TRUE(expected == printer.received()) << c.name;
    }
}

TEST(TestReceipt, OnlyLowerCaseVidGoesToTheUsbLookup) {
    TempDir dir;
    RunResult run = runProgram({"--test", "-d", "vid_ffff&pid_fffe"});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ("No USB printer matching 'vid_ffff&pid_fffe' found. Run --discover to list devices.\n", run.err);

    run = runProgram({"--test", "-d", "VID_FFFF"});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ("Cannot open printer device 'VID_FFFF': No such file or directory\n", run.err);
}

} // namespace
