// Whether an upgrade package found at the name every plug-in shares can be
// this plug-in's, judged from tar's verbose listing of its members. A guard
// for workers that still stage there, not a proof of origin: the plug-in's
// own package name is the sure way.
#pragma once

#include <cstddef>

// What the listing showed so far, for a plug-in with count workers.
struct PackageFit {
    const char* const* workers = nullptr;
    int count = 0;
    unsigned carried = 0;           // bit i: worker i's program is a top-level member
    bool programs = false;          // some top-level member is executable
    char foreign[64] = {};          // a top-level program of no worker here
};

// Notes one line of "tar -tv" (GNU or BusyBox: mode, owner, size, date,
// time, name): an executable regular file at the top level is one of the
// workers' programs, or foreign.
void note_package_member(PackageFit* fit, const char* line);

// Whether the package fits: no foreign program, and when it carries any
// program, every worker's program is in it or already in the data directory
// (bit i of in_data). Otherwise why is set to the reason.
bool package_fits(const PackageFit& fit, unsigned in_data, char* why, size_t size);

// Lists the package on descriptor fd (from its start) with tar through the
// shell and notes every member. False when the listing failed (a damaged or
// unreadable archive, no tar): the unpack then fails as it would have.
bool list_package(int fd, PackageFit* fit);
