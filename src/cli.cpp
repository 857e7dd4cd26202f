// cli.cpp: the command line. Parses the options and takes exactly one path:
// help, version, the USB listing, a refusal of a bad port, listen address,
// origin or device name, the built-in test receipt, or the server.
#include <argtable2.h>
#include <stdio.h>
#include <string.h>

#include "certificates.h"
#include "device.h"
#include "escpos.h"
#include "joblog.h"
#include "platform_machine.h"
#include "printservice.h"
#include "service.h"
#include "usb.h"
#include "webserver.h"

static const unsigned int DEFAULT_PORT = 8090;
static const char* const VERSION = QUORVEL2_VERSION;

static void print_usage(void** argtable) {
    puts("Usage: quorvel2");
    arg_print_syntax(stdout, argtable, "\n\n");
}

static void print_help(void** argtable) {
    puts("Tolvane Printserver V2\n");
    print_usage(argtable);
    puts("Options:");
    arg_print_glossary(stdout, argtable, "  %-25s %s\n");
}

// Prints the built-in test receipt; the exit status.
static int printTestReceipt(void) {
    static const char test_escpos[68] = {
        0x1B, 0x40, 0x1B, 0x40,                                        // ESC @ twice
        '#',  '4',  ',',  ' ',  'D', 'a', 'l', 'm',  'o',  'r',  '\n', //
        0x1D, 0x21, 0x11,                                              // double size
        'S',  'p',  'o',  'r',  't', 'h', 'a', 'l',  'l',  'e',  '\n', //
        'T',  'i',  's',  'c',  'h', ' ', '2', '\n',                   //
        0x1D, 0x21, 0x00,                                              // normal size
        '\n',                                                          //
        '-',  ' ',  'W',  'e',  'i', 'z', 'e', 'n',  ' ',  '(',  '2',  ',',
        '3',  '0',  ' ',  'E',  'U', 'R', ')', '\n', 0x1B, 0x64, 0x03, // feed 3 lines
        0x1D, 0x56, 0x41, 0x03,                                        // cut
    };
    ssize_t num = escpos_print(printerDevicePath, 1, test_escpos, (ssize_t)sizeof(test_escpos));
    if (num > 0) {
        escpos_print(NULL, 0, NULL, 0);
    }
    return num > 0 ? 0 : 1;
}

// A name the platform cannot open whole is refused before anything starts:
// opening it cut would print somewhere else, or nowhere.
static bool deviceNameFits(const char* device) {
    if (deviceNameIsSocket(device)) {
        // Not a path: never cut, but a malformed one would fail every job.
        char host[256];
        unsigned port = 0;
        if (!deviceSocketAddress(device, host, sizeof(host), &port)) {
            fprintf(stderr, "Warning: '%s' is not a network printer's name (socket://HOST[:PORT])\n", device);
        }
        return true;
    }
    char path[DEVICE_PATH_CAPACITY];
    if (0 == strncmp(device, "vid_", 4) || devicePathFromName(device, path, sizeof(path))) {
        return true;
    }
    fprintf(stderr, "Error: The device name '%s' is too long for this system to open\n", device);
    return false;
}

// Adds every --allow-origin value; false after naming the first malformed one.
static bool allowOrigins(const struct arg_str* argAllowOrigin) {
    for (int i = 0; i < argAllowOrigin->count; i++) {
        if (!allowOrigin(argAllowOrigin->sval[i])) {
            fprintf(stderr, "Error: --allow-origin needs an origin such as https://till.example:8443, not '%s'\n",
                    argAllowOrigin->sval[i]);
            return false;
        }
    }
    return true;
}

// Where the server listens, and where its certificate comes from.
struct ServeOptions {
    unsigned int port;
    uint32_t addressInNetworkOrder;
    CertificateOptions certificates;
};

// Listens and serves until stopped; the exit status.
static int serve(Server* server, void* context) {
    const ServeOptions* options = (const ServeOptions*)context;
    printf("Starting quorvel2 %s\n", VERSION);
    fflush(stdout);
    if (!certificatesStart(&options->certificates, server)) {
        return 1;
    }
    // The certificates made the folder; a log that cannot be written only
    // costs the keyed jobs, so the server starts all the same.
    char stateFolder[MACHINE_PATH_CAPACITY];
    snprintf(stateFolder, sizeof(stateFolder), "%s",
             NULL != options->certificates.stateFolder ? options->certificates.stateFolder : "");
    if (NULL != options->certificates.stateFolder || machineDefaultStateFolder(stateFolder, sizeof(stateFolder))) {
        jobLogOpen(stateFolder);
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = options->addressInNetworkOrder;
    address.sin_port = htons((uint16_t)options->port);
    learnThisMachinesNames();
    int status = acceptConnectionsUntilStopped(server, (const struct sockaddr*)&address, sizeof(address));
    certificatesStop();
    jobLogClose();
    return status;
}

// As a service when the system's service manager started the process (it
// then stops the server), as the console program otherwise.
static int runServer(unsigned int port, uint32_t addressInNetworkOrder, const CertificateOptions* certificates) {
    ServeOptions options = {port, addressInNetworkOrder, *certificates};
    options.certificates.listenAddress = addressInNetworkOrder;
    options.certificates.port = port;
    Server server = {}; // serverInit takes a zero-filled record
    serverInit(&server);
    int status = serviceRun(&server, serve, &options);
    if (SERVICE_NOT_STARTED_BY_MANAGER == status) {
        status = serve(&server, &options);
    }
    serverDeInit(&server);
    return status;
}

int quorvel2Main(int argc, char** argv) {
    struct arg_lit* argHelp = arg_lit0(NULL, "help", "Print help and exit");
    struct arg_lit* argVersion = arg_lit0(NULL, "version", "Print version and exit");
    struct arg_int* argPort = arg_int0("p", "port", "<NUM>", "TCP port number (default: 8090)");
    struct arg_str* argDevice =
        arg_str0("d", "device", "<DEV>", "Device for printing (e.g. /dev/usb/lp0 or vid_04b8 on Windows)");
    struct arg_lit* argTest = arg_lit0(NULL, "test", "Print test receipt and exit");
    struct arg_lit* argDiscover = arg_lit0(NULL, "discover", "List USB printers with their vid/pid and exit");
    struct arg_str* argListen =
        arg_str0("l", "listen", "<ADDR>", "IPv4 address to listen on (default: 0.0.0.0, every address)");
    // One more than allowed, so that one too many is seen and refused.
    struct arg_str* argAllowOrigin = arg_strn(NULL, "allow-origin", "<ORIGIN>", 0, ALLOWED_ORIGINS_MAX + 1,
                                              "Web page origin allowed to print (repeatable; default: any origin)");
    struct arg_str* argTLSCert =
        arg_str0(NULL, "tls-cert", "<FILE>", "Certificate chain (PEM) for HTTPS instead of one made here");
    struct arg_str* argTLSKey = arg_str0(NULL, "tls-key", "<FILE>", "Private key (PEM) of the --tls-cert certificate");
    struct arg_str* argStateDir =
        arg_str0(NULL, "state-dir", "<DIR>", "Folder for the certificate authority, certificates and job log");
    struct arg_end* argEnd = arg_end(5);
    void* argtable[] = {argHelp,   argVersion,     argPort,    argDevice, argTest,     argDiscover,
                        argListen, argAllowOrigin, argTLSCert, argTLSKey, argStateDir, argEnd};
    for (void* entry : argtable) {
        if (NULL == entry) {
            fprintf(stderr, "Error: out of memory while reading the command line\n");
            return 1;
        }
    }

    arg_parse(argc, argv, argtable);

    int status = 0;
    if (argHelp->count > 0) {
        print_help(argtable);
    } else if (argVersion->count > 0) {
        puts(VERSION);
    } else if (argDiscover->count > 0) {
        usb_discover();
    } else {
        unsigned int port = argPort->count > 0 ? (unsigned int)argPort->ival[0] : DEFAULT_PORT;
        uint32_t listenAddress = htonl(INADDR_ANY);
        if (port == 0 || port > 65535) {
            fprintf(stderr, "Error: A valid TCP port number in range 1 .. 65535 is required\n");
            status = 1;
        } else if (argListen->count > 0 &&
                   !parseIPv4Address(argListen->sval[0], strlen(argListen->sval[0]), &listenAddress)) {
            fprintf(stderr, "Error: --listen needs an IPv4 address such as 127.0.0.1, not '%s'\n", argListen->sval[0]);
            status = 1;
        } else if (argAllowOrigin->count > ALLOWED_ORIGINS_MAX) {
            fprintf(stderr, "Error: --allow-origin may be given at most %d times\n", ALLOWED_ORIGINS_MAX);
            status = 1;
        } else if (!allowOrigins(argAllowOrigin)) {
            status = 1;
        } else if (printerDevicePath = argDevice->count > 0 ? argDevice->sval[0] : NULL,
                   NULL != printerDevicePath && printerDevicePath[0] == '\0') {
            fprintf(stderr, "Error: A valid device name is required\n");
            status = 1;
        } else if (NULL != printerDevicePath && !deviceNameFits(printerDevicePath)) {
            status = 1;
        } else if (argTest->count > 0) {
            if (NULL == printerDevicePath) {
                fprintf(stderr, "Error: --test requires a device (-d)\n");
                status = 1;
            } else {
                status = printTestReceipt();
            }
        } else {
            CertificateOptions certificates = {};
            certificates.stateFolder = argStateDir->count > 0 ? argStateDir->sval[0] : NULL;
            certificates.certificateFile = argTLSCert->count > 0 ? argTLSCert->sval[0] : NULL;
            certificates.keyFile = argTLSKey->count > 0 ? argTLSKey->sval[0] : NULL;
            status = runServer(port, listenAddress, &certificates);
        }
    }
    fflush(stdout);
    // The device name points into argv, not into the table, so it outlives it.
    arg_freetable(argtable, sizeof(argtable) / sizeof(argtable[0]));
    return status;
}
