// service.h: running the server as a system service, implemented once per
// platform (service_*.cpp). On Windows the Service Control Manager starts
// the program and stops it through its own calls; elsewhere the service
// manager runs the console program as it is, so there is nothing to do.
#pragma once

#include "webserver.h"

// What serviceRun returns when the process was not started as a service.
static const int SERVICE_NOT_STARTED_BY_MANAGER = -1;

// The server path: serve(server, context) listens and serves until stopped
// and returns the exit status. Returns SERVICE_NOT_STARTED_BY_MANAGER at once
// when this process was not started by the service manager (the caller then
// runs serve itself), with the console's stop requests (SIGTERM and SIGINT;
// on Windows Ctrl+C, Ctrl+Break and closing the console) made to begin
// printServiceBeginStop, a second one to end the process at once with
// status 1. Otherwise runs serve as the service: its output goes to the
// service's log file, the manager hears when it is running, and a stop or
// shutdown stops the server (initialised, not yet serving) through
// printServiceBeginStop and serverStop; returns serve's result once the
// service has stopped.
int serviceRun(Server* server, int (*serve)(Server* server, void* context), void* context);
