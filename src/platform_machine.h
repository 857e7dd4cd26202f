// platform_machine.h: what the certificates need from the system, implemented
// once per platform (platform_machine_*.cpp): the machine's host name and
// addresses, the default state folder, owner-only folders and files, and
// file replacement that never leaves a half-written file behind.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Room for a path in the state folder, with its terminating NUL.
static const size_t MACHINE_PATH_CAPACITY = 4096;

// The host name as the system reports it (it may carry a domain), at most
// capacity - 1 bytes. False, with name emptied, when it has none.
bool machineHostName(char* name, size_t capacity);

// One address of this machine: 4 bytes (IPv4) or 16 (IPv6), network order.
struct MachineAddress {
    uint8_t bytes[16];
    size_t length;
};

// Fills up to `capacity` addresses of the machine's interfaces that are up,
// loopback included, each once; returns how many.
size_t machineAddresses(MachineAddress* addresses, size_t capacity);

// The default state folder: $STATE_DIRECTORY (its first path) when the
// service manager sets it, else /var/lib/quorvel2 for root and
// $XDG_STATE_HOME/quorvel2 (~/.local/state/quorvel2) for others; on Windows
// %ProgramData%\quorvel2. False when it cannot be told (no home folder).
bool machineDefaultStateFolder(char* path, size_t capacity);

// Creates the folder (and missing parents) readable only by this account;
// an existing folder is kept as it is. 0 on success, else an errno value.
int machineMakeOwnerOnlyFolder(const char* path);

// Whether this account can list the folder and open what is in it: 0, else
// an errno value.
int machineFolderIsReadable(const char* path);

// Writes `length` bytes to a new temporary file beside `path` (owner-only when
// ownerOnly), flushes it to the disk and renames it over `path`; with
// keepExisting an existing `path` is left alone and EEXIST returned. 0 on
// success, else an errno value; a failed write leaves no temporary file.
int machineWriteFileAtomically(const char* path, const void* data, size_t length, bool ownerOnly, bool keepExisting);

// Renames `path` to `newPath`, replacing what is there. 0 or an errno value.
int machineRenameFile(const char* path, const char* newPath);

// Flushes the stream and has the system put its bytes on the disk, so that
// they outlive a crash or a power loss. 0 or an errno value.
int machineFlushToDisk(FILE* file);

// A number that changes when the file is written or replaced (its
// modification time and size); 0 when it cannot be looked at.
uint64_t machineFileChangeStamp(const char* path);

// The path separator of this platform.
char machinePathSeparator(void);
