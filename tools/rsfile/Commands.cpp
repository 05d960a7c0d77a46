#include "Commands.h"

#include <fcntl.h>

#include <array>
#include <filesystem>
#include <iterator>
#include <memory>
#include <sstream>

#include "CommandLine.h"
#include "Help.h"
#include "JsonExport.h"
#include "JsonImport.h"
#include "RecordsetFile.h"
#include "TablePrinter.h"
#include "ToolError.h"
#include "core/Error.h"
#include "core/File.h"

namespace rsfile {
namespace {

using Handler = void (*)(const CommandLine& line, std::ostream& out);

struct Command {
  std::string_view name;
  OptionSet options;
  size_t operands;
  Handler run;
};

void Show(const CommandLine& line, std::ostream& out) {
  auto recordset = OpenRecordsetFile(line.operands[0], line.decode);
  // Built in memory first so that a failure part way prints no half table.
  std::ostringstream text;
  PrintRecordset(*recordset, text);
  out << text.str();
}

void Check(const CommandLine& line, std::ostream& out) {
  const std::string& path = line.operands[0];
  auto recordset = OpenRecordsetFile(path);
  int32_t fields = recordset->Fields().Count();
  int64_t records = recordset->RecordCount();
  out << path << ": ok, " << fields << (fields == 1 ? " field, " : " fields, ") << records
      << (records == 1 ? " record\n" : " records\n");
}

void Copy(const CommandLine& line, std::ostream&) {
  const std::string& path = line.operands[0];
  auto recordset = OpenRecordsetFile(path, line.decode, line.encode.has_value());
  if (line.encode) {
    try {
      EncodeRecordsetTexts(recordset, *line.encode);
    } catch (const ToolError& e) {
      throw ToolError(path + ": " + e.what());
    }
  }
  SaveRecordsetFile(*recordset, line.operands[1]);
}

void ToJson(const CommandLine& line, std::ostream& out) {
  const std::string& path = line.operands[0];
  auto recordset = OpenRecordsetFile(path, line.decode);
  std::ostringstream text;
  try {
    WriteRecordsetJson(*recordset, text);
  } catch (const ToolError& e) {
    throw ToolError(path + ": " + e.what());
  }
  out << text.str();
}

std::string ReadWholeFile(const std::string& path) {
  core::File file;
  try {
    file = core::File::Open(path, O_RDONLY, "rsfile");
  } catch (const core::Error&) {
    throw ToolError(path + ": cannot open the file");
  }
  try {
    return file.ReadAll();
  } catch (const core::Error&) {
    throw ToolError(path + ": cannot read the file");
  }
}

void FromJson(const CommandLine& line, std::ostream&) {
  const std::string& json_path = line.operands[0];
  std::error_code error;
  if (!std::filesystem::exists(json_path, error)) throw ToolError(json_path + ": no such file");
  std::shared_ptr<ado::Recordset> recordset;
  try {
    recordset = ReadRecordsetJson(ReadWholeFile(json_path));
  } catch (const ToolError& e) {
    std::string message = e.what();
    throw ToolError(message.starts_with(json_path + ": ") ? message : json_path + ": " + message);
  }
  if (line.encode) {
    try {
      EncodeRecordsetTexts(recordset, *line.encode);
    } catch (const ToolError& e) {
      throw ToolError(json_path + ": " + e.what());
    }
    recordset->UpdateBatch();  // encoding updates rows; none may stay pending
  }
  SaveRecordsetFile(*recordset, line.operands[1]);
}

constexpr std::array kCommands = {
    Command{"show", {.decode = true}, 1, Show},
    Command{"check", {}, 1, Check},
    Command{"copy", {.decode = true, .encode = true}, 2, Copy},
    Command{"to-json", {.decode = true}, 1, ToJson},
    Command{"from-json", {.encode = true}, 2, FromJson},
};

const Command* FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

int Dispatch(std::span<const std::string> args, std::ostream& out) {
  if (args.empty()) throw UsageError("no command given");
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    if (args.size() > 1 && FindCommand(args[1]) != nullptr) {
      out << CommandHelp(args[1]);
    } else {
      out << GeneralUsage();
    }
    return kExitOk;
  }
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    throw UsageError(name.starts_with("-") ? "unknown option '" + name + "'"
                                           : "unknown command '" + name + "'");
  }
  CommandLine line = ParseCommandLine(name, args.subspan(1), command->options);
  if (line.help) {
    out << CommandHelp(name);
    return kExitOk;
  }
  if (line.operands.size() != command->operands) {
    throw UsageError(line.operands.size() < command->operands
                         ? "missing arguments for '" + name + "'"
                         : "too many arguments for '" + name + "'",
                     name);
  }
  command->run(line, out);
  return kExitOk;
}

// Messages from lower layers may span lines; the tool reports one.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int Run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  try {
    return Dispatch(args, out);
  } catch (const UsageError& e) {
    err << "rsfile: " << e.what() << '\n';
    err << (e.command().empty() ? GeneralUsage() : CommandUsage(e.command()));
    return kExitUsage;
  } catch (const ToolError& e) {
    err << "rsfile: " << OneLine(e.what()) << '\n';
  } catch (const core::Error& e) {
    err << "rsfile: " << OneLine(e.record().description) << '\n';
  } catch (const std::exception& e) {
    err << "rsfile: " << OneLine(e.what()) << '\n';
  }
  return kExitFailure;
}

}  // namespace rsfile
