#include "live_hub.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace talo_recorder {
namespace {

constexpr size_t kBlockBytes = 136;   // four GSM frames, each followed by a zero byte
constexpr size_t kFrameStride = 34;
constexpr size_t kFrameSamples = 160;
constexpr size_t kLatencyWindow = 4096;

}  // namespace

struct LiveHub::Channel {
  LiveHub *hub = nullptr;
  int32_t ch = 0;
  QV_MonitorConnection connection{};
  QV_MonitorListener listener{};
  gsm decoder = nullptr;  // monitor thread only (one listener's callbacks never overlap)
  std::mutex mutex;
  std::vector<std::shared_ptr<Subscriber>> subscribers;  // guarded by mutex
  bool registered = false;                               // host thread only
};

bool Subscriber::Take(std::string *out, std::chrono::milliseconds wait,
                      std::chrono::steady_clock::time_point *oldest) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, wait, [&] { return !queue_.empty() || ended_; });
  out->clear();
  if (queue_.empty()) return !ended_;
  out->swap(queue_);
  *oldest = oldest_;
  return true;
}

void Subscriber::Push(const char *data, size_t size, std::chrono::steady_clock::time_point delivered) {
  {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    if (queue_.size() + size > capacity_) {
      // It has not read for longer than the queue holds: it is let go.
      overflowed_ = true;
      ended_ = true;
      queue_.clear();
    } else {
      if (queue_.empty()) oldest_ = delivered;
      queue_.append(data, size);
    }
  }
  ready_.notify_all();
}

void Subscriber::End() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  ready_.notify_all();
}

LiveHub::LiveHub(int32_t channels, size_t queue_bytes, Register start, Remove stop)
    : queue_bytes_(queue_bytes), start_(std::move(start)), stop_(std::move(stop)) {
  host_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  for (int32_t ch = 0; ch < channels; ++ch) {
    auto c = std::make_unique<Channel>();
    c->hub = this;
    c->ch = ch;
    c->connection = {c.get(), &LiveHub::Connected, &LiveHub::Write, &LiveHub::Disconnect};
    c->listener.connection = &c->connection;
    c->decoder = ::gsm_create();
    channels_.push_back(std::move(c));
  }
  latencies_ms_.reserve(kLatencyWindow);
}

LiveHub::~LiveHub() {
  for (auto &c : channels_)
    if (c->decoder) ::gsm_destroy(c->decoder);
  if (host_fd_ >= 0) ::close(host_fd_);
}

std::shared_ptr<Subscriber> LiveHub::Subscribe(int32_t ch) {
  if (stopped_ || ch < 0 || ch >= static_cast<int32_t>(channels_.size())) return nullptr;
  auto s = std::make_shared<Subscriber>(queue_bytes_);
  {
    std::lock_guard lock(channels_[ch]->mutex);
    channels_[ch]->subscribers.push_back(s);
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(host_fd_, &one, sizeof one);
  return s;
}

void LiveHub::Unsubscribe(int32_t ch, const std::shared_ptr<Subscriber> &subscriber) {
  if (ch < 0 || ch >= static_cast<int32_t>(channels_.size())) return;
  if (subscriber->Overflowed()) ++overflowed_;
  {
    std::lock_guard lock(channels_[ch]->mutex);
    auto &subs = channels_[ch]->subscribers;
    subs.erase(std::remove(subs.begin(), subs.end(), subscriber), subs.end());
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(host_fd_, &one, sizeof one);
}

size_t LiveHub::ListenersOn(int32_t ch) {
  if (ch < 0 || ch >= static_cast<int32_t>(channels_.size())) return 0;
  std::lock_guard lock(channels_[ch]->mutex);
  return channels_[ch]->subscribers.size();
}

void LiveHub::ProcessHost() {
  uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(host_fd_, &value, sizeof value);
  if (stopped_) return;
  for (auto &c : channels_) {
    bool wanted;
    {
      std::lock_guard lock(c->mutex);
      wanted = !c->subscribers.empty();
    }
    if (wanted && !c->registered) {
      c->registered = start_(c->ch, &c->listener);
      if (!c->registered) {
        // No such channel for the library (or inactive): the streams end.
        std::lock_guard lock(c->mutex);
        for (auto &s : c->subscribers) s->End();
      }
    } else if (!wanted && c->registered) {
      stop_(c->ch, &c->listener);
      c->registered = false;
    }
  }
}

void LiveHub::Stop() {
  stopped_ = true;
  for (auto &c : channels_) {
    if (c->registered) stop_(c->ch, &c->listener);
    c->registered = false;
    std::lock_guard lock(c->mutex);
    for (auto &s : c->subscribers) s->End();
  }
}

uint8_t LiveHub::Connected(void *context) {
  auto *c = static_cast<Channel *>(context);
  std::lock_guard lock(c->mutex);
  return c->subscribers.empty() ? 0 : 1;
}

int32_t LiveHub::Write(void *context, const void *data, int32_t size) {
  try {
    auto *c = static_cast<Channel *>(context);
    const auto delivered = std::chrono::steady_clock::now();
    if (size < 0 || (size > 0 && !data)) return 1;
    const auto *bytes = static_cast<const uint8_t *>(data);
    std::string pcm;
    pcm.reserve(static_cast<size_t>(size) / kBlockBytes * 4 * kFrameSamples * 2);
    for (size_t at = 0; at + kFrameStride <= static_cast<size_t>(size); at += kFrameStride) {
      gsm_signal samples[kFrameSamples];
      if (::gsm_decode(c->decoder, const_cast<gsm_byte *>(bytes + at), samples) != 0)
        std::fill(std::begin(samples), std::end(samples), 0);
      // Little-endian 16-bit PCM, as in the WAV the browser gets.
      for (gsm_signal s : samples) {
        pcm += static_cast<char>(static_cast<uint16_t>(s) & 0xff);
        pcm += static_cast<char>(static_cast<uint16_t>(s) >> 8);
      }
    }
    std::lock_guard lock(c->mutex);
    for (auto &s : c->subscribers) s->Push(pcm.data(), pcm.size(), delivered);
    return 0;
  } catch (...) {
    return 1;
  }
}

void LiveHub::Disconnect(void *) {}

void LiveHub::NoteLatency(std::chrono::steady_clock::time_point delivered) {
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - delivered).count();
  std::lock_guard lock(stats_mutex_);
  if (latencies_ms_.size() < kLatencyWindow)
    latencies_ms_.push_back(ms);
  else
    latencies_ms_[latency_next_] = ms;
  latency_next_ = (latency_next_ + 1) % kLatencyWindow;
  ++latency_count_;
}

LiveStats LiveHub::Stats() {
  LiveStats s;
  for (int32_t ch = 0; ch < static_cast<int32_t>(channels_.size()); ++ch) s.listeners += ListenersOn(ch);
  s.overflowed = overflowed_;
  std::vector<double> v;
  {
    std::lock_guard lock(stats_mutex_);
    v = latencies_ms_;
    s.latency_samples = latency_count_;
  }
  if (!v.empty()) {
    std::sort(v.begin(), v.end());
    s.latency_p50_ms = v[v.size() / 2];
    s.latency_p99_ms = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.latency_max_ms = v.back();
  }
  return s;
}

}  // namespace talo_recorder
