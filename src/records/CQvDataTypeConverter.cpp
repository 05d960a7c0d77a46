#include "records/CQvDataTypeConverter.h"

#include <chrono>
#include <cmath>

#include <string>
#include <vector>
#include "core/Error.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedRegistry.h"

namespace qv {
namespace {

constexpr char kSource[] = "CQvDataTypeConverter";
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDays1601 = -109205;  // 1601-01-01 counted from 1899-12-30

std::string ToUpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Null, empty, 0 and "" all count as "no bias read yet"; arrays and objects do not.
bool IsUnset(const ado::Variant& raw) {
  if (raw.IsNull() || raw.IsEmpty()) return true;
  if (raw.IsArray() || raw.IsObject()) return false;
  return ado::ValuesEqual(raw, ado::Variant());
}

// A continuous count of days since 1899-12-30, rounded to the second, as a date.
// Throws overflow outside the range of dates.
ado::Date DateFromDays(double serial_days) {
  if (!std::isfinite(serial_days) || std::fabs(serial_days) > 4.0e6) {
    throw core::Error(core::kErrOverflow, kSource, "Date out of range");
  }
  const auto seconds = static_cast<int64_t>(std::llround(serial_days * kSecondsPerDay));
  int64_t day = seconds / kSecondsPerDay;
  int64_t second_of_day = seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --day;
  }
  namespace chrono = std::chrono;
  const chrono::year_month_day ymd{chrono::sys_days{chrono::year{1899} / chrono::December / 30} +
                                   chrono::days{day}};
  ado::Date::Parts parts;
  parts.year = static_cast<int>(ymd.year());
  parts.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  parts.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  parts.hour = static_cast<int>(second_of_day / 3600);
  parts.minute = static_cast<int>(second_of_day / 60 % 60);
  parts.second = static_cast<int>(second_of_day % 60);
  return ado::Date::FromParts(parts);
}

}  // namespace

void CQvDataTypeConverter::LoadBias() {
  if (!IsUnset(raw_bias_)) return;
  raw_bias_ = QvSharedRegistry::Instance().ReadValue(kHKeyLocalMachine,
                                                     "System\\CurrentControlSet\\Control\\",
                                                     "TimeZoneInformation", "ActiveTimeBias");
  const std::string type_name = ToUpperAscii(raw_bias_.TypeName());
  if (type_name == "LONG") {
    bias_minutes_ = raw_bias_.ToLong();
  } else if (type_name == "VARIANT()" || type_name == "BYTE()") {
    // Little-endian bytes of a two's complement 32-bit number.
    uint32_t bias = 0;
    if (raw_bias_.Type() == ado::VarType::kBytes) {
      const ado::Bytes& bytes = raw_bias_.AsBytes();
      for (size_t i = 0; i < bytes.size() && i < 4; ++i) bias |= uint32_t{bytes[i]} << (8 * i);
    } else {
      const auto& items = raw_bias_.AsArray().items;
      for (size_t i = 0; i < items.size() && i < 4; ++i) {
        bias |= (static_cast<uint32_t>(items[i].ToLong()) & 0xFF) << (8 * i);
      }
    }
    bias_minutes_ = static_cast<int32_t>(bias);
  }
}

ado::Variant CQvDataTypeConverter::Integer8ToDate(const ado::Variant& value) {
  return Guard(
      ReportToErrorLog, ado::Variant(),
      [&](int& line) {
        line = 1;
        LoadBias();
        line = 2;
        if (!value.IsObject() || !value.AsObject()) {
          throw core::Error(core::kErrObjectRequired, kSource, "Object required");
        }
        int64_t high = value.AsObject()->GetProperty("HighPart").ToLong();
        const int64_t low = value.AsObject()->GetProperty("LowPart").ToLong();
        line = 3;
        // The low half is signed; a negative one has borrowed 2^32 from the high half.
        if (low < 0) high += 1;
        line = 4;
        if (high == 0 && low == 0) return ado::Variant();
        line = 5;
        const double intervals =
            static_cast<double>(high) * 4294967296.0 + static_cast<double>(low);
        const double minutes = intervals / 600000000.0 - bias_minutes_;
        const double days = minutes / 1440.0 + static_cast<double>(kDays1601);
        line = 6;
        const ado::Date date = DateFromDays(days);
        const ado::Date::Parts parts = date.ToParts();
        if (parts.year == 1601 && parts.month == 1 && parts.day == 1 && !date.HasTime()) {
          return ado::Variant();
        }
        return ado::Variant(ado::Variant(date).ToText());
      },
      AtLine("CQvDataTypeConverter.Integer8ToDate, @Line#"));
}

std::string CQvDataTypeConverter::ObjSidToStrSid(const ado::Variant& sid) {
  return HexTextToSidText(BytesToHexText(sid));
}

std::string CQvDataTypeConverter::BytesToHexText(const ado::Variant& value) {
  if (value.Type() != ado::VarType::kBytes) {
    throw core::Error(core::kErrTypeMismatch, kSource, "Type mismatch");
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const uint8_t byte : value.AsBytes()) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::string CQvDataTypeConverter::HexTextToSidText(const std::string& hex_text) {
  const size_t n = hex_text.size() / 2;
  std::vector<uint8_t> bytes(n);
  for (size_t j = 0; j < n; ++j) {
    bytes[j] = static_cast<uint8_t>(std::stoul(hex_text.substr(2 * j, 2), nullptr, 16));
  }
  auto at = [&bytes](size_t index) -> uint64_t {
    if (index >= bytes.size()) {
      throw core::Error(core::kErrSubscriptOutOfRange, kSource, "Subscript out of range");
    }
    return bytes[index];
  };
  std::string text = "S-" + std::to_string(at(0));
  uint64_t authority = 0;
  for (size_t j = 2; j <= 7; ++j) authority = authority * 256 + at(j);
  text += "-" + std::to_string(authority);
  for (size_t i = 8; i + 1 <= n; i += 4) {
    uint64_t sub_authority = 0;
    for (size_t k = 4; k-- > 0;) sub_authority = sub_authority * 256 + at(i + k);
    text += "-" + std::to_string(sub_authority);
  }
  return text;
}

}  // namespace qv
