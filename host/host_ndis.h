// The driver's upper edge as a tool drives it: the NDIS wrapper that loads,
// initializes and halts the miniport, and the users above it (RAS, NDISWAN
// and NDIS TAPI with its request layouts). Public: tools and tests include
// this rather than anything under ndis/.
#pragma once

#include "ndis/ndis_wrapper.h"
#include "ndis/ndistapi_model.h"
#include "ndis/ndiswan_model.h"
#include "ndis/ras_model.h"
#include "ndis/tapi_requests.h"
