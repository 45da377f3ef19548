#include "naming.h"

#include <cstdio>
#include <mutex>

namespace talo_recorder {

bool KnownDirection(std::string_view d) {
  return d == "line" || d == "incoming" || d == "outgoing" || d == "message" || d == "fax";
}

std::string CleanNumber(std::string_view number) {
  std::string out;
  for (char c : number)
    if ((c >= '0' && c <= '9') || c == '+' || c == '*') out += c;
  return out.substr(0, 40);
}

std::string RecordPath(const RecordName &n, int extra) {
  std::tm tm{};
  localtime_r(&n.start, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d/ch%02d_%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, n.channel, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
  std::string path = text;
  if (extra > 0) path += "-" + std::to_string(extra);
  const std::string number = CleanNumber(n.number);
  path += "_" + (number.empty() ? std::string("unknown") : number) + "_" + n.direction;
  if (n.part > 1) path += "_p" + std::to_string(n.part);
  return path + (n.direction == "fax" ? ".pbm" : ".v");
}

bool ValidNodeName(std::string_view name) {
  if (name.empty() || name.size() > 63 || name.front() == '.') return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_'))
      return false;
  return true;
}

bool IsArchivePath(std::string_view path) { return path.ends_with(".opus"); }

std::string ArchivePathFor(std::string_view path) {
  if (!path.ends_with(".v")) return "";
  return std::string(path.substr(0, path.size() - 2)) + ".opus";
}

namespace {

// Reads exactly `count` digits at *at into *out.
bool Digits(std::string_view text, size_t *at, size_t count, int *out) {
  if (*at + count > text.size()) return false;
  int v = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[*at + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *at += count;
  *out = v;
  return true;
}

bool Literal(std::string_view text, size_t *at, std::string_view literal) {
  if (text.substr(*at, literal.size()) != literal) return false;
  *at += literal.size();
  return true;
}

}  // namespace

// yyyy/mm/dd/chNN_yyyymmdd-hhmmss[-k]_<number>_<direction>[_p<part>].<v|opus|pbm>
std::optional<RecordName> ParseRecordPath(std::string_view p) {
  size_t at = 0;
  int year, month, day, y2, m2, d2, hour, minute, second;
  if (!Digits(p, &at, 4, &year) || !Literal(p, &at, "/") || !Digits(p, &at, 2, &month) || !Literal(p, &at, "/") ||
      !Digits(p, &at, 2, &day) || !Literal(p, &at, "/ch"))
    return std::nullopt;
  RecordName n;
  const size_t ch_start = at;
  while (at < p.size() && p[at] >= '0' && p[at] <= '9' && at - ch_start < 4) n.channel = n.channel * 10 + (p[at++] - '0');
  if (at - ch_start < 2 || !Literal(p, &at, "_") || !Digits(p, &at, 4, &y2) || !Digits(p, &at, 2, &m2) ||
      !Digits(p, &at, 2, &d2) || !Literal(p, &at, "-") || !Digits(p, &at, 2, &hour) || !Digits(p, &at, 2, &minute) ||
      !Digits(p, &at, 2, &second) || y2 != year || m2 != month || d2 != day)
    return std::nullopt;
  if (Literal(p, &at, "-")) {  // a second name in the same second
    const size_t from = at;
    while (at < p.size() && p[at] >= '0' && p[at] <= '9') ++at;
    if (at == from) return std::nullopt;
  }
  if (!Literal(p, &at, "_")) return std::nullopt;
  const size_t number_end = p.find('_', at);
  if (number_end == std::string_view::npos) return std::nullopt;
  const std::string_view number = p.substr(at, number_end - at);
  if (number.empty() || (number != "unknown" && number.find_first_not_of("0123456789+*") != std::string_view::npos))
    return std::nullopt;
  n.number = number == "unknown" ? "" : std::string(number);
  at = number_end + 1;
  const size_t dot = p.rfind('.');
  if (dot == std::string_view::npos || dot < at) return std::nullopt;
  std::string_view middle = p.substr(at, dot - at);
  const size_t part_mark = middle.find("_p");
  if (part_mark != std::string_view::npos) {
    const std::string_view digits = middle.substr(part_mark + 2);
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    n.part = std::stoi(std::string(digits));
    middle = middle.substr(0, part_mark);
  }
  if (!KnownDirection(middle)) return std::nullopt;
  n.direction = std::string(middle);
  const std::string_view extension = p.substr(dot + 1);
  // An archived call's audio is its Ogg Opus file under the same name.
  if (n.direction == "fax" ? extension != "pbm" : extension != "v" && extension != "opus") return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  {
    // mktime reloads the time zone on every call, under a lock inside the C
    // library that the thread sanitizer cannot see; the console's request
    // threads take turns so that its reports stay with real races.
    static std::mutex time_zone;
    std::lock_guard lock(time_zone);
    n.start = std::mktime(&tm);
  }
  return n;
}

}  // namespace talo_recorder
