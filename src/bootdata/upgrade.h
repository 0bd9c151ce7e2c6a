// Installation of the upgrade package a worker leaves in "/tmp/.uci/".
#pragma once

#include "util/fixed_paths.h"
#include "util/shared_texts.h"

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

// Installs the waiting package as code asks (130 unpack into "../data/", 131
// copy over "../data//init.bin" with install_copy, 132 nothing), deletes it
// and records what was done in the boot-check record. Does nothing when there
// is no package; a package that is not a regular file of ours (see
// package_refusal) is left where it is, untouched, with a line in the run
// file on run_fd. Returns what was done, for the state file.
// With an owner, the plug-in's own package path is taken when a file is
// there, else the shared one; a package at the shared name is unpacked (130)
// only when it fits the owner's workers (see package_fit.h), and is refused
// otherwise.
struct PackageOwner {
    const char* own_path;
    const char* const* workers;
    int count;
    char* refusal;          // the reason of a refusal is copied here
    size_t refusal_size;
};
InstallOutcome apply_upgrade_package(int code, int run_fd, const PackageOwner* owner = nullptr);

// Why a file with these attributes is no package to install, written into
// why: anything but a regular file, a file owned by neither self (the
// supervisor's effective user) nor files_owner (the owner of the plug-in's
// files directory), one writable by group or others, or one with more than
// one link. Returns 0 for a package, 1 for a refusal.
int package_refusal(const struct stat& st, uid_t self, uid_t files_owner, char* why, size_t size);

// Copies every byte readable from in to out. Returns 0 at the end of in, or
// -1 when a read or a write fails.
int copy_descriptor(int in, int out);

// Copies every byte of from into to (created 0700 or truncated). Returns 0,
// or -1 when a file cannot be opened (after a message), a read or a write
// fails.
int copy_file(const char* from, const char* to);

// Replaces the file at to with every byte readable from the descriptor from,
// the way write_whole_file replaces a file: the copy is made under a
// temporary name beside it. Returns 0, or -1 with the old file left as it
// was (also after a read error) and no temporary file behind.
int install_copy(int from, const char* to);

// Replaces the file at path with len bytes of buf, crash-safely: a temporary
// file beside it is written, flushed to disk and renamed over it. Returns 0,
// or -1 with the old file left as it was.
int write_whole_file(const char* path, const char* buf, size_t len);
