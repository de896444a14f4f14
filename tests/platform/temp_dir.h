#pragma once
// A fresh folder under /tmp, removed with its contents at scope exit.

#include <stdlib.h>

#include <filesystem>
#include <string>

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
  std::wstring wideFile(const std::string& name) const {
    const std::string narrow = file(name);
    return std::wstring(narrow.begin(), narrow.end());
  }

 private:
  std::string path_;
};

}  // namespace qv::testing
