// What the library does with each channel type the driver reports
// (TvcGetChType): the one place the driver's type numbers are read.
#pragma once
#include <cstdint>

#include "talo/tvcdrv.h"

namespace talo::driver {

enum class WorkerKind {
  kNone,   // no worker: no channel, a station phone, or a type the library does not know
  kLine,   // the line-recording loop
  kTrunk,  // the trunk and user loop
  kIdle,   // a worker that does nothing until it is stopped
};

constexpr WorkerKind WorkerKindOf(int32_t type) {
  if (type == TVC_CHTYPE_LINE) return WorkerKind::kLine;
  if (type >= TVC_CHTYPE_LINE_OTHER_FIRST && type <= TVC_CHTYPE_LINE_OTHER_LAST) return WorkerKind::kLine;
  // A station phone has no worker of its own; should one be made for it, it
  // runs the trunk loop as the trunk does.
  if (type == TVC_CHTYPE_USER || type == TVC_CHTYPE_TRUNK) return WorkerKind::kTrunk;
  if (type == TVC_CHTYPE_IDLE) return WorkerKind::kIdle;
  return WorkerKind::kNone;
}

// Activation makes a worker for these types.
constexpr bool GetsWorker(int32_t type) { return type != TVC_CHTYPE_USER && WorkerKindOf(type) != WorkerKind::kNone; }

}  // namespace talo::driver
