// The driver's lower edge as a script drives it: the ISDN driver's commands,
// answers and messages, and the exchange that can answer for it. Public:
// tools and tests include this rather than anything under isdn/.
#pragma once

#include "isdn/isdn_driver.h"
#include "isdn/isdn_exchange.h"
