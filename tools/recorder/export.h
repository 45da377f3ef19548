// A call's recording as the console hands it out: the file as stored, a WAV
// decoded from it or an Ogg Opus encoding, read piece by piece; and a ZIP of
// many calls' recordings with a manifest, built in a file no one can open by
// name.
//
// Threads: none of its own; any thread. A CallContent may be read from
// several threads at once (every read is a pread on its descriptor).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/wav.h"
#include "call_index.h"
#include "object_store.h"
#include "safe_fs.h"

namespace talo_recorder {

enum class FileFormat { kOriginal, kWav, kOpus };

// "original", "wav", "opus"; "" is the original. None for anything else.
std::optional<FileFormat> FormatNamed(std::string_view name);
const char *Name(FileFormat format);

// Archived calls are kept at this bitrate; a download in Opus is made alike.
inline constexpr int32_t kDownloadOpusBitrate = 16000;
// An export larger than these is refused: its file is built on the disk
// before a byte of it is sent.
inline constexpr int64_t kMaxExportCalls = 10000;
inline constexpr int64_t kMaxExportBytes = int64_t{8} << 30;

// A recording named by the recorder, under the root, opened once for the
// whole answer; null when the name is not one of ours or leads anywhere else
// (a link on the way included).
std::shared_ptr<Fd> OpenRecording(const std::string &root, const std::string &relative);

// The bytes of one call's file in one format, fixed in length when opened.
class CallContent {
 public:
  // The record file (ADPCM) as a 16-bit PCM WAV, decoded as it is read.
  static std::shared_ptr<CallContent> DecodedWav(std::shared_ptr<Fd> adpcm);
  // An archived call's Ogg Opus file as a 16-bit PCM WAV, decoded whole
  // first; null with the cause in *error when it does not decode.
  static std::shared_ptr<CallContent> WavFromOpus(const std::shared_ptr<Fd> &opus, std::string *error);
  // A recording as WAV, whichever kind it is.
  static std::shared_ptr<CallContent> AsWav(std::shared_ptr<Fd> file, bool archived, std::string *error);
  // The descriptor's bytes as they are.
  static std::shared_ptr<CallContent> AsStored(std::shared_ptr<Fd> file, const char *mime);
  // A call's copy in the object store, `size` bytes, read a range at a time
  // as the answer asks for it (ADPCM decoded into a WAV when `decode`): the
  // same reading as a local file's, never the whole object in memory.
  static std::shared_ptr<CallContent> FromObject(const ObjectStore *store, const std::string &key, uint64_t size,
                                                 bool decode, const char *mime);
  // The object copied whole into a file with no name (an Opus file is decoded
  // from its start); null when the store did not give it.
  static std::shared_ptr<Fd> FetchObject(const ObjectStore *store, const std::string &key, std::string *error);

  uint64_t Size() const { return size_; }
  const char *MimeType() const { return mime_; }
  // Appends the bytes from `offset` on, at most `want` and at most 64 KiB or
  // so a call, to *out; none past the end or when the file shrank since.
  void Read(uint64_t offset, uint64_t want, std::string *out) const;

 private:
  CallContent() = default;
  // Up to `n` bytes at `offset` into `to`; the count read, <= 0 at the end or on a failure.
  using ReadAt = std::function<int64_t(void *to, uint64_t n, uint64_t offset)>;
  static std::shared_ptr<CallContent> Make(ReadAt read, uint64_t stored_bytes, bool decode, const char *mime);
  ReadAt read_;               // set once: the file's pread, or a range of the object
  bool decode_ = false;       // set once: ADPCM read, WAV given
  std::array<uint8_t, talo::audio::kPcmWavHeaderBytes> header_{};  // set once, decode_ only
  uint64_t size_ = 0;         // set once
  const char *mime_ = "application/octet-stream";  // set once
};

// A call's file in a format, or why not: status and message for the client.
struct CallFile {
  std::shared_ptr<CallContent> content;  // null when refused
  int status = 200;
  std::string error;  // for the client; for a 500 the cause, for the log only
};

// Why a call's file cannot be had in `format` without looking at the disk;
// none when it may be.
std::optional<CallFile> Refusal(const CallRow &row, FileFormat format);
// Where recordings are read from: this node's root, and the object store
// (null: none) for a call whose file is not on this disk.
struct RecordingSource {
  std::string root;
  const ObjectStore *store = nullptr;
};

// Whether the store holds a checked copy of the file the row names now (an
// archived call not uploaded again has only its old file's).
inline bool HasCurrentObject(const CallRow &row) {
  return !row.object_key.empty() && row.object_sha256 == row.sha256 && row.state != CallState::kPurged;
}

// The call's file in `format`: the one place that knows which source makes
// which format. `here` false: the call is another node's, whose path means
// nothing on this disk, so only the store is asked.
CallFile OpenCallFile(const RecordingSource &source, const CallRow &row, FileFormat format, bool here = true);

// "<id>-<channel>-<start as YYYYMMDD-HHMMSS, UTC>.<ext>", the extension the
// format's (the stored file's own for the original).
std::string DownloadName(const CallRow &row, FileFormat format);

// The calls' recordings in `format`, stored (audio does not compress), and
// manifest.csv: a row per call, an empty file for a call whose file is
// missing or cannot be had in the format. The archive is in a file without
// a name; none, with the cause in *error, when it could not be built.
// `here[i]` says whether rows[i] was recorded on this node.
std::optional<Fd> BuildExportZip(const RecordingSource &source, const std::vector<CallRow> &rows,
                                 const std::vector<bool> &here, FileFormat format, std::string *error);

}  // namespace talo_recorder
