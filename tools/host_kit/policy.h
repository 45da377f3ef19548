// The hosts' call policy: how they answer the library's questions about
// trunk calls (incoming handling, rejected callers, sign-on, dial checks,
// answer prompts, fax-only trunks). Read from a JSON file the user may
// change; without one the demo's own policy (tools/demo_host/policy.json,
// built in) applies.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host_kit {

// The values of QV_IncomingPlan::IncomingMode.
enum class IncomingMode : int32_t { kRing = 0, kMessage = 1, kRingThenMessage = 2 };

// What the caller hears, digit by digit, before the answer prompt.
enum class Announce { kNone, kStation, kAccount };

// A policy that cannot be used; the message names the key at fault.
class PolicyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Keys a policy file leaves out keep the values below.
struct Policy {
  IncomingMode mode = IncomingMode::kRing;
  int32_t user_ring_timeout_ms = 20000;
  bool number_entry = true;
  std::map<int32_t, IncomingMode> trunk_modes;  // trunk channel -> its own mode

  std::set<std::string> blocked_callers;

  bool answer_prompts = false;
  Announce announce = Announce::kNone;

  bool sign_on_required = false;
  std::map<std::string, std::string> accounts;  // account -> PIN

  std::vector<std::string> blocked_prefixes;
  bool answer_notice = false;

  std::set<int32_t> fax_only_trunks;  // every call on them is a fax

  IncomingMode ModeFor(int32_t trunk) const;
  bool CallerRejected(std::string_view number) const;
  bool SignOnAccepted(std::string_view account, std::string_view pin) const;
  // The digits dialled so far begin with a blocked prefix.
  bool DialBlocked(std::string_view digits) const;
  bool FaxOnly(int32_t trunk) const { return fax_only_trunks.count(trunk) != 0; }

  bool operator==(const Policy &) const = default;
};

// Parses a policy (JSON; // and /* */ comments allowed). Throws PolicyError
// for bad JSON, unknown keys, wrong types and values out of range.
Policy ParsePolicy(std::string_view json_text);
// Reads and parses a policy file; PolicyError names the file too.
Policy LoadPolicyFile(const std::string &path);
// The demo's own policy, the text of policy.json as built in.
std::string_view DefaultPolicyText();
Policy DefaultPolicy();
// The policy a host runs with: the file's, or the built-in one for "".
Policy LoadPolicy(const std::string &file);

const char *ModeName(IncomingMode mode);

}  // namespace host_kit
