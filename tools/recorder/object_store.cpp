// The object-store client over libcurl; see object_store.h.
#include "object_store.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "safe_fs.h"

namespace talo_recorder {
namespace {

// A dead or stalled store fails the call instead of holding its caller.
constexpr long kConnectSeconds = 5;
constexpr long kLowSpeedBytes = 1024;
constexpr long kLowSpeedSeconds = 20;
// Error answers are read for their code only; a hostile store cannot grow us.
constexpr size_t kErrorBodyCap = 4096;
constexpr size_t kMaxKeyBytes = 1024;
constexpr size_t kMaxSecretBytes = 4096;
// The most a store takes in one PUT.
constexpr int64_t kMaxPutBytes = int64_t{5} << 30;
// The payload hash of a request without a body.
constexpr const char *kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsSha256Hex(const std::string &text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Whether a key can go into a path unchanged by the URL's own rules: curl
// would fold "." and ".." segments, and an empty segment is a different key
// on some stores.
bool KeyUsable(const std::string &key) {
  if (key.empty() || key.size() > kMaxKeyBytes || key.front() == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t end = key.find('/', start);
    const std::string_view segment(key.data() + start, (end == std::string::npos ? key.size() : end) - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::none_of(key.begin(), key.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Each byte but the unreserved ones and '/' as %XX: the path is then already
// in the form the signature is computed over.
std::string EncodePath(const std::string &key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : key) {
    if (IsUnreserved(c) || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The <Code> of an error answer, letters only, "" when there is none.
std::string ErrorCode(const std::string &body) {
  const size_t at = body.find("<Code>");
  if (at == std::string::npos) return "";
  std::string code;
  for (size_t i = at + 6; i < body.size() && code.size() < 64 && std::isalnum(static_cast<unsigned char>(body[i])); ++i)
    code += body[i];
  return code;
}

struct EasyDeleter {
  void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

// One request in flight: its handle, its headers and where its answer goes.
struct Request {
  std::unique_ptr<CURL, EasyDeleter> easy{curl_easy_init()};
  std::unique_ptr<curl_slist, ListDeleter> headers;
  char error[CURL_ERROR_SIZE] = {};
  std::string error_body;  // up to kErrorBodyCap of a non-2xx answer
  const std::function<bool(std::string_view)> *sink = nullptr;
  bool ranged = false;
  bool sink_stopped = false;
  bool whole_instead_of_range = false;
  // The upload's source.
  int fd = -1;
  int64_t left = 0;
  int read_errno = 0;
  bool short_file = false;

  void AddHeader(const std::string &line) {
    curl_slist *grown = curl_slist_append(headers.get(), line.c_str());
    if (grown) {
      (void)headers.release();
      headers.reset(grown);
    }
  }
};

long ResponseCode(CURL *easy) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

size_t OnBody(char *data, size_t size, size_t count, void *user) {
  auto *request = static_cast<Request *>(user);
  const size_t bytes = size * count;
  const long status = ResponseCode(request->easy.get());
  if (status >= 200 && status < 300 && request->sink) {
    // A store that ignores the range would hand us the wrong bytes.
    if (request->ranged && status != 206) {
      request->whole_instead_of_range = true;
      return 0;
    }
    try {
      if (!(*request->sink)(std::string_view(data, bytes))) {
        request->sink_stopped = true;
        return 0;
      }
    } catch (...) {
      request->sink_stopped = true;
      return 0;
    }
    return bytes;
  }
  const size_t room = kErrorBodyCap - std::min(kErrorBodyCap, request->error_body.size());
  request->error_body.append(data, std::min(room, bytes));
  return bytes;
}

size_t OnUpload(char *buffer, size_t size, size_t count, void *user) {
  auto *request = static_cast<Request *>(user);
  const size_t want = static_cast<size_t>(std::min<int64_t>(request->left, static_cast<int64_t>(size * count)));
  if (want == 0) return 0;
  for (;;) {
    const ssize_t got = ::read(request->fd, buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      request->read_errno = errno;
      return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
      request->short_file = true;
      return CURL_READFUNC_ABORT;
    }
    request->left -= got;
    return static_cast<size_t>(got);
  }
}

}  // namespace

ObjectStore::ObjectStore(ObjectStoreConfig config)
    : config_([&] {
        while (!config.endpoint.empty() && config.endpoint.back() == '/') config.endpoint.pop_back();
        if (config.region.empty()) config.region = "us-east-1";
        return std::move(config);
      }()),
      sigv4_("aws:amz:" + config_.region + ":s3"),
      userpwd_(config_.access_key + ":" + config_.secret_key) {
  GlobalInitOnce();
}

std::string ObjectStore::Url(const std::string &key) const {
  std::string url = config_.endpoint + "/" + EncodePath(config_.bucket);
  if (!key.empty()) url += "/" + EncodePath(config_.prefix + key);
  return url;
}

namespace {

// Sets what every request shares, performs it and says how it went; `what`
// names the request in the message ("PUT a/b.wav").
StoreResult Perform(Request &request, const std::string &url, const std::string &sigv4, const std::string &userpwd,
                    const std::string &endpoint, const std::string &what) {
  StoreResult result;
  CURL *easy = request.easy.get();
  if (!easy) return {false, 0, what + ": out of memory"};
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(easy, CURLOPT_USERPWD, userpwd.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request.error);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headers.get());
  const CURLcode code = curl_easy_perform(easy);
  result.status = ResponseCode(easy);
  if (request.short_file) return {false, 0, what + ": the file ended before its size"};
  if (request.read_errno) return {false, 0, what + ": reading the file: " + std::strerror(request.read_errno)};
  if (request.whole_instead_of_range) return {false, result.status, what + ": the store ignored the byte range"};
  if (request.sink_stopped) return {false, result.status, what + ": stopped by the reader"};
  if (code != CURLE_OK) {
    const std::string detail = request.error[0] ? request.error : curl_easy_strerror(code);
    if (result.status == 0)
      result.message = what + ": cannot reach " + endpoint + ": " + detail;
    else
      result.message = what + ": " + detail + " (HTTP " + std::to_string(result.status) + ")";
    return result;
  }
  result.ok = result.status >= 200 && result.status < 300;
  if (!result.ok) {
    const std::string store_code = ErrorCode(request.error_body);
    result.message = what + ": HTTP " + std::to_string(result.status) + (store_code.empty() ? "" : " " + store_code);
  }
  return result;
}

}  // namespace

StoreResult ObjectStore::Check() const {
  Request request;
  request.AddHeader(std::string("x-amz-content-sha256: ") + kEmptySha256);
  curl_easy_setopt(request.easy.get(), CURLOPT_NOBODY, 1L);
  StoreResult result = Perform(request, Url(""), sigv4_, userpwd_, config_.endpoint, "bucket check");
  if (result.ok || result.status == 0) return result;
  // A HEAD answer has no body to name the cause: the status has to.
  if (result.status == 403)
    result.message = config_.endpoint + " refused access key \"" + config_.access_key +
                     "\" or its signature (HTTP 403): check the access key and the secret key";
  else if (result.status == 404)
    result.message = "bucket \"" + config_.bucket + "\" does not exist at " + config_.endpoint + " (HTTP 404)";
  else if (result.status == 301 || result.status == 400)
    result.message = "bucket \"" + config_.bucket + "\" is not in region \"" + config_.region + "\" at " +
                     config_.endpoint + " (HTTP " + std::to_string(result.status) + ")";
  else
    result.message = "bucket \"" + config_.bucket + "\" at " + config_.endpoint + ": HTTP " +
                     std::to_string(result.status);
  return result;
}

StoreResult ObjectStore::CreateBucket() const {
  Request request;
  request.AddHeader(std::string("x-amz-content-sha256: ") + kEmptySha256);
  CURL *easy = request.easy.get();
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t{0});
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnUpload);
  curl_easy_setopt(easy, CURLOPT_READDATA, &request);
  return Perform(request, Url(""), sigv4_, userpwd_, config_.endpoint, "create bucket " + config_.bucket);
}

StoreResult ObjectStore::Put(const std::string &key, int fd, int64_t size, const std::string &sha256_hex) const {
  const std::string what = "PUT " + key;
  if (!KeyUsable(key)) return {false, 0, what + ": not a usable key"};
  if (!IsSha256Hex(sha256_hex)) return {false, 0, what + ": the hash is not 64 lowercase hex digits"};
  if (fd < 0 || size < 0) return {false, 0, what + ": no file"};
  if (size > kMaxPutBytes) return {false, 0, what + ": larger than one upload may be (5 GiB)"};
  Request request;
  request.fd = fd;
  request.left = size;
  // The declared payload hash is signed and checked by the store against the
  // body it received, so a file changed while read is refused, not stored.
  request.AddHeader("x-amz-content-sha256: " + sha256_hex);
  request.AddHeader("x-amz-meta-sha256: " + sha256_hex);
  CURL *easy = request.easy.get();
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnUpload);
  curl_easy_setopt(easy, CURLOPT_READDATA, &request);
  return Perform(request, Url(key), sigv4_, userpwd_, config_.endpoint, what);
}

StoreResult ObjectStore::Head(const std::string &key, ObjectInfo *info) const {
  const std::string what = "HEAD " + key;
  if (!KeyUsable(key)) return {false, 0, what + ": not a usable key"};
  Request request;
  request.AddHeader(std::string("x-amz-content-sha256: ") + kEmptySha256);
  CURL *easy = request.easy.get();
  curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  StoreResult result = Perform(request, Url(key), sigv4_, userpwd_, config_.endpoint, what);
  if (!result.ok || !info) return result;
  curl_off_t length = -1;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  info->size = length;
  info->sha256.clear();
  curl_header *header = nullptr;
  if (curl_easy_header(easy, "x-amz-meta-sha256", 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header->value) {
    const std::string value = header->value;
    if (IsSha256Hex(value)) info->sha256 = value;
  }
  return result;
}

StoreResult ObjectStore::Get(const std::string &key, int64_t first, int64_t last,
                             const std::function<bool(std::string_view)> &sink) const {
  const std::string what = "GET " + key;
  if (!KeyUsable(key)) return {false, 0, what + ": not a usable key"};
  if (first < 0 || (last >= 0 && last < first)) return {false, 0, what + ": not a byte range"};
  Request request;
  request.AddHeader(std::string("x-amz-content-sha256: ") + kEmptySha256);
  request.sink = &sink;
  const std::string range = std::to_string(first) + "-" + (last >= 0 ? std::to_string(last) : "");
  request.ranged = first > 0 || last >= 0;
  if (request.ranged) curl_easy_setopt(request.easy.get(), CURLOPT_RANGE, range.c_str());
  return Perform(request, Url(key), sigv4_, userpwd_, config_.endpoint, what);
}

StoreResult ObjectStore::Delete(const std::string &key) const {
  const std::string what = "DELETE " + key;
  if (!KeyUsable(key)) return {false, 0, what + ": not a usable key"};
  Request request;
  request.AddHeader(std::string("x-amz-content-sha256: ") + kEmptySha256);
  curl_easy_setopt(request.easy.get(), CURLOPT_CUSTOMREQUEST, "DELETE");
  return Perform(request, Url(key), sigv4_, userpwd_, config_.endpoint, what);
}

std::optional<std::string> ObjectStore::ReadSecretFile(const std::string &path, std::string *error) {
  auto fail = [&](const std::string &why) -> std::optional<std::string> {
    if (error) *error = path + ": " + why;
    return std::nullopt;
  };
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return fail(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  if (st.st_mode & 077) return fail("readable by others than its owner (chmod 600 it)");
  if (st.st_size > static_cast<off_t>(kMaxSecretBytes)) return fail("too large for a secret key");
  std::string secret(kMaxSecretBytes + 1, '\0');
  size_t have = 0;
  while (have < secret.size()) {
    const ssize_t got = ::read(fd.Get(), secret.data() + have, secret.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(std::strerror(errno));
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  if (have > kMaxSecretBytes) return fail("too large for a secret key");
  secret.resize(have);
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) return fail("empty");
  return secret;
}

}  // namespace talo_recorder
