#include "platform/Journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qv::platform {

bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat status {};
  if (::fstat(STDERR_FILENO, &status) != 0) return false;
  return status.st_dev == device && status.st_ino == inode;
}

std::string PriorityPrefix(int priority) { return "<" + std::to_string(priority) + ">"; }

bool HasPriorityPrefix(std::string_view line) {
  return line.size() >= 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' && line[2] == '>';
}

PriorityLineBuf::PriorityLineBuf(std::streambuf* target, int priority)
    : target_(target), prefix_(PriorityPrefix(priority)) {}

PriorityLineBuf::~PriorityLineBuf() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Flush(false);
}

bool PriorityLineBuf::Flush(bool line_ends) {
  if (held_.empty()) {
    if (line_ends) mid_line_ = false;
    return true;
  }
  std::string out;
  if (!mid_line_ && !HasPriorityPrefix(held_)) out = prefix_;
  out += held_;
  held_.clear();
  mid_line_ = !line_ends;
  const auto size = static_cast<std::streamsize>(out.size());
  return target_->sputn(out.data(), size) == size;
}

PriorityLineBuf::int_type PriorityLineBuf::overflow(int_type c) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return Put(c);
}

PriorityLineBuf::int_type PriorityLineBuf::Put(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  held_ += ch;
  if (ch == '\n') return Flush(true) ? c : traits_type::eof();
  return c;
}

std::streamsize PriorityLineBuf::xsputn(const char* text, std::streamsize count) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::streamsize i = 0; i < count; ++i) {
    if (traits_type::eq_int_type(Put(traits_type::to_int_type(text[i])), traits_type::eof())) {
      return i;
    }
  }
  return count;
}

int PriorityLineBuf::sync() {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Only whole prefixes go out: a start shorter than one waits for more.
  if (!mid_line_ && held_.size() < 3) return target_->pubsync();
  if (!Flush(false)) return -1;
  return target_->pubsync();
}

}  // namespace qv::platform
