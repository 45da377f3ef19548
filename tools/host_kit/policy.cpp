// Reading and applying the hosts' call policy. Every key is checked
// before anything starts, so a typing mistake in the file is reported by its
// name instead of silently taking a default.
#include "policy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>

namespace host_kit {
namespace {

using nlohmann::json;

constexpr int32_t kMinUserRingTimeoutMs = 10000;  // the library rings the station at least this long
constexpr int32_t kMaxUserRingTimeoutMs = 86400000;
constexpr int32_t kMaxChannel = 4095;
constexpr size_t kMaxNumberLength = 127;  // what the library passes on of a caller number

constexpr const char *kModeNames[] = {"ring", "message", "ring-then-message"};
constexpr const char *kAnnounceNames[] = {"none", "station", "account"};

[[noreturn]] void Fail(const std::string &message) { throw PolicyError(message); }

std::string Quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

// A value as the user wrote it, cut short: enough to find it in the file.
std::string Shown(const json &value) {
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

// Also refuses 15000.5, and numbers too large for 64 bits, which the parser keeps as floating point.
bool IsWholeNumberIn(const json &value, int32_t min, int32_t max) {
  if (value.is_number_unsigned()) {
    const uint64_t n = value.get<uint64_t>();
    return n <= static_cast<uint64_t>(max) && static_cast<int64_t>(n) >= min;
  }
  if (!value.is_number_integer()) return false;
  const int64_t n = value.get<int64_t>();
  return n >= min && n <= max;
}

bool OnlyOf(std::string_view text, std::string_view allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// One JSON object of the policy and where it sits, for the messages.
class Section {
 public:
  Section(const json &object, std::string path, std::initializer_list<std::string_view> keys)
      : object_(object), path_(std::move(path)) {
    if (!object_.is_object())
      Fail(path_.empty() ? "the policy must be a JSON object, not " + Shown(object_)
                         : Quoted(path_) + " must be an object, not " + Shown(object_));
    for (const auto &item : object_.items()) {
      if (std::find(keys.begin(), keys.end(), item.key()) != keys.end()) continue;
      std::string known;
      for (std::string_view k : keys) known += (known.empty() ? "" : ", ") + std::string(k);
      Fail("unknown key " + Quoted(PathOf(item.key())) + " (known here: " + known + ")");
    }
  }

  std::string PathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }
  const json *Find(std::string_view key) const {
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

  Section Object(std::string_view key, std::initializer_list<std::string_view> keys) const {
    static const json kEmpty = json::object();
    const json *value = Find(key);
    return Section(value ? *value : kEmpty, PathOf(key), keys);
  }

  void Bool(std::string_view key, bool &out) const {
    const json *value = Find(key);
    if (!value) return;
    if (!value->is_boolean()) Fail(Quoted(PathOf(key)) + " must be true or false, not " + Shown(*value));
    out = value->get<bool>();
  }

  void Int(std::string_view key, int32_t min, int32_t max, int32_t &out) const {
    const json *value = Find(key);
    if (!value) return;
    if (!IsWholeNumberIn(*value, min, max))
      Fail(Quoted(PathOf(key)) + " must be a whole number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not " + Shown(*value));
    out = static_cast<int32_t>(value->get<int64_t>());
  }

  // The index of the value among `names`; `out` untouched when the key is absent.
  template <size_t N>
  void Choice(std::string_view key, const char *const (&names)[N], int &out) const {
    const json *value = Find(key);
    if (value) out = ChoiceOf(*value, PathOf(key), names);
  }

  template <size_t N>
  static int ChoiceOf(const json &value, const std::string &path, const char *const (&names)[N]) {
    if (value.is_string()) {
      for (size_t i = 0; i < N; ++i)
        if (value.get<std::string>() == names[i]) return static_cast<int>(i);
    }
    std::string known;
    for (const char *name : names) known += (known.empty() ? "" : ", ") + std::string(name);
    Fail(Quoted(path) + " must be one of " + known + ", not " + Shown(value));
  }

  // A list of channel numbers.
  std::set<int32_t> Channels(std::string_view key) const {
    const json *value = Find(key);
    if (!value) return {};
    if (!value->is_array()) Fail(Quoted(PathOf(key)) + " must be a list, not " + Shown(*value));
    std::set<int32_t> channels;
    for (size_t i = 0; i < value->size(); ++i) {
      const json &item = (*value)[i];
      if (!IsWholeNumberIn(item, 0, kMaxChannel))
        Fail(Quoted(PathOf(key) + "[" + std::to_string(i) + "]") + " must be a channel number (0 to " +
             std::to_string(kMaxChannel) + "), not " + Shown(item));
      channels.insert(item.get<int32_t>());
    }
    return channels;
  }

  // A list of texts, each checked by `valid`, which says what it wants.
  template <typename Check>
  std::vector<std::string> Texts(std::string_view key, const char *wanted, Check valid) const {
    const json *value = Find(key);
    if (!value) return {};
    if (!value->is_array()) Fail(Quoted(PathOf(key)) + " must be a list, not " + Shown(*value));
    std::vector<std::string> texts;
    for (size_t i = 0; i < value->size(); ++i) {
      const json &item = (*value)[i];
      const std::string where = PathOf(key) + "[" + std::to_string(i) + "]";
      if (!item.is_string() || !valid(item.get<std::string>()))
        Fail(Quoted(where) + " must be " + wanted + ", not " + Shown(item));
      texts.push_back(item.get<std::string>());
    }
    return texts;
  }

 private:
  const json &object_;
  std::string path_;
};

bool IsCallerNumber(std::string_view text) { return !text.empty() && text.size() <= kMaxNumberLength; }
bool IsDialPrefix(std::string_view text) { return OnlyOf(text, "0123456789*#ABCD"); }
// Sign-on fields end at "#", so they cannot hold one.
bool IsSignOnField(std::string_view text) { return OnlyOf(text, "0123456789*ABCD"); }

Policy Parse(std::string_view text) {
  json root;
  try {
    root = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);
  } catch (const json::parse_error &e) {
    // The library's text starts with its own tag; the position and reason follow it.
    std::string what = e.what();
    if (const size_t cut = what.find("] "); cut != std::string::npos) what.erase(0, cut + 2);
    Fail("not valid JSON: " + what);
  }
  Policy p;
  const Section top(root, "",
                    {"incoming", "blocked_callers", "answer", "sign_on", "dial", "fax_only_trunks"});

  const Section incoming =
      top.Object("incoming", {"mode", "user_ring_timeout_ms", "number_entry", "trunk_modes"});
  int mode = static_cast<int>(p.mode);
  incoming.Choice("mode", kModeNames, mode);
  p.mode = static_cast<IncomingMode>(mode);
  incoming.Int("user_ring_timeout_ms", kMinUserRingTimeoutMs, kMaxUserRingTimeoutMs, p.user_ring_timeout_ms);
  incoming.Bool("number_entry", p.number_entry);
  if (const json *modes = incoming.Find("trunk_modes")) {
    const std::string path = incoming.PathOf("trunk_modes");
    if (!modes->is_object()) Fail(Quoted(path) + " must be an object, not " + Shown(*modes));
    for (const auto &item : modes->items()) {
      const std::string &key = item.key();
      if (!OnlyOf(key, "0123456789") || key.size() > 4 || std::stoi(key) > kMaxChannel)
        Fail(Quoted(path) + " has " + Quoted(key) + ", which is not a channel number (0 to " +
             std::to_string(kMaxChannel) + ")");
      p.trunk_modes[std::stoi(key)] =
          static_cast<IncomingMode>(Section::ChoiceOf(item.value(), path + "." + key, kModeNames));
    }
  }

  for (std::string &number :
       top.Texts("blocked_callers", "a caller number (1 to 127 characters)", IsCallerNumber))
    p.blocked_callers.insert(std::move(number));

  const Section answer = top.Object("answer", {"prompts", "announce"});
  answer.Bool("prompts", p.answer_prompts);
  int announce = static_cast<int>(p.announce);
  answer.Choice("announce", kAnnounceNames, announce);
  p.announce = static_cast<Announce>(announce);

  const Section sign_on = top.Object("sign_on", {"required", "accounts"});
  sign_on.Bool("required", p.sign_on_required);
  if (const json *accounts = sign_on.Find("accounts")) {
    const std::string path = sign_on.PathOf("accounts");
    if (!accounts->is_object()) Fail(Quoted(path) + " must be an object, not " + Shown(*accounts));
    for (const auto &item : accounts->items()) {
      if (!IsSignOnField(item.key()))
        Fail(Quoted(path) + " has " + Quoted(item.key()) + ", which is not an account (keys 0-9, *, A-D)");
      if (!item.value().is_string() || !IsSignOnField(item.value().get<std::string>()))
        Fail(Quoted(path + "." + item.key()) + " must be a PIN (keys 0-9, *, A-D), not " +
             Shown(item.value()));
      p.accounts[item.key()] = item.value().get<std::string>();
    }
  }
  if (p.sign_on_required && p.accounts.empty())
    Fail(Quoted("sign_on.accounts") + " must name at least one account when sign-on is required");

  const Section dial = top.Object("dial", {"blocked_prefixes", "answer_notice"});
  p.blocked_prefixes = dial.Texts("blocked_prefixes", "dial keys (0-9, *, #, A-D)", IsDialPrefix);
  dial.Bool("answer_notice", p.answer_notice);

  // A fax-only trunk never reaches the incoming modes: a mode of its own is a mistake.
  p.fax_only_trunks = top.Channels("fax_only_trunks");
  for (int32_t trunk : p.fax_only_trunks) {
    if (p.trunk_modes.count(trunk) != 0)
      Fail(Quoted("fax_only_trunks") + " has " + std::to_string(trunk) + ", which " +
           Quoted("incoming.trunk_modes") + " gives a mode: a fax-only trunk takes no other calls");
  }
  return p;
}

}  // namespace

IncomingMode Policy::ModeFor(int32_t trunk) const {
  auto it = trunk_modes.find(trunk);
  return it == trunk_modes.end() ? mode : it->second;
}

bool Policy::CallerRejected(std::string_view number) const {
  return blocked_callers.count(std::string(number)) != 0;
}

bool Policy::SignOnAccepted(std::string_view account, std::string_view pin) const {
  auto it = accounts.find(std::string(account));
  return it != accounts.end() && it->second == pin;
}

bool Policy::DialBlocked(std::string_view digits) const {
  return std::any_of(blocked_prefixes.begin(), blocked_prefixes.end(),
                     [&](const std::string &prefix) { return digits.starts_with(prefix); });
}

Policy ParsePolicy(std::string_view json_text) {
  try {
    return Parse(json_text);
  } catch (const PolicyError &e) {
    throw PolicyError(std::string("policy: ") + e.what());
  }
}

Policy LoadPolicyFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PolicyError("policy file '" + path + "': cannot be read: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return Parse(text.str());
  } catch (const PolicyError &e) {
    throw PolicyError("policy file '" + path + "': " + e.what());
  }
}

std::string_view DefaultPolicyText() {
  static constexpr std::string_view kText =
#include "default_policy.inc"
      ;
  return kText;
}

Policy DefaultPolicy() { return ParsePolicy(DefaultPolicyText()); }

Policy LoadPolicy(const std::string &file) { return file.empty() ? DefaultPolicy() : LoadPolicyFile(file); }

const char *ModeName(IncomingMode mode) { return kModeNames[static_cast<int>(mode)]; }

}  // namespace host_kit
