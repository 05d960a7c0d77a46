#include "db/OdbcConnectionString.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include "core/Text.h"

namespace ado {

namespace {

bool KeyIs(std::string_view key, std::string_view name) {
  return core::EqualsIgnoreCase(core::Trim(key), name);
}

const ConnectionStringPair* FindKey(const std::vector<ConnectionStringPair>& pairs,
                                    std::string_view name) {
  for (const auto& pair : pairs) {
    if (KeyIs(pair.key, name)) return &pair;
  }
  return nullptr;
}

std::string Join(const std::vector<ConnectionStringPair>& pairs) {
  std::string out;
  for (const auto& pair : pairs) {
    if (!out.empty()) out += ';';
    out += pair.key;
    out += '=';
    out += pair.value;
  }
  return out;
}

}  // namespace

bool IsPasswordKey(std::string_view key) { return KeyIs(key, "PWD") || KeyIs(key, "Password"); }

std::vector<ConnectionStringPair> ParseConnectionString(std::string_view text) {
  std::vector<ConnectionStringPair> pairs;
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = i;
    while (eq < text.size() && text[eq] != '=' && text[eq] != ';') ++eq;
    ConnectionStringPair pair;
    pair.key = std::string(text.substr(i, eq - i));
    if (eq >= text.size() || text[eq] == ';') {
      i = eq + 1;
      if (!core::Trim(pair.key).empty()) pairs.push_back(std::move(pair));
      continue;
    }
    size_t v = eq + 1;
    size_t end = v;
    size_t first = v;
    while (first < text.size() && text[first] == ' ') ++first;
    if (first < text.size() && text[first] == '{') {
      // A braced value may hold ';' and '='; "}}" stands for one '}'.
      end = first + 1;
      while (end < text.size()) {
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
    }
    while (end < text.size() && text[end] != ';') ++end;
    pair.value = std::string(text.substr(v, end - v));
    pairs.push_back(std::move(pair));
    i = end + 1;
  }
  return pairs;
}

std::string MaskConnectionString(std::string_view text) {
  // A keyword is short and plain, and has a value; anything else (a connection string
  // stored encoded by mistake, Base64 padding read as "=") may hold a password, so it is
  // hidden whole.
  const auto plausible = [](const ConnectionStringPair& pair) {
    const std::string_view key = core::Trim(pair.key);
    return !key.empty() && key.size() <= 32 &&
           pair.value.find_first_not_of("= ") != std::string::npos &&
           std::all_of(key.begin(), key.end(), [](char c) {
             return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == ' ' || c == '_' ||
                    c == '-' || c == '.';
           });
  };
  std::string out;
  for (const ConnectionStringPair& pair : ParseConnectionString(text)) {
    if (!out.empty()) out += ';';
    if (!plausible(pair)) {
      out += "***";
    } else {
      // libpq's own keywords in pqopt may carry a password as well.
      const bool secret = IsPasswordKey(pair.key) ||
                          (KeyIs(pair.key, "pqopt") &&
                           core::FoldCase(pair.value).find("password") != std::string::npos);
      out += pair.key + "=" + (secret ? std::string("***") : pair.value);
    }
  }
  return out;
}

std::string WithoutKey(std::string_view text, std::string_view key) {
  auto pairs = ParseConnectionString(text);
  if (FindKey(pairs, key) == nullptr) return std::string(text);
  std::erase_if(pairs, [&](const ConnectionStringPair& pair) { return KeyIs(pair.key, key); });
  return Join(pairs);
}

std::optional<std::string> ValueOf(std::string_view text, std::string_view key) {
  const auto pairs = ParseConnectionString(text);
  const ConnectionStringPair* pair = FindKey(pairs, key);
  if (pair == nullptr) return std::nullopt;
  std::string_view value = core::Trim(pair->value);
  if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
    value = value.substr(1, value.size() - 2);
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
      out += value[i];
      if (value[i] == '}' && i + 1 < value.size() && value[i + 1] == '}') ++i;
    }
    return out;
  }
  return std::string(value);
}

std::string SqliteDatabasePath(std::string_view text) {
  const auto pairs = ParseConnectionString(text);
  const ConnectionStringPair* driver = FindKey(pairs, "DRIVER");
  if (driver == nullptr || core::FoldCase(driver->value).find("sqlite") == std::string::npos)
    return "";
  return ValueOf(text, "Database").value_or("");
}

std::string PrepareConnectionString(std::string_view text) {
  auto pairs = ParseConnectionString(text);
  const ConnectionStringPair* driver = FindKey(pairs, "DRIVER");
  if (driver == nullptr) return std::string(text);
  std::string name = core::FoldCase(driver->value);

  std::vector<std::pair<std::string_view, std::string_view>> defaults;
  if (name.find("sqlite") != std::string::npos) {
    defaults = {{"StepAPI", "1"}, {"NoCreat", "1"}};
  } else if (name.find("postgres") != std::string::npos || name.find("psql") != std::string::npos) {
    defaults = {{"UseDeclareFetch", "0"},
                {"Fetch", "10000"},
                {"BoolsAsChar", "0"},
                {"CommLog", "0"},
                {"Debug", "0"}};
  } else if (name.find("mariadb") != std::string::npos ||
             name.find("maodbc") != std::string::npos) {
    // Text in UTF-8, which the reader takes as it comes (see DriverTraits::text_as_utf8).
    defaults = {{"CHARSET", "utf8mb4"}};
  }
  std::string out(text);
  for (const auto& [key, value] : defaults) {
    if (FindKey(pairs, key) != nullptr) continue;
    if (!out.empty() && out.back() != ';') out += ';';
    out += key;
    out += '=';
    out += value;
  }
  return out;
}

}  // namespace ado
