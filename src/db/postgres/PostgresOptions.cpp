#include "db/postgres/PostgresOptions.h"

#include <libpq-fe.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "core/Text.h"
#include "db/OdbcConnectionString.h"

namespace ado {

namespace {

// psqlODBC's keywords that name a libpq connection keyword.
struct Mapped {
  std::string_view odbc;
  std::string_view libpq;
};
constexpr std::array<Mapped, 11> kMapped = {{
    {"server", "host"},
    {"servername", "host"},
    {"port", "port"},
    {"database", "dbname"},
    {"uid", "user"},
    {"username", "user"},
    {"user", "user"},
    {"pwd", "password"},
    {"password", "password"},
    {"sslmode", "sslmode"},
    {"keepalivetime", "keepalives_idle"},
}};

// Keywords that change how psqlODBC talks to the server or logs, not what it reports.
constexpr std::array<std::string_view, 10> kIgnored = {
    "driver",      "nativepostgres",       "usedeclarefetch", "commlog",  "debug",
    "description", "useserversideprepare", "readonly",        "protocol", "disallowpremature",
};

// Keywords that change the reported types or values; the native path reads as
// psqlODBC does with the value given here, and leaves any other value to psqlODBC.
struct Neutral {
  std::string_view key;
  std::string_view value;
};
constexpr std::array<Neutral, 13> kNeutral = {{
    {"boolsaschar", "0"},
    {"textaslongvarchar", "1"},
    {"unknownsaslongvarchar", "0"},
    {"maxvarcharsize", "255"},
    {"maxlongvarcharsize", "8190"},
    {"unknownsizes", "0"},
    {"byteaaslongvarbinary", "1"},
    {"bi", "0"},
    {"lfconversion", "0"},
    {"trueisminus1", "0"},
    {"parse", "0"},
    {"rowversioning", "0"},
    {"showoidcolumn", "0"},
}};

bool NamesPsqlodbc(const std::string& folded_driver) {
  return folded_driver.find("postgres") != std::string::npos ||
         folded_driver.find("psqlodbc") != std::string::npos;
}

// libpq's own keywords from psqlODBC's pqopt ("sslrootcert=... application_name=...").
bool AddLibpqOptions(const std::string& text, PostgresOptions& options) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> parsed(
      PQconninfoParse(text.c_str(), &error), &PQconninfoFree);
  if (!parsed) {
    PQfreemem(error);
    return false;
  }
  for (const PQconninfoOption* o = parsed.get(); o->keyword != nullptr; ++o) {
    if (o->val != nullptr) options.params.emplace_back(o->keyword, o->val);
  }
  return true;
}

}  // namespace

std::optional<PostgresOptions> NativePostgresOptions(std::string_view connection_string) {
  const auto driver = ValueOf(connection_string, "DRIVER");
  if (!driver) return std::nullopt;
  const std::string folded_driver = core::FoldCase(*driver);
  if (!NamesPsqlodbc(folded_driver)) return std::nullopt;
  if (auto native = ValueOf(connection_string, kNativePostgresKey); native && *native == "0") {
    return std::nullopt;
  }

  PostgresOptions options;
  options.unicode = folded_driver.find("ansi") == std::string::npos &&
                    folded_driver.find("psqlodbca") == std::string::npos;
  for (const ConnectionStringPair& pair : ParseConnectionString(connection_string)) {
    const std::string key = core::FoldCase(std::string(core::Trim(pair.key)));
    const std::string value = *ValueOf(connection_string, pair.key);
    bool known = false;
    for (const Mapped& m : kMapped) {
      if (key != m.odbc) continue;
      options.params.emplace_back(m.libpq, value);
      known = true;
    }
    for (std::string_view ignored : kIgnored) known = known || key == ignored;
    for (const Neutral& n : kNeutral) {
      if (key != n.key) continue;
      if (value != n.value) return std::nullopt;
      known = true;
    }
    if (key == "connsettings") {
      options.conn_settings = value;
    } else if (key == "pqopt") {
      if (!AddLibpqOptions(value, options)) return std::nullopt;
    } else if (key == "fetch") {
      char* end = nullptr;
      const long rows = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || rows <= 0) return std::nullopt;
      options.fetch_rows = static_cast<size_t>(rows);
    } else if (!known) {
      return std::nullopt;  // a DSN, or a keyword only psqlODBC knows
    }
  }
  return options;
}

}  // namespace ado
