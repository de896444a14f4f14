// The command line: switches, long options and refused near misses.
#include "app/options.h"

#include <optional>

namespace qv {

namespace {

// The short forms of "--help" the tool has always answered (first argument,
// exact).
constexpr std::array<std::wstring_view, 3> kShortHelp{L"-h", L"-?", L"/?"};

// What a near miss is taken for, by its letters in lower case: the switches
// and the short-form texts first, then every long option by its name.
struct Meant {
  std::wstring_view letters;
  std::wstring_view typed;  // what to type instead
};
constexpr std::array<Meant, 4> kMeant{{
    {L"dbg", L"-dbg"},
    {L"dump", L"-dump"},
    {L"help", L"--help"},
    {L"version", L"--version"},
}};

wchar_t lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Batch files and quoting leave spaces and tabs around an argument.
std::wstring_view trimmed(std::wstring_view arg) {
  const std::size_t first = arg.find_first_not_of(L" \t");
  if (first == std::wstring_view::npos) return {};
  return arg.substr(first, arg.find_last_not_of(L" \t") - first + 1);
}

// The switch or option a person most likely meant by `arg`: its letters
// after spaces and any leading dashes or slashes, compared without letter
// case.
std::optional<std::wstring_view> meantBy(std::wstring_view arg) {
  arg = trimmed(arg);
  const std::size_t start = arg.find_first_not_of(L"-/");
  if (start == std::wstring_view::npos) return std::nullopt;
  const std::wstring_view letters = arg.substr(start);
  for (const Meant& m : kMeant) {
    if (equalsIgnoringCase(letters, m.letters)) return m.typed;
  }
  for (const LongOptionName& o : kLongOptions) {
    if (equalsIgnoringCase(letters, o.name.substr(2))) return o.name;
  }
  return std::nullopt;
}

// An argument as it can be shown on one line of text: printable ASCII kept,
// everything else '?', at most 40 characters.
std::string shown(std::wstring_view arg) {
  constexpr std::size_t kMost = 40;
  std::string text;
  for (std::size_t i = 0; i < arg.size() && i < kMost; ++i) {
    const wchar_t c = arg[i];
    text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  if (arg.size() > kMost) text += "...";
  return text;
}

CommandLine refuse(std::string_view before, std::wstring_view arg, std::string_view after) {
  CommandLine line;
  line.kind = RunKind::Refused;
  line.refusal = "qvflash: ";
  line.refusal += before;
  // Appended piece by piece: GCC 12's Release build warns (-Wrestrict,
  // falsely) about a quote prepended to a temporary string.
  line.refusal += '"';
  line.refusal += shown(arg);
  line.refusal += '"';
  line.refusal += after;
  if (const std::optional<std::wstring_view> meant = meantBy(arg)) {
    line.refusal += " (did you mean ";
    line.refusal += shown(*meant);
    line.refusal += "?)";
  }
  line.refusal += "; nothing was done";
  return line;
}

// Decimal digits only, kSmallestRetryCode to kRetryCodeParseLimit.
bool parseRetryCode(std::wstring_view text, std::uint32_t& code) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t n = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    n = n * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  if (n < kSmallestRetryCode || n > kRetryCodeParseLimit) return false;
  code = static_cast<std::uint32_t>(n);
  return true;
}

bool isSwitch(std::wstring_view arg) { return arg == L"-dbg" || arg == L"-dump"; }

bool isShortHelp(std::wstring_view arg) {
  for (const std::wstring_view help : kShortHelp) {
    if (arg == help) return true;
  }
  return false;
}

// Why `arg`, a first argument that is not exactly a switch, is plainly not
// meant as an update; null when it is a plain update. A request to read or
// list must never become a write:
//  - a switch, a short help or a long option with spaces or tabs around it;
//  - a switch or long option name with one dash or a slash, in any letter
//    case ("-DUMP", "/dbg", "-help", "-list", "-if-needed").
const char* notAnUpdate(std::wstring_view arg) {
  const std::wstring_view bare = trimmed(arg);
  if (bare.size() != arg.size()) {
    if (isSwitch(bare) || isShortHelp(bare) || bare.starts_with(L"--") || meantBy(bare))
      return " has spaces or tabs around it";
    return nullptr;
  }
  if (arg.size() < 2 || (arg[0] != L'-' && arg[0] != L'/') || arg[1] == L'-' || arg[1] == L'/')
    return nullptr;
  if (!meantBy(arg)) return nullptr;
  for (const wchar_t c : arg) {
    if (c >= L'A' && c <= L'Z') return " is not a switch: switches are exact and lower case";
  }
  if (arg[0] == L'/') return " is not a switch: switches start with \"-\"";
  return " is not a switch: long options start with \"--\"";
}

// Long options that cannot run together: an inventory or a dump writes no
// camera, so the update's options make no sense with them; the report goes
// to standard output only in place of the inventory's table.
CommandLine refuseCombination(CommandLine line) {
  const OptionSet& o = line.options;
  const char* problem = nullptr;
  const bool updateOptions = o.has(LongOption::IfNeeded) || o.has(LongOption::All) ||
                             o.has(LongOption::Verify) || o.has(LongOption::DryRun);
  const bool backupOptions = o.has(LongOption::Backup) || o.has(LongOption::NoBackup);
  // The runs that are not an update: at most one of them.
  int modes = 0;
  for (const LongOption mode : {LongOption::List, LongOption::Dump, LongOption::Check,
                                LongOption::History, LongOption::Restore}) {
    modes += o.has(mode) ? 1 : 0;
  }
  if (o.has(LongOption::List) && o.has(LongOption::Dump)) {
    problem = "--list and --dump cannot be combined";
  } else if (modes > 1) {
    problem = "--list, --dump, --check, --history and --restore cannot be combined";
  } else if (o.has(LongOption::List) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --list";
  } else if (o.has(LongOption::Dump) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --dump";
  } else if (o.has(LongOption::Check) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --check";
  } else if (o.has(LongOption::History) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --history";
  } else if (o.has(LongOption::Restore) && updateOptions) {
    // A restore always reads back what it wrote, and writes one camera.
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --restore";
  } else if (backupOptions &&
             (o.has(LongOption::List) || o.has(LongOption::Dump) || o.has(LongOption::Check) ||
              o.has(LongOption::History) || o.has(LongOption::Restore))) {
    // A restore writes back a backup a person chose; it makes none.
    problem = "--backup and --no-backup belong to an update";
  } else if (o.has(LongOption::Backup) && o.has(LongOption::NoBackup)) {
    problem = "--backup and --no-backup cannot be combined";
  } else if (o.has(LongOption::Backup) && o.has(LongOption::All)) {
    // One file cannot hold the backups of several cameras; each gets a
    // name of its own without --backup.
    problem =
        "--backup FILE names one backup and --all may update several cameras: leave "
        "--backup out";
  } else if (o.has(LongOption::History) && o.has(LongOption::Json) && line.jsonFile != L"-") {
    problem = "--history writes its JSON lines to standard output only (--json -)";
  } else if (o.has(LongOption::Force) && !o.has(LongOption::Restore)) {
    problem = "--force belongs to --restore";
  } else if (o.has(LongOption::Camera) && o.has(LongOption::All)) {
    problem = "--camera picks one camera and --all every one: they cannot be combined";
  } else if (o.has(LongOption::Camera) && o.has(LongOption::History)) {
    problem = "--camera belongs to a run that reads or writes a camera, not to --history";
  } else if (o.has(LongOption::Dump) && line.dumpFile == L"-") {
    problem = "--dump - is refused: a dump goes to a file, never to standard output";
  } else if (o.has(LongOption::Backup) && line.backupFile == L"-") {
    problem = "--backup - is refused: a backup goes to a file, never to standard output";
  } else if (o.has(LongOption::Dump) && o.has(LongOption::Json) && line.dumpFile == line.jsonFile) {
    problem = "--dump and --json name the same file";
  } else if (o.has(LongOption::Backup) && o.has(LongOption::Json) &&
             line.backupFile == line.jsonFile) {
    problem = "--backup and --json name the same file";
  } else if (o.has(LongOption::Json) && line.jsonFile == L"-" && !o.has(LongOption::List) &&
             !o.has(LongOption::History)) {
    problem = "--json - (the report on standard output) needs --list or --history";
  }
  if (problem == nullptr) return line;
  CommandLine refused;
  refused.kind = RunKind::Refused;
  refused.refusal = std::string("qvflash: ") + problem + "; nothing was done";
  return refused;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::wstring> args) {
  CommandLine line;
  if (args.empty()) return line;
  const std::wstring_view first = args[0];

  if (first.starts_with(L"--")) {
    line.kind = RunKind::Options;
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::wstring& arg = args[i];
      const LongOptionName* known = nullptr;
      for (const LongOptionName& o : kLongOptions) {
        if (arg == o.name) known = &o;
      }
      if (known == nullptr) return refuse("unknown option ", arg, "");
      // Given twice, one of them would be dropped without a word (which
      // report file?).
      if (line.options.has(known->option)) return refuse("", arg, " is given twice");
      line.options.add(known->option);
      if (known->value == nullptr) continue;
      // The value is the next argument, whatever it looks like ("-"
      // included), but never missing or empty.
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return refuse("", arg, std::string(" needs ") + known->value);
      }
      const std::wstring& value = args[++i];
      switch (known->option) {
        case LongOption::Json:
          line.jsonFile = value;
          break;
        case LongOption::Dump:
          line.dumpFile = value;
          break;
        case LongOption::Camera:
          line.cameraId = value;
          break;
        case LongOption::Backup:
          line.backupFile = value;
          break;
        case LongOption::Restore:
          line.restoreFile = value;
          break;
        case LongOption::RetryCode:
          if (!parseRetryCode(value, line.retryCode)) {
            return refuse("--retry-code ", value,
                          " is not a number from 5 up (0 to 4 are the tool's own exit codes)");
          }
          break;
        default:
          break;
      }
    }
    return refuseCombination(line);
  }

  if (first == L"-dbg" || first == L"-dump") {
    line.kind = first == L"-dbg" ? RunKind::VerboseUpdate : RunKind::Dump;
    // Only the first argument counts: what follows is said to be ignored,
    // so that "-dbg --json r.json" writes no report without a word.
    for (std::size_t i = 1; i < args.size(); ++i) {
      line.ignored +=
          line.ignored.empty() ? "qvflash: only the first argument counts; ignored:" : "";
      line.ignored += " " + shown(args[i]);
    }
  } else if (isShortHelp(first)) {
    line.kind = RunKind::Options;
    line.options.add(LongOption::Help);
  } else if (const char* why = notAnUpdate(first)) {
    return refuse("", first, why);
  }
  return line;
}

bool AsksCameras(const OptionSet& options) {
  return !options.has(LongOption::Help) && !options.has(LongOption::Version) && !options.empty();
}

bool NeedsCameras(const CommandLine& line) {
  return line.kind == RunKind::Update || line.kind == RunKind::VerboseUpdate ||
         line.kind == RunKind::Dump || (line.kind == RunKind::Options && AsksCameras(line.options));
}

}  // namespace qv
