// The channel kind QV_GetChannelType answers for a driver channel type.
#pragma once
#include <cstdint>

#include "talo/talo.h"
#include "talo/tvcdrv.h"

namespace talo::host {

// `has_worker`: whether activation made a worker for the channel. An idle
// type only counts as idle when it has one.
constexpr int32_t ChannelKindOf(int32_t driver_type, bool has_worker) {
  switch (driver_type) {
    case TVC_CHTYPE_LINE: return QV_CHANNEL_LINE;
    case TVC_CHTYPE_USER: return QV_CHANNEL_STATION;
    case TVC_CHTYPE_TRUNK: return QV_CHANNEL_TRUNK;
    case TVC_CHTYPE_IDLE: return has_worker ? QV_CHANNEL_IDLE : QV_CHANNEL_NONE;
    default: return QV_CHANNEL_NONE;
  }
}

}  // namespace talo::host
