// Recordset XML write and read speed and read memory, each against a baseline measured
// in the same run:
//   write: WriteRecordsetXmlFile vs writing the same number of bytes in one write (goal <= 2x)
//   read:  ReadRecordsetXmlFile vs a bare expat scan of the file with empty callbacks
//          (goal <= 2x)
//   memory: peak resident growth while reading vs the file size (goal <= 1.5x)
// Every phase runs in a child process of its own so that its memory is measured alone.
//
// Usage: bench_xml [--rows N] [--dir PATH]   (default 1,000,000 rows in the temp folder)

#include <expat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "ado/Recordset.h"
#include "ado/RecordsetXml.h"
#include "xmlformat/XmlReader.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PhaseResult {
  double seconds = 0;
  double baseline_seconds = 0;
  double cpu_seconds = 0;  // user + system time of the process, robust on a busy machine
  double baseline_cpu_seconds = 0;
  long memory_growth_kb = 0;
  long long bytes = 0;
  bool ok = false;
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuNow() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t key_length = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, key_length, key) == 0) return std::atol(line.c_str() + key_length + 1);
  }
  return -1;
}

// Runs `phase` in a child process and returns what it reports through a pipe.
template <typename Phase>
PhaseResult InChild(Phase phase) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    PhaseResult result = phase();
    result.ok = true;
    ssize_t ignored = write(fds[1], &result, sizeof result);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  PhaseResult result;
  if (read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = {};
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return result;
}

ado::FieldDef Field(const char* name, int32_t type, int64_t size, int32_t attributes,
                    uint8_t precision = 0, uint8_t scale = 0) {
  ado::FieldDef field;
  field.name = name;
  field.type = type;
  field.defined_size = size;
  field.attributes = attributes;
  field.precision = precision;
  field.numeric_scale = scale;
  return field;
}

// rows x 10 mixed columns: int, bigint, double, decimal, short text, longer text, date,
// Boolean, currency, nullable text (every seventh value null).
ado::RecordsetData BuildData(size_t rows) {
  using namespace ado;
  const int32_t nullable = adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable;
  ado::RecordsetData data;
  data.fields = {Field("ID", adInteger, 4, adFldUnknownUpdatable | adFldKeyColumn, 10),
                 Field("Big", adBigInt, 8, nullable, 19),
                 Field("Ratio", adDouble, 8, nullable, 15),
                 Field("Amount", adNumeric, 19, nullable, 18, 2),
                 Field("Code", adVarWChar, 10, nullable),
                 Field("Description", adVarWChar, 100, nullable),
                 Field("Created", adDBTimeStamp, 16, nullable, 23, 3),
                 Field("Active", adBoolean, 2, nullable),
                 Field("Price", adCurrency, 8, nullable, 19),
                 Field("Note", adVarWChar, 50, nullable)};
  data.records = RecordStore(data.fields.size());
  RecordStore& r = data.records;
  r.Reserve(rows);
  char text[128];
  const double base_day = Date::FromParts({2024, 1, 1, 0, 0, 0, 0}).days;
  for (size_t i = 0; i < rows; ++i) {
    const size_t row = r.AppendRecord();
    const auto n = static_cast<int64_t>(i);
    r.SetInteger(row, 0, VarType::kI4, n);
    r.SetInteger(row, 1, VarType::kI8, n * 1000003 - 500000000000);
    r.SetDouble(row, 2, VarType::kR8, static_cast<double>(i) / 7.0);
    r.SetDecimal(row, 3, Decimal(n * 37 % 10000000, 2));
    int length = std::snprintf(text, sizeof text, "C%06zu", i % 1000000);
    r.SetText(row, 4, std::string_view(text, static_cast<size_t>(length)));
    length = std::snprintf(text, sizeof text, "Article %zu, box of %zu pieces & more <sizes>", i,
                           i % 50 + 1);
    r.SetText(row, 5, std::string_view(text, static_cast<size_t>(length)));
    r.SetDate(row, 6, Date{base_day + static_cast<double>(i % 100000) / 1440.0});
    r.SetBool(row, 7, i % 3 == 0);
    r.SetCurrency(row, 8, Currency{n * 125 % 100000000});
    if (i % 7 == 0) {
      r.SetNull(row, 9);
    } else {
      length = std::snprintf(text, sizeof text, "note %zu", i % 997);
      r.SetText(row, 9, std::string_view(text, static_cast<size_t>(length)));
    }
  }
  return data;
}

void XMLCALL NoStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL NoEnd(void*, const XML_Char*) {}

// A bare streaming scan: the same parser setup and block size, callbacks that do nothing.
bool ExpatScan(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  XML_Parser parser = XML_ParserCreateNS(nullptr, '\x01');
  XML_SetElementHandler(parser, &NoStart, &NoEnd);
  bool ok = true;
  for (;;) {
    void* buffer = XML_GetBuffer(parser, 1 << 20);
    ssize_t got = read(fd, buffer, 1 << 20);
    if (got < 0 || XML_ParseBuffer(parser, static_cast<int>(got), got == 0) != XML_STATUS_OK) {
      ok = got == 0;
      break;
    }
    if (got == 0) break;
  }
  XML_ParserFree(parser);
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t rows = 1000000;
  std::string dir = std::filesystem::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
  }
  const std::string path = dir + "/bench_xml_" + std::to_string(getpid()) + ".xml";
  const std::string baseline_path = path + ".baseline";

  PhaseResult write = InChild([&] {
    PhaseResult result;
    ado::Recordset recordset;
    recordset.OpenWith(BuildData(rows));
    Clock::time_point start = Clock::now();
    double cpu = CpuNow();
    ado::WriteRecordsetXmlFile(recordset, path);
    result.seconds = Since(start);
    result.cpu_seconds = CpuNow() - cpu;
    result.bytes = static_cast<long long>(std::filesystem::file_size(path));

    const std::string bytes(static_cast<size_t>(result.bytes), 'x');
    start = Clock::now();
    cpu = CpuNow();
    int fd = open(baseline_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    for (size_t done = 0; fd >= 0 && done < bytes.size();) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
    result.baseline_seconds = Since(start);
    result.baseline_cpu_seconds = CpuNow() - cpu;
    std::filesystem::remove(baseline_path);
    return result;
  });
  if (!write.ok) {
    std::fprintf(stderr, "write phase failed\n");
    return 1;
  }

  PhaseResult scan = InChild([&] {
    PhaseResult result;
    Clock::time_point start = Clock::now();
    double cpu = CpuNow();
    if (!ExpatScan(path)) _exit(1);
    result.seconds = Since(start);
    result.cpu_seconds = CpuNow() - cpu;
    return result;
  });

  PhaseResult read = InChild([&] {
    PhaseResult result;
    // Reset the peak resident size to the current one.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = StatusKb("VmRSS:");
    Clock::time_point start = Clock::now();
    double cpu = CpuNow();
    ado::RecordsetData data = ado::ReadRecordsetXmlFile(path);
    result.seconds = Since(start);
    result.cpu_seconds = CpuNow() - cpu;
    result.memory_growth_kb = StatusKb("VmHWM:") - before;
    result.bytes = static_cast<long long>(data.records.RecordCount());
    return result;
  });
  std::filesystem::remove(path);
  if (!scan.ok || !read.ok || read.bytes != static_cast<long long>(rows)) {
    std::fprintf(stderr, "read phase failed\n");
    return 1;
  }

  const double file_mb = static_cast<double>(write.bytes) / 1e6;
  std::printf("rows: %zu x 10 columns, file: %.1f MB\n", rows, file_mb);
  std::printf(
      "write: %.3f s, baseline one buffered write: %.3f s, ratio %.2f (goal <= 2); "
      "cpu %.3f s vs %.3f s, ratio %.2f\n",
      write.seconds, write.baseline_seconds, write.seconds / write.baseline_seconds,
      write.cpu_seconds, write.baseline_cpu_seconds,
      write.cpu_seconds / write.baseline_cpu_seconds);
  std::printf(
      "read: %.3f s, baseline bare expat scan: %.3f s, ratio %.2f (goal <= 2); "
      "cpu %.3f s vs %.3f s, ratio %.2f\n",
      read.seconds, scan.seconds, read.seconds / scan.seconds, read.cpu_seconds, scan.cpu_seconds,
      read.cpu_seconds / scan.cpu_seconds);
  std::printf("read memory: peak growth %.1f MB for a %.1f MB file, ratio %.2f (goal <= 1.5)\n",
              static_cast<double>(read.memory_growth_kb) * 1024 / 1e6, file_mb,
              static_cast<double>(read.memory_growth_kb) * 1024 / static_cast<double>(write.bytes));
  return 0;
}
