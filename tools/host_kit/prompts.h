// The prompts a host names to the library, in its Sound folder (where the
// library also looks for its character prompts, Sound/Char/<c>.dat), and how
// long the board plays them: their lengths time the scripted day.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "day.h"

namespace host_kit {

inline constexpr const char *kGreeting = "greeting.dat";
inline constexpr const char *kNumberPrompt = "number.dat";
inline constexpr const char *kClosing = "closing.dat";
inline constexpr const char *kBlocked = "blocked.dat";
inline constexpr const char *kNotice = "notice.dat";
inline constexpr const char *kAnswerCaller = "answer_caller.dat";
inline constexpr const char *kAnswerUser = "answer_user.dat";
inline constexpr const char *kFaxRxPrompt = "fax_rx.dat";  // the caller's fax machine hears it before the transfer
inline constexpr const char *kFaxTxPrompt = "fax_tx.dat";  // played while the far fax machine is awaited

class Prompts {
 public:
  explicit Prompts(std::filesystem::path folder = {}) : folder_(std::move(folder)) {}
  const std::filesystem::path &Folder() const { return folder_; }
  std::string Path(const char *name) const { return (folder_ / name).string(); }
  // The prompt the library plays for one character of an announcement.
  std::filesystem::path Char(char c) const { return folder_ / "Char" / (std::string(1, c) + ".dat"); }

 private:
  std::filesystem::path folder_;
};

// The board's playing time of a prompt: 63 ms per started 256-byte block; 0 when missing.
int64_t PlayMs(const std::filesystem::path &file);

// The day's times from the prompts' and the speech's lengths; the prompts
// that are missing (the library skips them) are listed in *missing when given.
DayTimes MeasureDay(const Prompts &prompts, const std::filesystem::path &speech,
                    std::vector<std::string> *missing = nullptr);

}  // namespace host_kit
