/* Compiled as strict C into the board, so that tvcsim.h and tvcdrv.h stay usable from C. */
#include <stddef.h>

#include "talo/tvcdrv.h"
#include "tvcsim.h"

_Static_assert(sizeof(TvcDrvInfo) == 8, "TvcDrvInfo is the driver's 8-byte record");
_Static_assert(sizeof(TvcSimChannelInfo) == 36 * sizeof(int32_t),
               "TvcSimChannelInfo holds 36 int32_t fields");
_Static_assert(offsetof(TvcSimChannelInfo, has_caller_id) == 35 * sizeof(int32_t),
               "TvcSimChannelInfo has no padding");
