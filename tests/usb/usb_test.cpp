// The USB printer lookup and listing on Linux, against sysfs trees that the
// tests build in a temporary directory (with device nodes that are regular
// files): the exact listing, friendly names, the vid/pid text and its "Use"
// line, matching by device name, the one-try rule, every message, a job
// through escpos_print, and the program's --discover and --test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device.h"
#include "escpos.h"
#include "usb.h"
#include "testsupport.h"

namespace {

const char* const HEADING = "USB printers (usbprint.sys):\n\n";
const char* const NONE_FOUND = "  (none found \xE2\x80\x94 is the printer plugged in and powered on?)\n\n";

// One USB printer as sysfs shows it; empty strings are attributes that the
// device does not have.
struct Printer {
    unsigned number = 0; // lpN
    std::string busPort = "1-1";
    std::string idVendor = "04b8";
    std::string idProduct = "0202";
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string ieee1284Id;
    bool hasNode = true; // /dev/usb/lpN exists
};

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary);
    ASSERT_TRUE(file.good()) << path;
    file << content;
}

using q2test::readFile;

bool exists(const std::string& path) {
    struct stat info;
    return 0 == lstat(path.c_str(), &info);
}

// A temporary root with sys/ and dev/usb/ and helpers to plug printers in.
class UsbTree : public ::testing::Test {
  protected:
    q2test::TempDir folder;
    std::string root;
    std::string sys;
    std::string dev;

    void SetUp() override {
        ASSERT_FALSE(folder.path.empty());
        root = folder.path;
        sys = root + "/sys";
        dev = root + "/dev";
        makeDirectories(sys + "/devices/pci0000:00/0000:00:14.0/usb1");
        makeDirectories(dev + "/usb");
        usbSetRootsForTesting(sys.c_str(), dev.c_str());
    }

    void TearDown() override {
        usbSetRootsForTesting(nullptr, nullptr);
        // Emptied, for a test that plugs case after case into a fresh tree.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

    static void makeDirectories(const std::string& path) {
        std::string partial;
        std::stringstream parts(path);
        std::string part;
        while (std::getline(parts, part, '/')) {
            partial += part + "/";
            mkdir(partial.c_str(), 0755);
        }
        ASSERT_TRUE(exists(path)) << path;
    }

    std::string node(unsigned number) const {
        return dev + "/usb/lp" + std::to_string(number);
    }

    // Plugs a printer in under class `className` the way the kernel's
    // printer driver registers it: lpN/device links to the interface
    // directory, whose parent is the USB device directory.
    void plug(const Printer& printer, const std::string& className = "usbmisc") {
        std::string deviceDir = sys + "/devices/pci0000:00/0000:00:14.0/usb1/" + printer.busPort;
        std::string interfaceName = printer.busPort + ":1.0";
        makeDirectories(deviceDir + "/" + interfaceName);
        struct Attribute {
            const char* name;
            const std::string& value;
        };
        for (const Attribute& attribute :
             {Attribute{"idVendor", printer.idVendor}, Attribute{"idProduct", printer.idProduct},
              Attribute{"manufacturer", printer.manufacturer}, Attribute{"product", printer.product},
              Attribute{"serial", printer.serial}}) {
            if (!attribute.value.empty()) {
                writeFile(deviceDir + "/" + attribute.name, attribute.value + "\n");
            }
        }
        if (!printer.ieee1284Id.empty()) {
            writeFile(deviceDir + "/" + interfaceName + "/ieee1284_id", printer.ieee1284Id);
        }
        std::string classEntry = sys + "/class/" + className + "/lp" + std::to_string(printer.number);
        makeDirectories(classEntry);
        std::string target = "../../../devices/pci0000:00/0000:00:14.0/usb1/" + printer.busPort + "/" + interfaceName;
        ASSERT_EQ(0, symlink(target.c_str(), (classEntry + "/device").c_str()));
        if (printer.hasNode) {
            writeFile(node(printer.number), "");
        }
    }

    void unplug(const Printer& printer, const std::string& className = "usbmisc") {
        std::string classEntry = sys + "/class/" + className + "/lp" + std::to_string(printer.number);
        ASSERT_EQ(0, unlink((classEntry + "/device").c_str()));
        ASSERT_EQ(0, rmdir(classEntry.c_str()));
        remove(node(printer.number).c_str());
    }

    std::string identifier(const Printer& printer) const {
        std::string instance = printer.serial.empty() ? printer.busPort : printer.serial;
        return "usb#vid_" + printer.idVendor + "&pid_" + printer.idProduct + "#" + instance + "#" +
               node(printer.number);
    }
};

struct Captured {
    std::string out;
    std::string err;
};

Captured captureDiscover() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    usb_discover();
    Captured captured;
    captured.out = ::testing::internal::GetCapturedStdout();
    captured.err = ::testing::internal::GetCapturedStderr();
    return captured;
}

// usb_open with its messages; writes `mark` to the opened device and closes it.
struct OpenResult {
    bool opened = false;
    std::string err;
};

OpenResult openAndMark(const char* name, const std::string& mark) {
    ::testing::internal::CaptureStderr();
    DeviceHandle handle = usb_open(name);
    OpenResult result;
    result.err = ::testing::internal::GetCapturedStderr();
    result.opened = handle != DEVICE_CLOSED;
    if (result.opened) {
        EXPECT_EQ((ssize_t)mark.size(), write((int)handle->system, mark.data(), mark.size()));
        deviceClose(handle);
    }
    return result;
}

std::string noMatch(const std::string& name) {
    return "No USB printer matching '" + name + "' found. Run --discover to list devices.\n";
}

// ---- The listing ----------------------------------------------------------

TEST_F(UsbTree, WithoutThePrinterDriverTheListingSaysNoneFound) {
    // No class directory at all: a machine without the USB printer driver.
    Captured captured = captureDiscover();
    EXPECT_EQ(std::string(HEADING) + NONE_FOUND, captured.out);
    EXPECT_EQ("", captured.err);
}

TEST_F(UsbTree, AnEmptyClassDirectoryOrOneWithoutPrintersSaysNoneFound) {
    makeDirectories(sys + "/class/usbmisc/hiddev0");
    makeDirectories(sys + "/class/usbmisc/lpx");
    makeDirectories(sys + "/class/usbmisc/lp7"); // no device link: gone, not listed
    Captured captured = captureDiscover();
    EXPECT_EQ(std::string(HEADING) + NONE_FOUND, captured.out);
    EXPECT_EQ("", captured.err);
}

TEST_F(UsbTree, TwoPrintersAreListedInNumericOrderWithQuotedUseLines) {
    Printer second;
    second.number = 10;
    second.busPort = "1-4";
    second.idVendor = "0519";
    second.idProduct = "0001";
    second.manufacturer = "Nordbon";
    second.product = "R-200";
    plug(second);
    Printer first;
    first.number = 2;
    first.busPort = "1-1.3";
    first.manufacturer = "ACME";
    first.product = "ACME T-100"; // already starts with the manufacturer
    first.serial = "SN0042";
    plug(first);

    Captured captured = captureDiscover();
    std::string expected = std::string(HEADING) +
                           "  Name : ACME T-100\n"
                           "  Path : usb#vid_04b8&pid_0202#SN0042#" +
                           dev +
                           "/usb/lp2\n"
                           "  Use  : --device \"vid_04b8&pid_0202\"\n"
                           "\n"
                           "  Name : Nordbon R-200\n"
                           "  Path : usb#vid_0519&pid_0001#1-4#" +
                           dev +
                           "/usb/lp10\n"
                           "  Use  : --device \"vid_0519&pid_0001\"\n"
                           "\n";
    EXPECT_EQ(expected, captured.out);
    EXPECT_EQ("", captured.err);
}

TEST_F(UsbTree, PrintersAreListedByTheirNodeNumberNotByNameOrDirectoryOrder) {
    const unsigned numbers[] = {10, 1, 2, 0, 9, 11};
    for (unsigned number : numbers) {
        Printer printer;
        printer.number = number;
        printer.busPort = "1-" + std::to_string(number + 1);
        plug(printer);
    }
    std::string paths;
    std::istringstream lines(captureDiscover().out);
    for (std::string line; std::getline(lines, line);) {
        if (0 == line.compare(0, 9, "  Path : ")) {
            paths += line.substr(line.rfind('/') + 1) + " ";
        }
    }
    EXPECT_EQ("lp0 lp1 lp2 lp9 lp10 lp11 ", paths);
}

TEST_F(UsbTree, OlderKernelsRegisterPrintersInClassUsb) {
    Printer printer;
    printer.number = 0;
    printer.product = "T-100";
    plug(printer, "usb");
    Captured captured = captureDiscover();
    EXPECT_EQ(std::string(HEADING) + "  Name : T-100\n  Path : " + identifier(printer) +
                  "\n  Use  : --device \"vid_04b8&pid_0202\"\n\n",
              captured.out);
}

TEST_F(UsbTree, FriendlyNamesComeFromTheDeviceStringsElseTheDeviceIdElseUnknown) {
    struct Case {
        std::string manufacturer;
        std::string product;
        std::string ieee1284Id;
        std::string shown;
    };
    const Case cases[] = {
        {"ACME", "T-100", "MFG:Other;MDL:Ignored;", "ACME T-100"},
        {"", "T-100", "", "T-100"},
        {"ACME", "", "", "ACME"},
        {"", "", "MFG:ACME;CMD:ESC/POS;MDL:T-100;CLS:PRINTER;", "ACME T-100"},
        {"", "", "MANUFACTURER: ACME ;MODEL:T-200", "ACME T-200"},
        {"", "", "CMD:ESC/POS;", "(unknown)"},
        {"", "", "", "(unknown)"},
        {"", std::string(254, 'n'), "", std::string(254, 'n')}, // the longest shown
        {"", std::string(255, 'n'), "", "(unknown)"},           // too long: not shown
        {"ACME", "T\x1b[2J", "", "ACME T [2J"},                 // control bytes blanked
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        Printer printer;
        printer.manufacturer = c.manufacturer;
        printer.product = c.product;
        printer.ieee1284Id = c.ieee1284Id;
        plug(printer);
        Captured captured = captureDiscover();
        EXPECT_EQ(std::string(HEADING) + "  Name : " + c.shown + "\n  Path : " + identifier(printer) +
                      "\n  Use  : --device \"vid_04b8&pid_0202\"\n\n",
                  captured.out)
            << "manufacturer '" << c.manufacturer << "' product '" << c.product << "' id '" << c.ieee1284Id << "'";
    }
}

TEST_F(UsbTree, AnIdentifierWithoutVidTextIsListedWithoutUseLine) {
    Printer withoutVendor;
    withoutVendor.number = 0;
    withoutVendor.busPort = "2-1";
    withoutVendor.idVendor = ""; // unreadable
    withoutVendor.product = "Odd";
    plug(withoutVendor);
    Printer notHex;
    notHex.number = 1;
    notHex.busPort = "2-2";
    notHex.idProduct = "02#2";
    plug(notHex);
    Captured captured = captureDiscover();
    EXPECT_EQ(std::string(HEADING) + "  Name : Odd\n  Path : usb#2-1#" + node(0) + "\n\n" +
                  "  Name : (unknown)\n  Path : usb#2-2#" + node(1) + "\n\n",
              captured.out);
    // Nor can a "vid_" name find them.
    OpenResult result = openAndMark("vid_", "x");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ(noMatch("vid_"), result.err);
}

TEST_F(UsbTree, TheUseLineNeedsAVidTextOfAtMost63Characters) {
    // "vid_" + 27 + "&pid_" + 27 = 63 characters; one more digit is 64.
    Printer fits;
    fits.number = 0;
    fits.busPort = "3-1";
    fits.idVendor = std::string(27, 'a');
    fits.idProduct = std::string(27, 'b');
    plug(fits);
    Printer tooLong;
    tooLong.number = 1;
    tooLong.busPort = "3-2";
    tooLong.idVendor = std::string(27, 'c');
    tooLong.idProduct = std::string(28, 'd');
    plug(tooLong);
    Captured captured = captureDiscover();
    std::string fitsText = "vid_" + fits.idVendor + "&pid_" + fits.idProduct;
    ASSERT_EQ(63u, fitsText.size());
    EXPECT_EQ(std::string(HEADING) + "  Name : (unknown)\n  Path : " + identifier(fits) + "\n  Use  : --device \"" +
                  fitsText + "\"\n\n" + "  Name : (unknown)\n  Path : " + identifier(tooLong) + "\n\n",
              captured.out);
}

TEST_F(UsbTree, AClassDirectoryThatCannotBeReadIsAnEnumerationFailure) {
    // An existing class entry that opendir refuses (here: not a directory,
    // which fails for root too, unlike missing permissions).
    makeDirectories(sys + "/class");
    writeFile(sys + "/class/usbmisc", "");
    const std::string failure = "SetupDiGetClassDevs failed (error 20)\n";
    Captured captured = captureDiscover();
    EXPECT_EQ("", captured.out);
    EXPECT_EQ(failure, captured.err);
    OpenResult result = openAndMark("vid_04b8", "x");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ(failure, result.err);
}

// ---- The lookup -----------------------------------------------------------

TEST_F(UsbTree, ANameMatchesInAnyLetterCaseAndALongerNameNarrowsTheMatch) {
    Printer t100;
    t100.number = 0;
    t100.busPort = "1-1";
    t100.idProduct = "0e15";
    t100.serial = "AbC123";
    plug(t100);
    Printer t200;
    t200.number = 1;
    t200.busPort = "1-2";
    t200.idProduct = "0e28";
    t200.serial = "XyZ789";
    plug(t200);

    struct Case {
        const char* name;
        unsigned opens;
    };
    const Case cases[] = {
        {"vid_04b8", 0},                 // the first of both
        {"vid_04B8&PID_0E28", 1},        // upper case in the name
        {"vid_04b8&pid_0e28#xyz789", 1}, // lower case against the serial's upper case
        {"vid_04b8&pid_0e15#ABC123#", 0},
    };
    for (const Case& c : cases) {
        writeFile(node(0), "");
        writeFile(node(1), "");
        OpenResult result = openAndMark(c.name, "job");
        EXPECT_TRUE(result.opened) << c.name;
        EXPECT_EQ("", result.err) << c.name;
        EXPECT_EQ("job", readFile(node(c.opens))) << c.name;
        EXPECT_EQ("", readFile(node(1 - c.opens))) << c.name;
    }
}

TEST_F(UsbTree, ANameLongerThan63CharactersIsMatchedByItsFirst63) {
    Printer printer;
    printer.serial = "SERIAL0123456789012345678901234567890123456789";
    plug(printer);
    std::string prefix = std::string("vid_04b8&pid_0202#") + printer.serial;
    prefix.resize(63);
    OpenResult result = openAndMark((prefix + "-not-in-the-identifier").c_str(), "long");
    EXPECT_TRUE(result.opened);
    EXPECT_EQ("", result.err);
    EXPECT_EQ("long", readFile(node(0)));

    // A difference within the first 63 characters does not match.
    std::string differs = prefix;
    differs[62] = '#';
    result = openAndMark(differs.c_str(), "no");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ(noMatch(differs), result.err);
}

TEST_F(UsbTree, OnlyTheFirstMatchingInterfaceIsTriedEvenWhenItCannotBeOpened) {
    Printer unopenable;
    unopenable.number = 0;
    unopenable.busPort = "1-1";
    unopenable.hasNode = false;
    plug(unopenable);
    Printer working;
    working.number = 1;
    working.busPort = "1-2";
    plug(working);
    OpenResult result = openAndMark("vid_04b8&pid_0202", "never");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ("USB open failed (error 2)\nPath: " + identifier(unopenable) + "\n", result.err);
    EXPECT_EQ("", readFile(node(1)));
}

TEST_F(UsbTree, TheNoMatchMessageRepeatsTheNameUnchanged) {
    Printer printer;
    plug(printer);
    OpenResult result = openAndMark("vid_04B8&pid_FFFF", "x");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ(noMatch("vid_04B8&pid_FFFF"), result.err);
    EXPECT_EQ("", readFile(node(0)));

    // Without any printer, the same message.
    unplug(printer);
    result = openAndMark("vid_04b8", "x");
    EXPECT_FALSE(result.opened);
    EXPECT_EQ(noMatch("vid_04b8"), result.err);
}

// ---- Jobs -----------------------------------------------------------------

TEST_F(UsbTree, AJobToAVidNameReachesThePrinterWhereverItIsPluggedNow) {
    Printer printer;
    printer.number = 0;
    plug(printer);
    const std::string receipt("\x1b@Hello\n\x1dV\x41\x03", 12);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ((ssize_t)receipt.size(), escpos_print("vid_04b8", 1, receipt.data(), (ssize_t)receipt.size()));
    EXPECT_EQ(0, escpos_print(nullptr, 0, nullptr, 0));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(receipt, readFile(node(0)));

    // Replugged, the printer comes back as lp3: the next job finds it there.
    unplug(printer);
    printer.number = 3;
    plug(printer);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(5, escpos_print("vid_04b8&pid_0202", 1, "again", 5));
    EXPECT_EQ(0, escpos_print(nullptr, 0, nullptr, 0));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ("again", readFile(node(3)));

    // Unplugged: the job does not open.
    unplug(printer);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, escpos_print("vid_04b8", 1, "lost", 4));
    EXPECT_EQ(noMatch("vid_04b8"), ::testing::internal::GetCapturedStderr());
}

// ---- The program ----------------------------------------------------------

using RunResult = q2test::ProgramRun;

// Runs the test build of the program with the tree's roots in its environment.
RunResult runProgram(const std::string& sys, const std::string& dev, const std::vector<std::string>& args) {
    return q2test::runProgram(TESTHOOKS_BINARY, args, {"Q2_TEST_SYSFS_ROOT=" + sys, "Q2_TEST_DEV_ROOT=" + dev});
}

TEST_F(UsbTree, TheProgramListsThePrintersOfTheTree) {
    RunResult empty = runProgram(sys, dev, {"--discover"});
    EXPECT_EQ(0, empty.exitStatus);
    EXPECT_EQ(std::string(HEADING) + NONE_FOUND, empty.out);
    EXPECT_EQ("", empty.err);

    Printer printer;
    printer.number = 1;
    printer.manufacturer = "ACME";
    printer.product = "T-100";
    printer.serial = "K7";
    plug(printer);
    RunResult listed = runProgram(sys, dev, {"--discover"});
    EXPECT_EQ(0, listed.exitStatus);
    EXPECT_EQ(std::string(HEADING) + "  Name : ACME T-100\n  Path : usb#vid_04b8&pid_0202#K7#" + node(1) +
                  "\n  Use  : --device \"vid_04b8&pid_0202\"\n\n",
              listed.out);
    EXPECT_EQ("", listed.err);
}

TEST_F(UsbTree, TheProgramPrintsItsTestReceiptToAVidName) {
    Printer printer;
    printer.number = 0;
    plug(printer);
    RunResult printed = runProgram(sys, dev, {"--test", "-d", "vid_04b8&pid_0202"});
    EXPECT_EQ(0, printed.exitStatus);
    EXPECT_EQ("", printed.err);
    std::string receipt = readFile(node(0));
    ASSERT_EQ(68u, receipt.size());
    EXPECT_EQ(std::string("\x1b@\x1b@", 4), receipt.substr(0, 4));
    EXPECT_EQ(std::string("\x1dV\x41\x03", 4), receipt.substr(64));

    RunResult missing = runProgram(sys, dev, {"--test", "-d", "vid_FFFF"});
    EXPECT_EQ(1, missing.exitStatus);
    EXPECT_EQ(noMatch("vid_FFFF"), missing.err);
    EXPECT_EQ(68u, readFile(node(0)).size());
}

} // namespace
