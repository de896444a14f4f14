#include "sim/trace.h"

#include <utility>

namespace qv::sim {

TraceSink::TraceSink(std::optional<std::string> path) : path_(std::move(path)) {}

TraceSink::~TraceSink() {
  if (file_ != nullptr) std::fclose(file_);
}

void TraceSink::open() {
  if (opened_) return;
  opened_ = true;
  if (!path_) return;
  file_ = std::fopen(path_->c_str(), "wb");
  if (file_ == nullptr) {
    fileOk_ = false;
    return;
  }
  for (const std::string& text : lines_) writeToFile(text);
  flush();
}

void TraceSink::line(std::string text) {
  if (file_ != nullptr) {
    writeToFile(text);
    // Each line reaches the file at once, so a run that crashes still leaves
    // the requests up to the crash behind.
    flush();
  }
  lines_.push_back(std::move(text));
}

void TraceSink::writeToFile(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() ||
      std::fputc('\n', file_) == EOF) {
    fileOk_ = false;
  }
}

void TraceSink::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0) fileOk_ = false;
}

}  // namespace qv::sim
