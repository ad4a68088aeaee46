// The machine's registry: keys and typed values by NT path, and REGEDIT4
// .reg text in and out of it. Public: tools and tests include this rather
// than anything under nt/.
#pragma once

#include "nt/regedit.h"
#include "nt/registry.h"
