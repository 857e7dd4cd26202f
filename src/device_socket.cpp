// device_socket.cpp: the names of network printers, the same on every
// platform: socket://HOST[:PORT], HOST an IPv4 literal, a DNS name or an
// IPv6 literal in brackets, as shop technicians know them from raw network
// print queues.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "device.h"

static const char SOCKET_PREFIX[] = "socket://";

bool deviceNameIsSocket(const char* name) {
    return 0 == strncmp(name, SOCKET_PREFIX, sizeof(SOCKET_PREFIX) - 1);
}

bool deviceSocketAddress(const char* name, char* host, size_t hostCapacity, unsigned* port) {
    if (!deviceNameIsSocket(name)) {
        return false;
    }
    const char* start = name + sizeof(SOCKET_PREFIX) - 1;
    const char* end;  // one past the host
    const char* rest; // what follows the host: "" or ":PORT"
    if (*start == '[') {
        start++;
        end = strchr(start, ']');
        if (NULL == end) {
            return false;
        }
        rest = end + 1;
    } else {
        end = start + strcspn(start, ":/[]");
        rest = end;
    }
    size_t hostLength = (size_t)(end - start);
    if (hostLength == 0 || hostLength >= hostCapacity) {
        return false;
    }
    *port = DEVICE_SOCKET_DEFAULT_PORT;
    if (*rest == ':') {
        const char* digits = rest + 1;
        size_t count = strspn(digits, "0123456789");
        if (count == 0 || count > 5 || digits[count] != '\0') {
            return false;
        }
        unsigned long value = strtoul(digits, NULL, 10);
        if (value == 0 || value > 65535) {
            return false;
        }
        *port = (unsigned)value;
    } else if (*rest != '\0') {
        return false;
    }
    memcpy(host, start, hostLength);
    host[hostLength] = '\0';
    return true;
}
