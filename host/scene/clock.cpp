// Parsing pinned clock times.
#include "clock.h"

#include <cstdio>
#include <ctime>
#include <regex>

namespace lumatrice {
namespace {

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && Leap(y) ? 29 : days[m - 1];
}

// 0 = Sunday, for the proleptic Gregorian calendar.
int DayOfWeek(int y, int m, int d) {
  static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

}  // namespace

bool ParseClock(const std::string& text, SYSTEMTIME& out, std::string& error) {
  static const std::regex iso(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?)"
      R"((Z|[+-]\d{2}(?::?\d{2})?)?$)");
  std::smatch m;
  if (!std::regex_match(text, m, iso)) {
    error = "\"" + text + "\" is not an ISO-8601 time (e.g. 2002-03-07T09:05:03)";
    return false;
  }
  auto num = [&](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
  int year = num(1), month = num(2), day = num(3);
  int hour = num(4), minute = num(5), second = num(6);
  int millis = 0;
  if (m[7].matched) millis = std::stoi((m[7].str() + "00").substr(0, 3));
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 ||
      day > DaysIn(year, month) || hour > 23 || minute > 59 || second > 59) {
    error = "\"" + text + "\" is not a real date and time";
    return false;
  }
  if (m[8].matched && !m[8].str().empty()) {
    // A zoned time names one instant; show it as this machine's local time.
    const std::string zone = m[8].str();
    long offset = 0;
    if (zone != "Z") {
      const int sign = zone[0] == '-' ? -1 : 1;
      const int zh = std::stoi(zone.substr(1, 2));
      const std::string rest = zone.size() > 3 ? zone.substr(zone[3] == ':' ? 4 : 3) : "0";
      const int zm = std::stoi(rest);
      if (zh > 23 || zm > 59) {
        error = "\"" + text + "\" has an impossible zone offset";
        return false;
      }
      offset = sign * (zh * 3600L + zm * 60L);
    }
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const std::time_t instant = ::timegm(&utc) - offset;
    std::tm local{};
    if (!::localtime_r(&instant, &local)) {
      error = "\"" + text + "\" cannot be shown as local time";
      return false;
    }
    year = local.tm_year + 1900;
    month = local.tm_mon + 1;
    day = local.tm_mday;
    hour = local.tm_hour;
    minute = local.tm_min;
    second = local.tm_sec;
  }
  out.wYear = WORD(year);
  out.wMonth = WORD(month);
  out.wDay = WORD(day);
  out.wDayOfWeek = WORD(DayOfWeek(year, month, day));
  out.wHour = WORD(hour);
  out.wMinute = WORD(minute);
  out.wSecond = WORD(second);
  out.wMilliseconds = WORD(millis);
  return true;
}

std::string FormatClock(const SYSTEMTIME& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned(t.wYear),
                unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute),
                unsigned(t.wSecond));
  return buf;
}

}  // namespace lumatrice
