#pragma once
// The request trace: kept in memory for tests and written to the scene's
// trace file, which is replaced only once the camera stack is first used.

#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace qv::sim {

class TraceSink {
 public:
  explicit TraceSink(std::optional<std::string> path);
  ~TraceSink();
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  // Opens (replaces) the trace file on the first call and writes the lines
  // kept so far; later calls do nothing.
  void open();
  bool opened() const { return opened_; }
  // False when the trace file could not be created or written.
  bool fileOk() const { return fileOk_; }

  // Whether lines are wanted at all: false only when they are not kept in
  // memory (setKeepLines) and there is no trace file.
  bool wanted() const { return keepLines_ || path_.has_value(); }
  void setKeepLines(bool keep) { keepLines_ = keep; }

  void line(std::string text);
  const std::vector<std::string>& lines() const { return lines_; }
  void flush();

 private:
  void writeToFile(const std::string& text);

  std::optional<std::string> path_;
  std::ofstream file_;
  bool opened_ = false;
  bool fileOk_ = true;
  bool keepLines_ = true;
  std::vector<std::string> lines_;
};

}  // namespace qv::sim
