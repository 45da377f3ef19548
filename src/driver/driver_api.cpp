#include "driver/driver_api.h"

namespace talo::driver {

#define TALO_DRIVER_NAME_(name) #name,
const char *const kDriverEntryNames[kDriverEntryCount] = {
    TALO_DRIVER_ENTRIES(TALO_DRIVER_NAME_, TALO_DRIVER_NAME_)};
#undef TALO_DRIVER_NAME_

}  // namespace talo::driver
