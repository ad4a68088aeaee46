// The NT image of the driver (tolvanex.sys) loaded in place of the linked
// driver: its entry point, where it is mapped and what it imports. Public:
// tools and tests include this rather than anything under pe/.
#pragma once

#include "pe/image.h"
