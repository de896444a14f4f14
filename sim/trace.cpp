#include "sim/trace.h"

#include <filesystem>
#include <utility>

namespace qv::sim {

TraceSink::TraceSink(std::optional<std::string> path) : path_(std::move(path)) {}

TraceSink::~TraceSink() { flush(); }

void TraceSink::open() {
  if (opened_) return;
  opened_ = true;
  if (!path_) return;
  file_.open(std::filesystem::u8path(*path_), std::ios::binary | std::ios::trunc);
  if (!file_) {
    fileOk_ = false;
    return;
  }
  for (const std::string& text : lines_) writeToFile(text);
  flush();
}

void TraceSink::line(std::string text) {
  if (file_.is_open()) {
    writeToFile(text);
    // Each line reaches the file at once, so a run that crashes still leaves
    // the requests up to the crash behind.
    flush();
  }
  if (keepLines_) lines_.push_back(std::move(text));
}

void TraceSink::writeToFile(const std::string& text) {
  file_ << text << '\n';
  if (!file_) fileOk_ = false;
}

void TraceSink::flush() {
  if (!file_.is_open()) return;
  file_.flush();
  if (!file_) fileOk_ = false;
}

}  // namespace qv::sim
