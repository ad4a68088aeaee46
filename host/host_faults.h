// Making the machine fail on purpose: a host operation that can fail on NT
// fails at the call a test or script names, by its site. Public: tools and
// tests include this rather than check/faults.h.
#pragma once

#include "check/faults.h"
