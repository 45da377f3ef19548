// Where the console reads calls from: this recorder's own index, or the
// central index every recorder ships to. Both answer the same searches;
// the rows' types are the local index's (call_index.h).
//
// Threads: Search and Find from any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace talo_recorder {

struct CallRow;
struct CallQuery;
struct CallPage;

class CallCatalog {
 public:
  virtual ~CallCatalog() = default;
  // Both throw IndexError when the rows cannot be read right now.
  virtual CallPage Search(const CallQuery &query) = 0;
  virtual std::optional<CallRow> Find(int64_t id) = 0;
};

}  // namespace talo_recorder
