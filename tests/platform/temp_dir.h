#pragma once
// A fresh folder under /tmp, removed with its contents at scope exit.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::testing {

class TempDir {
 public:
  // In memory where the system offers it (tests create and delete many
  // small files), else under /tmp.
  TempDir() {
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/qvflash-test-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // The names of what the folder holds, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }
  std::wstring wideFile(const std::string& name) const {
    const std::string narrow = file(name);
    return std::wstring(narrow.begin(), narrow.end());
  }

 private:
  std::string path_;
};

}  // namespace qv::testing
