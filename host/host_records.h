// Watching the machine: the trace's records and their decoded fields, the
// names of published values and statuses, and the event log. Public: tools
// and tests include this rather than anything under check/.
#pragma once

#include "check/eventlog.h"
#include "check/names.h"
#include "check/trace.h"
