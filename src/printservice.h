// printservice.h: what the print service's files share: the configured
// printer and the program's entry point.
#pragma once

// The device name given with --device, or null; set once at start-up.
extern const char* printerDevicePath;

// The whole program: parses the command line and runs the chosen path.
// Returns the exit status.
int quorvel2Main(int argc, char** argv);
