#include "db/sqlite/SqliteDriverText.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/Text.h"

namespace ado::sqlite {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// strtol as the driver calls it, the result narrowed to int.
int ToInt(const char* p, const char** end) {
  char* e = nullptr;
  const long n = std::strtol(p, &e, 10);
  *end = e;
  return static_cast<int>(n);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1) return 0;
  int days = kDays[(month - 1) % 12];
  if (days == 28 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ++days;
  return days;
}

bool BadDay(int year, int month, int day) {
  return month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month);
}

const char* SkipNonDigits(const char* p) {
  while (*p != '\0' && !IsDigit(*p)) ++p;
  return p;
}

// Whether p starts "am" (0) or "pm" (1), any case; -1 otherwise.
int AmPmAt(const char* p) {
  if ((p[0] == 'a' || p[0] == 'A') && (p[1] == 'm' || p[1] == 'M')) return 0;
  if ((p[0] == 'p' || p[0] == 'P') && (p[1] == 'm' || p[1] == 'M')) return 1;
  return -1;
}

uint16_t ApplyAmPm(uint16_t hour, int ampm) {
  if (ampm > 0 && hour < 12) return static_cast<uint16_t>(hour + 12);
  if (ampm == 0 && hour == 12) return 0;
  return hour;
}

int TwoDigits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

}  // namespace

std::optional<int64_t> DriverInteger(const char* text) {
  char* end = nullptr;
  const long long n = std::strtoll(text, &end, 0);
  if (end == text) return std::nullopt;
  return static_cast<int64_t>(n);
}

bool IsNumberText(const char* text, bool integer) {
  char* end = nullptr;
  if (integer) {
    (void)std::strtoll(text, &end, 0);
  } else {
    (void)std::strtod(text, &end);
  }
  return end != text && core::IsBlank(std::string_view(end), " \t\n\r");
}

std::optional<double> DriverDouble(const char* text) {
  // The program never changes the C locale, so the decimal point is '.'.
  char* end = nullptr;
  const double n = std::strtod(text, &end);
  if (end == text) return std::nullopt;
  return n;
}

bool DriverBool(const char* text) {
  return text[0] != '\0' && std::strchr("Yy123456789Tt", text[0]) != nullptr;
}

std::optional<DriverDate> DriverDateOf(const char* text) {
  DriverDate d;
  const char* p = SkipNonDigits(text);
  char sep = '\0';
  int i = 0;
  bool failed = false;
  while (i < 3) {
    const char* q = nullptr;
    const int n = ToInt(p, &q);
    if (q == p && *q == '\0') {
      failed = i == 0;
      break;
    }
    if (sep == '\0') sep = *q;
    if (*q == '-' || *q == '/' || *q == '\0' || i == 2) {
      if (i == 0) d.year = static_cast<int16_t>(n);
      if (i == 1) d.month = static_cast<uint16_t>(n);
      if (i == 2) d.day = static_cast<uint16_t>(n);
      ++i;
      if (*q != '\0') ++q;
    } else {
      i = 0;
      q = SkipNonDigits(q);
    }
    p = q;
  }
  if (failed || BadDay(d.year, d.month, d.day)) {
    if (sep != '/') return std::nullopt;
    // Read as MM/DD/YYYY; the driver checks only the month then.
    const DriverDate parsed = d;
    d.year = static_cast<int16_t>(parsed.day);
    d.month = static_cast<uint16_t>(parsed.year);
    d.day = parsed.month;
    if (d.month < 1 || d.month > 12) return std::nullopt;
  }
  return d;
}

std::optional<DriverTime> DriverTimeOf(const char* text) {
  DriverTime t;
  const char* p = SkipNonDigits(text);
  size_t digits = 0;
  while (IsDigit(p[digits])) ++digits;
  bool failed = false;
  if (digits >= 6) {
    t.hour = static_cast<uint16_t>(TwoDigits(p));
    t.minute = static_cast<uint16_t>(TwoDigits(p + 2));
    t.second = static_cast<uint16_t>(TwoDigits(p + 4));
  } else {
    int i = 0;
    bool stopped = false;
    while (i < 3) {
      const char* q = nullptr;
      const int n = ToInt(p, &q);
      if (q == p && *q == '\0') {
        failed = i == 0;
        stopped = true;
        break;
      }
      if (*q == ':' || *q == '\0' || i == 2) {
        if (i == 0) t.hour = static_cast<uint16_t>(n);
        if (i == 1) t.minute = static_cast<uint16_t>(n);
        if (i == 2) t.second = static_cast<uint16_t>(n);
        ++i;
        if (*q != '\0') ++q;
      } else {
        i = 0;
        q = SkipNonDigits(q);
      }
      p = q;
    }
    if (!stopped) {
      int ampm = -1;
      for (; *p != '\0'; ++p) {
        if (int found = AmPmAt(p); found >= 0) ampm = found;
      }
      t.hour = ApplyAmPm(t.hour, ampm);
    }
  }
  if (failed || t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

std::optional<DriverTimestamp> DriverTimestampOf(const char* text, const std::tm& today) {
  constexpr int kDate = 1, kTime = 2, kFraction = 4, kDateFirst = 8;
  DriverTimestamp ts;
  int seen = 0;
  int ampm = -1;
  bool failed = false;
  char sep = '\0';
  const char* p = SkipNonDigits(text);
  size_t digits = 0;
  while (IsDigit(p[digits])) ++digits;

  if (digits >= 14) {
    const std::string all(p, digits);
    ts.year = static_cast<int16_t>(std::strtol(all.substr(0, 4).c_str(), nullptr, 10));
    ts.month = static_cast<uint16_t>(TwoDigits(p + 4));
    ts.day = static_cast<uint16_t>(TwoDigits(p + 6));
    ts.hour = static_cast<uint16_t>(TwoDigits(p + 8));
    ts.minute = static_cast<uint16_t>(TwoDigits(p + 10));
    ts.second = static_cast<uint16_t>(TwoDigits(p + 12));
    if (digits > 14) {
      std::string fraction = all.substr(14);
      if (fraction.size() < 9) fraction.resize(9, '0');
      ts.fraction = static_cast<uint32_t>(std::strtol(fraction.c_str(), nullptr, 10));
    }
    seen = kDate | kTime | kFraction;
  } else {
    int i = 0;
    char in = '\0';
    bool stopped = false;
    while ((seen & 7) != 7) {
      const char* q = nullptr;
      int n = ToInt(p, &q);
      if (q == p && *q == '\0') {
        failed = seen < 1;
        stopped = true;
        break;
      }
      if (in == '\0') {
        if ((*q == '-' || *q == '/') && (seen & kDate) == 0) {
          in = *q;
          i = 0;
        } else if (*q == ':' && (seen & kTime) == 0) {
          in = ':';
          i = 0;
        } else if (*q != ' ' && *q != '.' && *q != '-' && *q != '/' && *q != ':') {
          i = 0;
        }
      }
      bool skip = true;   // reset `in` and skip to the next digit
      bool reset = true;  // whether skipping resets `in`
      if (in == '-' || in == '/') {
        if (sep == '\0') sep = in;
        if (i == 0) ts.year = static_cast<int16_t>(n);
        if (i == 1) ts.month = static_cast<uint16_t>(n);
        if (i == 2) ts.day = static_cast<uint16_t>(n);
        if (++i >= 3) {
          i = 0;
          seen |= kDate;
          if ((seen & kTime) == 0) seen |= kDateFirst;
        } else {
          ++q;
          skip = false;
        }
      } else if (in == ':') {
        if (i == 0) ts.hour = static_cast<uint16_t>(n);
        if (i == 1) ts.minute = static_cast<uint16_t>(n);
        if (i == 2) ts.second = static_cast<uint16_t>(n);
        if (++i >= 3) {
          i = 0;
          seen |= kTime;
          if (*q == '.') {
            in = '.';
            reset = false;
          } else if (*q == ' ') {
            bool date_follows = false;
            if ((seen & kDate) == 0) {
              char* e = nullptr;
              std::strtol(q + 1, &e, 10);
              date_follows = e != nullptr && *e == '-';
            }
            if (!date_follows) {
              in = '.';
              reset = false;
            }
          }
        } else {
          ++q;
          skip = false;
        }
      } else if (in == '.') {
        if (++i >= 1) {
          int ndig = static_cast<int>(q - p);
          if (p[0] == '+' || p[0] == '-') --ndig;
          for (; ndig < 9; ++ndig) n = static_cast<int>(static_cast<unsigned>(n) * 10u);
          ts.fraction = static_cast<uint32_t>(n);
          seen |= kFraction;
          i = 0;
        }
      }
      if (skip) {
        if (reset) in = '\0';
        while (*q != '\0' && !IsDigit(*q)) {
          if (int found = AmPmAt(q); found >= 0) {
            ampm = found;
            ++q;
          }
          ++q;
        }
      }
      p = q;
    }
    if (!stopped && (seen & 7) > 1 && (seen & kDateFirst) != 0 && p > text && IsDigit(*p) &&
        (p[-1] == '+' || p[-1] == '-')) {
      // An ISO 8601 zone: the time moves to UTC.
      const int sign = p[-1] == '+' ? -1 : 1;
      const char* q = nullptr;
      const int hours = ToInt(p, &q);
      if (*q == ':' && IsDigit(q[1])) {
        const int minutes = ToInt(q + 1, &q);
        ts.minute = static_cast<uint16_t>(ts.minute + minutes * sign);
        if (static_cast<int16_t>(ts.minute) < 0) {
          ts.hour = static_cast<uint16_t>(ts.hour - 1);
          ts.minute = static_cast<uint16_t>(ts.minute + 60);
        } else if (ts.minute >= 60) {
          ts.hour = static_cast<uint16_t>(ts.hour + 1);
          ts.minute = static_cast<uint16_t>(ts.minute - 60);
        }
        ts.hour = static_cast<uint16_t>(ts.hour + hours * sign);
        if (static_cast<int16_t>(ts.hour) < 0) {
          ts.day = static_cast<uint16_t>(ts.day - 1);
          ts.hour = static_cast<uint16_t>(ts.hour + 24);
        } else if (ts.hour >= 24) {
          ts.day = static_cast<uint16_t>(ts.day + 1);
          ts.hour = static_cast<uint16_t>(ts.hour - 24);
        }
        if (static_cast<int16_t>(ts.day) < 1 || ts.day >= 28) {
          const int month_days = DaysInMonth(ts.year, ts.month);
          const int previous = ts.month - 1 < 1 ? 12 : ts.month - 1;
          const int previous_days = DaysInMonth(ts.year, previous);
          if (static_cast<int16_t>(ts.day) < 1) {
            ts.month = static_cast<uint16_t>(ts.month - 1);
            ts.day = static_cast<uint16_t>(previous_days);
          } else if (ts.day > month_days) {
            ts.month = static_cast<uint16_t>(ts.month + 1);
            ts.day = 1;
          }
          if (static_cast<int16_t>(ts.month) < 1) {
            ts.year = static_cast<int16_t>(ts.year - 1);
            ts.month = 12;
          } else if (ts.month > 12) {
            ts.year = static_cast<int16_t>(ts.year + 1);
            ts.month = 1;
          }
        }
      }
    }
  }
  if ((seen & kDate) != 0 && BadDay(ts.year, ts.month, ts.day) && sep == '/') {
    const DriverTimestamp parsed = ts;  // MM/DD/YYYY
    ts.year = static_cast<int16_t>(parsed.day);
    ts.day = parsed.month;
    ts.month = static_cast<uint16_t>(parsed.year);
  }
  if (!failed && (seen & kDate) == 0) {
    ts.year = static_cast<int16_t>(today.tm_year + 1900);
    ts.month = static_cast<uint16_t>(today.tm_mon + 1);
    ts.day = static_cast<uint16_t>(today.tm_mday);
  }
  if (failed || BadDay(ts.year, ts.month, ts.day) || ts.hour > 23 || ts.minute > 59 ||
      ts.second > 59) {
    return std::nullopt;
  }
  if ((seen & 7) > 1) ts.hour = ApplyAmPm(ts.hour, ampm);
  if ((seen & 7) < 1) return std::nullopt;
  return ts;
}

}  // namespace ado::sqlite
