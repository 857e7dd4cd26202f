// bind_refused.cpp: put in front of the program under test (LD_PRELOAD), it
// makes every bind fail as if the port were taken, so that the program says
// which port it tried without ever holding it.
#include <errno.h>
#include <sys/socket.h>

extern "C" int bind(int socket, const struct sockaddr* address, socklen_t addressLength) {
    (void)socket;
    (void)address;
    (void)addressLength;
    errno = EADDRINUSE;
    return -1;
}
