// Names of the recordings under the root:
//   <yyyy>/<mm>/<dd>/ch<NN>_<yyyymmdd>-<hhmmss>_<number>_<direction>[_p<part>].v
// in local time, the number kept to its digits, "+" and "*" ("unknown" when
// nothing is left). A received fax ends in .pbm instead of .v, an archived
// call's Ogg Opus file in .opus. The name
// carries what the index needs, so the index can be rebuilt from the files.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace talo_recorder {

struct RecordName {
  int32_t channel = 0;
  std::time_t start = 0;
  std::string number;     // "" unknown
  std::string direction;  // line, incoming, outgoing, message, fax
  int32_t part = 1;
  bool operator==(const RecordName &) const = default;
};

std::string CleanNumber(std::string_view number);
// The path relative to the root; `extra` > 0 adds "-<extra>" to the time (a
// name taken already).
std::string RecordPath(const RecordName &name, int extra = 0);
// Back from a relative path; nullopt for anything that is not one of ours.
std::optional<RecordName> ParseRecordPath(std::string_view relative);
bool KnownDirection(std::string_view direction);
// An archived call's file; the name its ADPCM file's archive takes ("" for a
// file that is not an ADPCM recording).
bool IsArchivePath(std::string_view path);
// A recorder node's name, as rows and object keys carry it: 1-63 letters,
// digits, '.', '-' and '_', not starting with '.'.
bool ValidNodeName(std::string_view name);
std::string ArchivePathFor(std::string_view path);

}  // namespace talo_recorder
