#include "app/messages.h"

#include "qvflash_version.h"

namespace qv::msg {

const std::wstring_view kUsage =
    L"Usage: qvflash [-dbg | -dump | --help | --version]\n"
    L"       qvflash --list [--camera ID] [--json FILE]\n"
    L"       qvflash --check [--camera ID] [--json FILE]\n"
    L"       qvflash [--if-needed] [--all | --camera ID] [--verify] [--dry-run]\n"
    L"               [--backup FILE | --no-backup] [--json FILE]\n"
    L"       qvflash --dump FILE [--camera ID] [--json FILE]\n"
    L"       qvflash --restore FILE [--camera ID] [--force] [--json FILE]\n"
    L"       qvflash --history [--json -]\n"
    L"\n"
    L"Rewrites the firmware in the flash of the USB camera 04F2:B5BD, or saves\n"
    L"the first 64 KB of that flash to a file. Ends with \"Pass\" or \"Fail\".\n"
    L"\n"
    L"  (no argument)  update the camera\n"
    L"  -dbg           update the camera with detailed output; keeps \"tmp\"\n"
    L"  -dump          save the first 64 KB of the camera's flash to \"Dump.bin\"\n"
    L"  --help         show this text (also -h, -? and /?)\n"
    L"  --version      show the version and the embedded firmware per chip family\n"
    L"  --list         list the cameras: identity, chip, flash part and whether\n"
    L"                 the flash holds this firmware (\"current\"); writes nothing\n"
    L"  --if-needed    update, but leave a camera that is current (\"up to date\")\n"
    L"  --all          update every 04F2:B5BD camera, not only the first\n"
    L"  --verify       read the flash back after an update and compare it\n"
    L"  --dry-run      make every check an update makes, then stop: says per\n"
    L"                 camera whether it would be updated; writes nothing\n"
    L"  --json FILE    also write a JSON report to FILE (\"-\": standard output,\n"
    L"                 in place of the table of --list)\n"
    L"  --dump FILE    save the first 64 KB of the 04F2:B5BD camera's flash to FILE\n"
    L"  --camera ID    only the camera with this ID (the CAMERA_ID --list shows)\n"
    L"  --check        writes nothing: exit 0 and one line when every 04F2:B5BD\n"
    L"                 camera holds this firmware, 1 when one does not\n"
    L"  --backup FILE  the backup an update makes first goes to FILE\n"
    L"  --no-backup    make no backup before an update\n"
    L"  --restore FILE write a backup back to its camera and read it back\n"
    L"  --force        --restore a file that has no sidecar (FILE.json)\n"
    L"  --history      show what earlier runs wrote (--json -: as JSON lines)\n"
    L"  --retry-code N exit with N instead of 4 (\"try again later\")\n"
    L"\n"
    L"Only the first argument counts, and the switches are exact: any other\n"
    L"first argument updates the camera. Except: a first argument that starts\n"
    L"with \"--\" begins a list of long options (every argument must be one, at\n"
    L"most once), and a switch or long option name in another letter case, with\n"
    L"one dash or \"/\" (-DUMP, /dbg, -list), or with spaces around it, is\n"
    L"refused. A refused command line does nothing (no camera is touched) and\n"
    L"exits with 2.\n"
    L"\n"
    L"Files, beside the executable (an installed copy: in the current directory):\n"
    L"  setting.ini    read only: [SETTING] GPIO=1 sets two GPIO lines first\n"
    L"  tmp            the image copy an update makes (kept after -dbg)\n"
    L"  Dump.bin       the 65536 bytes a dump writes\n"
    L"\n"
    L"Exit codes: 0 after \"Pass\" (and after --help, --version), 1 after \"Fail\",\n"
    L"2 for a refused command line (also a --json or --dump file that cannot be\n"
    L"written: checked before any camera). The long options that work on cameras\n"
    L"also exit with 3 when no 04F2:B5BD camera was found or none could be opened,\n"
    L"and 4 for \"try again later\" (the camera is in use by another program,\n"
    L"another copy runs, or the system blocks camera access).\n"
    L"\n"
    L"Once the camera is being written, Ctrl-C does not stop the tool, nor does a\n"
    L"closed terminal on Linux; a closed console window on Windows ends it after\n"
    L"about five seconds, so keep it open. With long options, a Ctrl-C before that\n"
    L"stops the run before its next write and the report is still written.\n"
    L"After \"Fail\", standard error says why.\n"
    L"\n"
    L"Environment:\n"
    L"  QVFLASH_SIM    path of a scene file: use the simulated camera it\n"
    L"                 describes instead of the system's cameras\n"
    L"  QVFLASH_PROGRESS=0/no/off/false, TERM=dumb: no progress bar\n";

std::wstring VersionLine() {
  std::wstring line = L"qvflash ";
  for (const char c : std::string_view(kQvflashVersion)) line.push_back(static_cast<wchar_t>(c));
  line.push_back(L'\n');
  return line;
}

std::string Narrow(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (const wchar_t c : text)
    bytes.push_back(static_cast<std::uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?');
  return bytes;
}

std::wstring Decimal(std::int32_t value) {
  // Through 64 bits so that the most negative value has a magnitude.
  std::int64_t v = value;
  const bool negative = v < 0;
  std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-v) : static_cast<std::uint64_t>(v);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.insert(digits.begin(), L'-');
  return digits;
}

std::wstring Hex4(std::uint16_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text(4, L'0');
  for (int i = 3; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value = static_cast<std::uint16_t>(value >> 4);
  }
  return text;
}

std::wstring DeviceInitFail(std::int32_t index) {
  return L"Device " + Decimal(index) + L" init fail \n";
}

std::wstring DeviceMatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product) {
  return L"--> Device " + Decimal(index) + L" VID/PID (0x" + Hex4(vendor) + L"/0x" + Hex4(product) +
         L")\n";
}

std::wstring DeviceMismatch(std::int32_t index, std::uint16_t vendor, std::uint16_t product) {
  return L"Device " + Decimal(index) + L" VID/PID not match (0x" + Hex4(vendor) + L"/0x" +
         Hex4(product) + L")\n";
}

std::wstring UpdateResult(std::int32_t result) {
  return std::wstring(L"Update ") + (result == 0 ? L"Success" : L"Fail") + L"\n";
}

std::wstring FlashNameLine(std::wstring_view name) {
  return L"Flash : " + std::wstring(name) + L"\n";
}

}  // namespace qv::msg
