// The command line: switches, long options and refused near misses.
#include "app/options.h"

#include <optional>

namespace qv {

namespace {

// The short forms of "--help" the tool has always answered (first argument,
// exact).
constexpr std::array<std::wstring_view, 3> kShortHelp{L"-h", L"-?", L"/?"};

// What a near miss is taken for, by its letters in lower case.
struct Meant {
  std::wstring_view letters;
  std::string_view typed;  // what to type instead
};
constexpr std::array<Meant, 4> kMeant{{
    {L"dbg", "-dbg"},
    {L"dump", "-dump"},
    {L"help", "--help"},
    {L"version", "--version"},
}};

wchar_t lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The switch or option a person most likely meant by `arg`: its letters
// after any leading dashes or slashes, compared without letter case.
std::optional<std::string_view> meantBy(std::wstring_view arg) {
  const std::size_t start = arg.find_first_not_of(L"-/");
  if (start == std::wstring_view::npos) return std::nullopt;
  for (const Meant& m : kMeant) {
    if (equalsIgnoringCase(arg.substr(start), m.letters)) return m.typed;
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
  if (const std::optional<std::string_view> meant = meantBy(arg)) {
    line.refusal += " (did you mean ";
    line.refusal += *meant;
    line.refusal += "?)";
  }
  line.refusal += "; nothing was done";
  return line;
}

// "-dbg", "-dump", "-help" or "-version" in any letter case, "-" or "/"
// first, that is not exactly one of the switches.
bool isNearMissOfSwitch(std::wstring_view arg) {
  if (arg.empty() || (arg[0] != L'-' && arg[0] != L'/')) return false;
  if (arg == L"-dbg" || arg == L"-dump") return false;
  for (const Meant& m : kMeant) {
    if (equalsIgnoringCase(arg.substr(1), m.letters)) return true;
  }
  return false;
}

// Long options that cannot run together: an inventory or a dump writes no
// camera, so the update's options make no sense with them; the report goes
// to standard output only in place of the inventory's table.
CommandLine refuseCombination(CommandLine line) {
  const OptionSet& o = line.options;
  const char* problem = nullptr;
  const bool updateOptions = o.has(LongOption::IfNeeded) || o.has(LongOption::All) ||
                             o.has(LongOption::Verify) || o.has(LongOption::DryRun);
  if (o.has(LongOption::List) && o.has(LongOption::Dump)) {
    problem = "--list and --dump cannot be combined";
  } else if (o.has(LongOption::List) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --list";
  } else if (o.has(LongOption::Dump) && updateOptions) {
    problem = "--if-needed, --all, --verify and --dry-run belong to an update, not to --dump";
  } else if (o.has(LongOption::Json) && line.jsonFile == L"-" && !o.has(LongOption::List)) {
    problem = "--json - (the report on standard output) needs --list";
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
      line.options.add(known->option);
      if (!known->takesFile) continue;
      // The file name is the next argument, whatever it looks like ("-"
      // included), but never missing or empty.
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return refuse("", arg, " needs a file name");
      }
      (known->option == LongOption::Json ? line.jsonFile : line.dumpFile) = args[++i];
    }
    return refuseCombination(line);
  }

  if (first == L"-dbg") {
    line.kind = RunKind::VerboseUpdate;
  } else if (first == L"-dump") {
    line.kind = RunKind::Dump;
  } else if (isNearMissOfSwitch(first)) {
    return refuse("", first, " is not a switch: switches are exact and lower case");
  } else {
    for (const std::wstring_view help : kShortHelp) {
      if (first == help) {
        line.kind = RunKind::Options;
        line.options.add(LongOption::Help);
      }
    }
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
