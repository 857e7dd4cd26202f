// service_posix.cpp: on Linux the service manager (systemd) runs the console
// program itself and stops it with a signal, so the program is never a
// service of its own making.
#include "service.h"

int serviceRun(Server*, int (*)(Server*, void*), void*) {
    return SERVICE_NOT_STARTED_BY_MANAGER;
}
