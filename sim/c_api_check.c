/* Compiled as strict C into the board, so that tvcsim.h and tvcdrv.h stay usable from C. */
#include <stddef.h>

#include "talo/tvcdrv.h"
#include "tvcsim.h"

_Static_assert(sizeof(TvcDrvInfo) == 8, "TvcDrvInfo is the driver's 8-byte record");
_Static_assert(sizeof(TvcSimChannelInfo) == 45 * sizeof(int32_t),
               "TvcSimChannelInfo holds 45 int32_t fields");
/* Fields are only ever added at the end, so older hosts read the same offsets. */
_Static_assert(offsetof(TvcSimChannelInfo, has_caller_id) == 35 * sizeof(int32_t),
               "TvcSimChannelInfo has no padding");
_Static_assert(offsetof(TvcSimChannelInfo, caller_rings_left) == 38 * sizeof(int32_t),
               "TvcSimChannelInfo has no padding");
_Static_assert(offsetof(TvcSimChannelInfo, fax_duration_ms) == 44 * sizeof(int32_t),
               "TvcSimChannelInfo has no padding");
