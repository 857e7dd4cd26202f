// main.cpp: the quorvel2 program.
#include "printservice.h"
#include "webserver.h"

int main(int argc, char** argv) {
    // A printer pipe whose reader went away must fail the job, not end the process.
    ignoreSIGPIPE();
    ServerLimits limits = serverLimitsDefault();
    return quorvel2Main(argc, argv, &limits);
}
