// args.h: command-line pieces shared by the subcommands: the reg-style /x options with their getopt long
// forms, and durations.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kstctl {

// One option: its reg-style spelling without the slash ("v", "ve"; nullptr for none), its long form
// without the dashes ("value"), whether it takes an argument, and the id the caller switches on.
struct OptionSpec {
    const char *slash;      // matched case-insensitively after "/", as reg.exe does
    const char *long_name;  // matched exactly after "--", also as "--name=ARG"
    bool        takes_arg;  // the next word (or the text after "=") is its argument
    int         id;         // caller's tag
};

struct ParsedOption {
    int         id;   // OptionSpec::id
    std::string arg;  // empty for options without argument
};

struct ParsedArgs {
    std::vector<ParsedOption> options;  // in command-line order
    std::vector<std::string>  words;    // everything else, in order
};

// Splits argv[1..] into options and words. "--" ends the options; "-" alone is a word (stdin or
// stdout). With stop_at_word, the first word also ends the options (for a COMMAND and its own
// arguments). A word that looks like an unknown --option or -x is an error; a word starting with "/"
// that names no option is a word, so absolute file names need no quoting. False with error set.
bool ParseArgs(int argc, char **argv, std::span<const OptionSpec> specs, ParsedArgs &out, std::string &error,
               bool stop_at_word = false);

// The largest time-out a wait can carry; one more is the library's "infinite".
inline constexpr uint32_t kMaxTimeoutMs = 0xFFFFFFFEu;

// "30" or "30s", "1.5s", "250ms", "2m", "1h" (a bare number is seconds) as milliseconds, rounded up so a
// short non-zero time-out never becomes a poll; nullopt for anything else or more than kMaxTimeoutMs.
std::optional<uint32_t> ParseDurationMs(std::string_view text);

// A decimal or 0x-hexadecimal number that fits max; nullopt otherwise.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

}  // namespace kstctl
