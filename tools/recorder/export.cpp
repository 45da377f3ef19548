// A call's recording in the format asked for, and many calls' recordings in
// one ZIP: the downloads and the export of the console.
#include "export.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include "audio/adpcm.h"
#include "audit_log.h"
#include "naming.h"
#include "opus_archive.h"

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;
namespace audio = talo::audio;

constexpr uint64_t kPcmBlockBytes = audio::kSamplesPerBlock * 2;  // one ADPCM block decoded
// The blocks a read decodes at most, 63 KiB of samples: the server asks again for the rest.
constexpr uint64_t kBlocksPerRead = 64;
constexpr uint64_t kBytesPerRead = kBlocksPerRead * kPcmBlockBytes;

// A file with no name in the system's temporary folder (or in memory where
// that folder cannot hold one): nobody else can open it, and it goes with
// its last descriptor.
Fd AnonymousFile() {
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path(ec);
  Fd fd(::open(ec ? "/tmp" : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd) fd = Fd(::memfd_create("talo-export", MFD_CLOEXEC));
  return fd;
}

// "YYYYMMDD-HHMMSS" or "YYYY-MM-DDTHH:MM:SS.mmmZ" of epoch milliseconds, UTC.
std::string UtcTime(int64_t ms, bool iso) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[64];
  std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%Y%m%d-%H%M%S", &tm);
  if (!iso) return text;
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms % 1000));
  return std::string(text) + millis;
}

}  // namespace

std::optional<FileFormat> FormatNamed(std::string_view name) {
  for (FileFormat f : {FileFormat::kOriginal, FileFormat::kWav, FileFormat::kOpus})
    if (name == Name(f)) return f;
  if (name.empty()) return FileFormat::kOriginal;
  return std::nullopt;
}

const char *Name(FileFormat format) {
  switch (format) {
    case FileFormat::kOriginal: return "original";
    case FileFormat::kWav: return "wav";
    case FileFormat::kOpus: return "opus";
  }
  return "?";
}

std::shared_ptr<Fd> OpenRecording(const std::string &root, const std::string &relative) {
  if (relative.empty() || relative.front() == '/' || relative.find("..") != std::string::npos ||
      relative.find('\\') != std::string::npos || relative.find('\0') != std::string::npos)
    return nullptr;
  if (!ParseRecordPath(relative)) return nullptr;
  Fd fd = OpenRegularUnder(root, relative);
  return fd ? std::make_shared<Fd>(std::move(fd)) : nullptr;
}

// ---- one call's file

std::shared_ptr<CallContent> CallContent::Make(ReadAt read, uint64_t stored_bytes, bool decode, const char *mime) {
  std::shared_ptr<CallContent> c(new CallContent);
  c->read_ = std::move(read);
  c->mime_ = mime;
  c->decode_ = decode;
  if (!decode) {
    c->size_ = stored_bytes;
    return c;
  }
  const uint64_t blocks = stored_bytes / audio::kAdpcmBlockBytes;
  const uint64_t samples = std::min<uint64_t>(blocks * audio::kSamplesPerBlock, audio::kMaxPcmWavSamples);
  c->header_ = audio::MakePcmWavHeader(static_cast<uint32_t>(samples));
  c->size_ = c->header_.size() + samples * 2;
  return c;
}

namespace {

// pread on a descriptor the content holds for as long as it lives.
std::function<int64_t(void *, uint64_t, uint64_t)> FileReader(std::shared_ptr<Fd> file) {
  return [file = std::move(file)](void *to, uint64_t n, uint64_t offset) -> int64_t {
    return ::pread(file->Get(), to, n, static_cast<off_t>(offset));
  };
}

}  // namespace

std::shared_ptr<CallContent> CallContent::DecodedWav(std::shared_ptr<Fd> adpcm) {
  struct stat st {};
  if (::fstat(adpcm->Get(), &st) != 0) return nullptr;
  return Make(FileReader(std::move(adpcm)), static_cast<uint64_t>(st.st_size), true, "audio/wav");
}

std::shared_ptr<CallContent> CallContent::FromObject(const ObjectStore *store, const std::string &key, uint64_t size,
                                                     bool decode, const char *mime) {
  // An answer asks for a few kilobytes at a time; each request to the store
  // costs a round trip, so a megabyte is read ahead and kept.
  static constexpr uint64_t kReadAhead = 1 << 20;
  struct Window {
    std::mutex mutex;
    uint64_t from = 0;
    std::string bytes;  // guarded by mutex: the object's bytes from `from` on
  };
  auto window = std::make_shared<Window>();
  return Make(
      [store, key, size, window](void *to, uint64_t n, uint64_t offset) -> int64_t {
        if (n == 0 || offset >= size) return 0;
        std::lock_guard lock(window->mutex);
        Window &w = *window;
        if (offset < w.from || offset + std::min(n, size - offset) > w.from + w.bytes.size()) {
          const uint64_t last = std::min(size, offset + std::max(n, kReadAhead)) - 1;
          std::string bytes;
          // The sink never takes more than was asked for, whatever the store sends.
          const StoreResult r = store->Get(key, static_cast<int64_t>(offset), static_cast<int64_t>(last),
                                           [&](std::string_view part) {
                                             const uint64_t room = last - offset + 1 - bytes.size();
                                             bytes.append(part.substr(0, static_cast<size_t>(std::min<uint64_t>(part.size(), room))));
                                             return bytes.size() < last - offset + 1;
                                           });
          if (!r.ok && bytes.empty()) return -1;
          w.from = offset;
          w.bytes = std::move(bytes);
        }
        const uint64_t got = std::min<uint64_t>(n, w.from + w.bytes.size() - offset);
        std::memcpy(to, w.bytes.data() + (offset - w.from), got);
        return static_cast<int64_t>(got);
      },
      size, decode, mime);
}

std::shared_ptr<Fd> CallContent::FetchObject(const ObjectStore *store, const std::string &key, std::string *error) {
  auto file = std::make_shared<Fd>(AnonymousFile());
  if (!*file) return *error = std::string("no temporary file: ") + std::strerror(errno), nullptr;
  bool written = true;
  const StoreResult r = store->Get(key, 0, -1, [&](std::string_view part) {
    written = ::write(file->Get(), part.data(), part.size()) == static_cast<ssize_t>(part.size());
    return written;
  });
  if (!r.ok || !written) return *error = r.ok ? std::string("cannot write the copy: ") + std::strerror(errno) : r.message, nullptr;
  ::lseek(file->Get(), 0, SEEK_SET);
  return file;
}

std::shared_ptr<CallContent> CallContent::WavFromOpus(const std::shared_ptr<Fd> &opus, std::string *error) {
  // Opus cannot be entered at a byte offset: the whole call is decoded once
  // into a file with no name, which the answer then reads in ranges.
  auto wav = std::make_shared<Fd>(AnonymousFile());
  if (!*wav) return *error = std::string("no temporary file: ") + std::strerror(errno), nullptr;
  uint64_t samples = 0;
  off_t at = audio::kPcmWavHeaderBytes;
  const bool whole = DecodeOpus(
      opus->Get(),
      [&](const int16_t *pcm, size_t n) {
        n = static_cast<size_t>(std::min<uint64_t>(n, audio::kMaxPcmWavSamples - samples));
        const ssize_t wrote = ::pwrite(wav->Get(), pcm, n * 2, at);
        if (wrote != static_cast<ssize_t>(n * 2)) return false;
        samples += n;
        at += wrote;
        return samples < audio::kMaxPcmWavSamples;
      },
      error);
  if (!whole && samples < audio::kMaxPcmWavSamples) return nullptr;
  const auto header = audio::MakePcmWavHeader(static_cast<uint32_t>(samples));
  if (::pwrite(wav->Get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()))
    return *error = std::string("cannot write the WAV: ") + std::strerror(errno), nullptr;
  return AsStored(std::move(wav), "audio/wav");
}

std::shared_ptr<CallContent> CallContent::AsWav(std::shared_ptr<Fd> file, bool archived, std::string *error) {
  return archived ? WavFromOpus(file, error) : DecodedWav(std::move(file));
}

std::shared_ptr<CallContent> CallContent::AsStored(std::shared_ptr<Fd> file, const char *mime) {
  struct stat st {};
  if (::fstat(file->Get(), &st) != 0) return nullptr;
  return Make(FileReader(std::move(file)), static_cast<uint64_t>(st.st_size), false, mime);
}

void CallContent::Read(uint64_t offset, uint64_t want, std::string *out) const {
  const uint64_t end = std::min(size_, offset + std::min(want, kBytesPerRead));
  if (offset >= end) return;
  if (!decode_) {
    const size_t had = out->size();
    out->resize(had + (end - offset));
    const int64_t got = read_(out->data() + had, end - offset, offset);
    out->resize(had + static_cast<size_t>(std::max<int64_t>(got, 0)));
    return;
  }
  uint64_t at = offset;
  if (at < header_.size()) {
    const uint64_t n = std::min<uint64_t>(header_.size(), end) - at;
    out->append(reinterpret_cast<const char *>(header_.data()) + at, n);
    at += n;
  }
  if (at >= end) return;
  // The blocks of this part read at once and decoded ten side by side.
  const uint64_t pcm = at - header_.size();
  const uint64_t first = pcm / kPcmBlockBytes;
  const uint64_t blocks = std::min(kBlocksPerRead, (end - header_.size() - 1) / kPcmBlockBytes - first + 1);
  uint8_t adpcm[kBlocksPerRead * audio::kAdpcmBlockBytes];
  const int64_t got = read_(adpcm, blocks * audio::kAdpcmBlockBytes, first * audio::kAdpcmBlockBytes);
  // Whole blocks only: a file that shrank gives less.
  const uint64_t read = got > 0 ? static_cast<uint64_t>(got) / audio::kAdpcmBlockBytes : 0;
  int16_t decoded[kBlocksPerRead * audio::kSamplesPerBlock];
  uint64_t i = 0;
  for (; i + audio::kBlocksPerBuffer <= read; i += audio::kBlocksPerBuffer)
    audio::DecodeCaptureBuffer(adpcm + i * audio::kAdpcmBlockBytes, decoded + i * audio::kSamplesPerBlock);
  for (; i < read; ++i)
    audio::DecodeAdpcmBlock(adpcm + i * audio::kAdpcmBlockBytes, decoded + i * audio::kSamplesPerBlock);
  const uint64_t from = pcm % kPcmBlockBytes;
  if (read * kPcmBlockBytes > from)
    out->append(reinterpret_cast<const char *>(decoded) + from, std::min<uint64_t>(read * kPcmBlockBytes - from, end - at));
}

std::optional<CallFile> Refusal(const CallRow &row, FileFormat format) {
  if (row.state == CallState::kPurged) return CallFile{nullptr, 404, "the recording was purged"};
  if (row.path.empty()) return CallFile{nullptr, 404, "recording not on disk"};
  if (row.direction == "fax" && format != FileFormat::kOriginal) return CallFile{nullptr, 404, "a fax has no audio"};
  return std::nullopt;
}

CallFile OpenCallFile(const RecordingSource &source, const CallRow &row, FileFormat format, bool here) {
  if (auto refused = Refusal(row, format)) return *refused;
  auto file = here ? OpenRecording(source.root, row.path) : nullptr;
  if (!file && source.store && HasCurrentObject(row)) {
    // Converted from a whole copy: a WAV or Opus is made from the start.
    std::string error;
    file = CallContent::FetchObject(source.store, row.object_key, &error);
    if (!file) return {nullptr, 503, "the object store does not answer (" + error + "); try again"};
  }
  if (!file) return {nullptr, 404, here ? "recording not on disk" : "recording not on this node nor in the object store"};
  std::shared_ptr<CallContent> content;
  if (format == FileFormat::kWav && IsArchivePath(row.path)) {
    std::string error;
    content = CallContent::WavFromOpus(file, &error);
    if (!content) return {nullptr, 500, "the archived recording does not decode: " + error};
  } else if (format == FileFormat::kOriginal || IsArchivePath(row.path)) {
    content = CallContent::AsStored(std::move(file), IsArchivePath(row.path) ? "audio/ogg" : "application/octet-stream");
  } else if (format == FileFormat::kWav) {
    content = CallContent::DecodedWav(std::move(file));
  } else {
    struct stat st {};
    if (::fstat(file->Get(), &st) == 0 && st.st_size < audio::kAdpcmBlockBytes)
      return {nullptr, 404, "the recording holds no audio"};
    auto opus = std::make_shared<Fd>(AnonymousFile());
    std::string error;
    if (!*opus) return {nullptr, 500, std::string("no temporary file: ") + std::strerror(errno)};
    if (!EncodeOpus(file->Get(), opus->Get(), kDownloadOpusBitrate, &error)) return {nullptr, 500, error};
    content = CallContent::AsStored(std::move(opus), "audio/ogg");
  }
  if (!content) return {nullptr, 500, std::string("cannot read the recording: ") + std::strerror(errno)};
  return {content, 200, ""};
}

std::string DownloadName(const CallRow &row, FileFormat format) {
  std::string ext = Name(format);
  if (format == FileFormat::kOriginal) {
    const size_t dot = row.path.rfind('.');
    ext = dot == std::string::npos ? "bin" : row.path.substr(dot + 1);
  }
  return std::to_string(row.id) + "-" + std::to_string(row.channel) + "-" + UtcTime(row.start_ms, false) + "." + ext;
}

// ---- the ZIP

namespace {

// libzip writes the archive through this onto a descriptor of ours, so that
// it never has a name.
struct ZipOutput {
  int fd;
  uint64_t read_at = 0;
  zip_error_t error;
};

zip_int64_t OutputCommand(void *user, void *data, zip_uint64_t length, zip_source_cmd_t command) {
  auto *out = static_cast<ZipOutput *>(user);
  const auto failed = [out](int code) {
    zip_error_set(&out->error, code, errno);
    return zip_int64_t{-1};
  };
  switch (command) {
    case ZIP_SOURCE_SUPPORTS: return ZIP_SOURCE_SUPPORTS_WRITABLE;
    case ZIP_SOURCE_STAT: {
      struct stat st {};
      if (::fstat(out->fd, &st) != 0) return failed(ZIP_ER_READ);
      auto *zs = static_cast<zip_stat_t *>(data);
      zip_stat_init(zs);
      zs->size = static_cast<zip_uint64_t>(st.st_size);
      zs->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_OPEN: out->read_at = 0; return 0;
    case ZIP_SOURCE_READ: {
      const ssize_t n = ::pread(out->fd, data, length, static_cast<off_t>(out->read_at));
      if (n < 0) return failed(ZIP_ER_READ);
      out->read_at += static_cast<uint64_t>(n);
      return n;
    }
    case ZIP_SOURCE_SEEK: {
      struct stat st {};
      if (::fstat(out->fd, &st) != 0) return failed(ZIP_ER_SEEK);
      const zip_int64_t at =
          zip_source_seek_compute_offset(out->read_at, static_cast<zip_uint64_t>(st.st_size), data, length, &out->error);
      if (at < 0) return -1;
      out->read_at = static_cast<uint64_t>(at);
      return 0;
    }
    case ZIP_SOURCE_TELL: return static_cast<zip_int64_t>(out->read_at);
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
    case ZIP_SOURCE_COMMIT_WRITE: return 0;
    case ZIP_SOURCE_BEGIN_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
      if (::ftruncate(out->fd, 0) != 0 || ::lseek(out->fd, 0, SEEK_SET) != 0) return failed(ZIP_ER_WRITE);
      return 0;
    case ZIP_SOURCE_WRITE: {
      const auto *bytes = static_cast<const char *>(data);
      for (zip_uint64_t done = 0; done < length;) {
        const ssize_t n = ::write(out->fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failed(ZIP_ER_WRITE);
        done += static_cast<zip_uint64_t>(n);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      const auto *args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &out->error);
      if (!args || ::lseek(out->fd, static_cast<off_t>(args->offset), args->whence) < 0) return failed(ZIP_ER_SEEK);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t at = ::lseek(out->fd, 0, SEEK_CUR);
      return at < 0 ? failed(ZIP_ER_TELL) : static_cast<zip_int64_t>(at);
    }
    case ZIP_SOURCE_ERROR: return zip_error_to_data(&out->error, data, length);
    default: zip_error_set(&out->error, ZIP_ER_OPNOTSUPP, 0); return -1;
  }
}

// One call's entry, made when libzip reads it and let go when it has: an
// export of thousands of calls holds one recording open at a time.
struct ZipEntry {
  const RecordingSource *source;
  CallRow row;
  bool here;
  FileFormat format;
  std::shared_ptr<CallContent> content;  // between open and close
  uint64_t read_at = 0;
  zip_error_t error;
};

zip_int64_t EntryCommand(void *user, void *data, zip_uint64_t length, zip_source_cmd_t command) {
  auto *e = static_cast<ZipEntry *>(user);
  switch (command) {
    case ZIP_SOURCE_SUPPORTS: return ZIP_SOURCE_SUPPORTS_READABLE;
    case ZIP_SOURCE_STAT: {
      // The length is known once the file is made (an Opus encoding is made
      // only when read): libzip takes it from what it reads.
      auto *zs = static_cast<zip_stat_t *>(data);
      zs->mtime = static_cast<time_t>(e->row.start_ms / 1000);
      zs->valid |= ZIP_STAT_MTIME;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_OPEN: {
      // Any exception ends here: libzip is C and cannot pass it on.
      try {
        CallFile file = OpenCallFile(*e->source, e->row, e->format, e->here);
        if (!file.content) {
          std::fprintf(stderr, "talo-recorder: export: call %lld: %s\n", static_cast<long long>(e->row.id),
                       file.error.c_str());
          zip_error_set(&e->error, ZIP_ER_OPEN, 0);
          return -1;
        }
        e->content = std::move(file.content);
      } catch (...) {
        zip_error_set(&e->error, ZIP_ER_MEMORY, 0);
        return -1;
      }
      e->read_at = 0;
      return 0;
    }
    case ZIP_SOURCE_READ: {
      if (!e->content) return 0;
      try {
        std::string piece;
        e->content->Read(e->read_at, length, &piece);
        std::memcpy(data, piece.data(), piece.size());
        e->read_at += piece.size();
        // A file that shrank under us would make an entry shorter than the manifest says.
        if (piece.empty() && e->read_at < e->content->Size()) {
          zip_error_set(&e->error, ZIP_ER_READ, 0);
          return -1;
        }
        return static_cast<zip_int64_t>(piece.size());
      } catch (...) {
        zip_error_set(&e->error, ZIP_ER_MEMORY, 0);
        return -1;
      }
    }
    case ZIP_SOURCE_CLOSE: e->content.reset(); return 0;
    case ZIP_SOURCE_FREE: return 0;
    case ZIP_SOURCE_ERROR: return zip_error_to_data(&e->error, data, length);
    default: zip_error_set(&e->error, ZIP_ER_OPNOTSUPP, 0); return -1;
  }
}

std::string Manifest(const std::vector<CallRow> &rows, const std::vector<std::string> &files) {
  std::string out = "id,channel,direction,number,start,duration,file,sha256\r\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const CallRow &r = rows[i];
    char duration[32];
    std::snprintf(duration, sizeof duration, "%lld.%03lld", static_cast<long long>(r.duration_ms / 1000),
                  static_cast<long long>(r.duration_ms % 1000));
    out += std::to_string(r.id) + "," + std::to_string(r.channel) + "," + CsvField(r.direction) + "," +
           CsvField(r.number) + "," + UtcTime(r.start_ms, true) + "," + duration + "," + CsvField(files[i]) + "," +
           CsvField(r.sha256) + "\r\n";
  }
  return out;
}

}  // namespace

std::optional<Fd> BuildExportZip(const RecordingSource &source, const std::vector<CallRow> &rows,
                                 const std::vector<bool> &here, FileFormat format, std::string *error) {
  Fd fd = AnonymousFile();
  if (!fd) {
    *error = std::string("no temporary file: ") + std::strerror(errno);
    return std::nullopt;
  }
  ZipOutput output{fd.Get(), 0, {}};
  zip_error_init(&output.error);
  zip_error_t failure;
  zip_error_init(&failure);
  zip_source_t *target = zip_source_function_create(OutputCommand, &output, &failure);
  zip_t *zip = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &failure) : nullptr;
  if (!zip) {
    *error = std::string("cannot start the archive: ") + zip_error_strerror(&failure);
    if (target) zip_source_free(target);
    zip_error_fini(&failure);
    zip_error_fini(&output.error);
    return std::nullopt;
  }
  zip_error_fini(&failure);
  // Kept until the archive is closed: libzip reads them only then.
  std::vector<std::unique_ptr<ZipEntry>> entries;
  std::vector<std::string> files(rows.size());
  std::string manifest;
  bool ok = true;
  for (size_t i = 0; i < rows.size() && ok; ++i) {
    const CallRow &row = rows[i];
    // Listed without a file when it has none to give; looked at now, read later.
    const bool local = i < here.size() && here[i];
    if (Refusal(row, format) || !((local && OpenRecording(source.root, row.path)) || (source.store && HasCurrentObject(row))))
      continue;
    auto entry = std::make_unique<ZipEntry>(ZipEntry{&source, row, local, format, nullptr, 0, {}});
    zip_error_init(&entry->error);
    const std::string name = DownloadName(row, format);
    zip_source_t *source = zip_source_function(zip, EntryCommand, entry.get());
    const zip_int64_t at = source ? zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (at < 0) {
      if (source) zip_source_free(source);
      ok = false;
    } else {
      ok = zip_set_file_compression(zip, static_cast<zip_uint64_t>(at), ZIP_CM_STORE, 0) == 0;
      files[i] = name;
    }
    entries.push_back(std::move(entry));
  }
  if (ok) {
    manifest = Manifest(rows, files);
    zip_source_t *source = zip_source_buffer(zip, manifest.data(), manifest.size(), 0);
    ok = source && zip_file_add(zip, "manifest.csv", source, ZIP_FL_ENC_UTF_8) >= 0;
    if (source && !ok) zip_source_free(source);
  }
  if (ok && zip_close(zip) == 0) zip = nullptr;
  const bool built = !zip;
  if (zip) {
    *error = std::string("cannot build the archive: ") + zip_strerror(zip);
    zip_discard(zip);
  }
  for (auto &entry : entries) zip_error_fini(&entry->error);
  zip_error_fini(&output.error);
  if (!built) return std::nullopt;
  return fd;
}

}  // namespace talo_recorder
