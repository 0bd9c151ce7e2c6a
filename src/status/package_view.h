// Which upgrade package an instance would take, and whether one waiting at
// the name every plug-in shares would be refused as another plug-in's.
#pragma once

#include "status/instance.h"

// Fills the package fields of st: its own package path; the package there,
// else the one at the shared name; for the latter, why this plug-in would
// refuse it and which running instance's workers it fits.
void read_package(InstanceStatus* st);
