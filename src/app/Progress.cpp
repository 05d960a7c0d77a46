#include "app/Progress.h"

#include "platform/StopSignal.h"

namespace qv {

// Passes everything on to the terminal, clearing the progress line first when one is
// shown.
class Progress::ClearingBuffer : public std::streambuf {
 public:
  explicit ClearingBuffer(std::streambuf* terminal) : terminal_(terminal) {}

  // Writes the progress line in place of the one shown.
  void ShowLine(const std::string& line, bool final) {
    const std::string text = "\r\033[K" + line + (final ? "\n" : "");
    terminal_->sputn(text.data(), static_cast<std::streamsize>(text.size()));
    terminal_->pubsync();
    shown_ = !final;
  }

  // Ends a line still shown, so that what follows starts on a line of its own.
  void EndShownLine() {
    if (!shown_) return;
    terminal_->sputc('\n');
    terminal_->pubsync();
    shown_ = false;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    ClearShownLine();
    return terminal_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    ClearShownLine();
    return terminal_->sputn(text, count);
  }
  int sync() override { return terminal_->pubsync(); }

 private:
  void ClearShownLine() {
    if (!shown_) return;
    terminal_->sputn("\r\033[K", 4);
    shown_ = false;
  }

  std::streambuf* terminal_;
  bool shown_ = false;
};

Progress::Progress(std::ostream& terminal)
    : terminal_(terminal),
      original_(terminal.rdbuf()),
      buffer_(std::make_unique<ClearingBuffer>(original_)) {
  terminal_.rdbuf(buffer_.get());
}

Progress::~Progress() {
  terminal_.flush();
  buffer_->EndShownLine();
  terminal_.rdbuf(original_);
}

void Progress::RuleStarted(const std::string& target_path, int32_t index, int32_t total) {
  prefix_ = "[" + std::to_string(index + 1) + "/" + std::to_string(total) + "] " + target_path;
  last_draw_ = std::chrono::steady_clock::now();
  RuleStats none;
  Draw(none, false);
}

void Progress::RuleProgress(const RuleStats& so_far) {
  // A few redraws a second are enough to read, and cost nothing next to the run.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  Draw(so_far, false);
}

void Progress::RuleFinished(const RuleStats& rule) { Draw(rule, true); }

void Progress::Draw(const RuleStats& rule, bool final) {
  terminal_.flush();
  std::string line =
      prefix_ + ": " + std::to_string(rule.rows_read) + " rows, " + std::to_string(rule.pages);
  if (rule.pages_total) line += " of " + std::to_string(*rule.pages_total);
  line += " pages, " + std::to_string(rule.files_sent) + " files sent";
  const int32_t failures = rule.sends_failed + rule.failures;
  if (failures > 0) line += ", " + std::to_string(failures) + " failures";
  // A rule that a stop request cut short is not done.
  if (final) {
    line += rule.failed ? ", failed" : platform::StopRequested() ? ", stopped" : ", done";
  }
  buffer_->ShowLine(line, final);
}

}  // namespace qv
