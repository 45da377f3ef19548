// How long the board plays the prompts, and the day's times that follow.
#include "prompts.h"

namespace host_kit {

namespace fs = std::filesystem;

int64_t PlayMs(const fs::path &file) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : static_cast<int64_t>((size + 255) / 256 * 63);
}

DayTimes MeasureDay(const Prompts &prompts, const fs::path &speech, std::vector<std::string> *missing) {
  auto ms = [&](const fs::path &file) {
    const int64_t length = PlayMs(file);
    if (length == 0 && missing) missing->push_back(file.string());
    return length;
  };
  DayTimes t;
  std::error_code ec;
  t.speech = static_cast<int64_t>(fs::file_size(speech, ec) / 16);  // 16 bytes per ms of 8 kHz 16-bit audio
  t.greeting = ms(prompts.Path(kGreeting));
  t.number_prompt = ms(prompts.Path(kNumberPrompt));
  t.closing = ms(prompts.Path(kClosing));
  t.blocked = ms(prompts.Path(kBlocked));
  t.notice = ms(prompts.Path(kNotice));
  t.answer_caller = ms(prompts.Path(kAnswerCaller));
  ms(prompts.Path(kAnswerUser));
  ms(prompts.Path(kFaxRxPrompt));
  ms(prompts.Path(kFaxTxPrompt));
  for (char c = '0'; c <= '9'; ++c) ms(prompts.Char(c));
  // The ring trunk's station may be announced to the caller, digit by digit.
  for (char c : std::to_string(kRingTrunk + kTrunkUserStep)) t.answer_caller += PlayMs(prompts.Char(c));
  return t;
}

}  // namespace host_kit
