// The long options that work on cameras.
#include "app/camera_options.h"

namespace qv {

namespace {

std::string shown(std::wstring_view arg) {
  std::string text;
  for (const wchar_t c : arg) text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  return text;
}

}  // namespace

bool ParseCameraOptions(std::span<const std::wstring> args, CameraOptions& options,
                        std::string& error) {
  options = CameraOptions{};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    auto value = [&](std::optional<std::wstring>& into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "qvflash: " + shown(arg) + " needs a file name";
        return false;
      }
      into = args[++i];
      return true;
    };
    if (arg == L"--list") {
      options.list = true;
    } else if (arg == L"--if-needed") {
      options.ifNeeded = true;
    } else if (arg == L"--all") {
      options.all = true;
    } else if (arg == L"--verify") {
      options.verify = true;
    } else if (arg == L"--dump") {
      if (!value(options.dumpFile)) return false;
    } else if (arg == L"--json") {
      if (!value(options.jsonFile)) return false;
    } else {
      error = "qvflash: unknown option \"" + shown(arg) + "\"";
      return false;
    }
  }
  const bool updateOptions = options.ifNeeded || options.all || options.verify;
  if (options.list && options.dumpFile) {
    error = "qvflash: --list and --dump cannot be combined";
    return false;
  }
  if ((options.list || options.dumpFile) && updateOptions) {
    error = std::string("qvflash: --if-needed, --all and --verify belong to an update, not to ") +
            (options.list ? "--list" : "--dump");
    return false;
  }
  if (options.jsonFile && *options.jsonFile == kStandardOutputName && !options.list) {
    error = "qvflash: --json - (the report on standard output) needs --list";
    return false;
  }
  return true;
}

}  // namespace qv
