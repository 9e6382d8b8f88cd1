// args.cpp: the reg-style and getopt-style options of the subcommands, and durations.
#include "tools/kstctl/args.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kstctl {

bool ParseArgs(int argc, char **argv, std::span<const OptionSpec> specs, ParsedArgs &out, std::string &error,
               bool stop_at_word)
{
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (options_done) {
            out.words.emplace_back(word);
            continue;
        }
        if (word == "--") {
            options_done = true;
            continue;
        }
        const OptionSpec          *found = nullptr;
        std::optional<std::string> inline_arg;
        if (word.size() > 2 && word.starts_with("--")) {
            std::string_view name = word.substr(2);
            if (const auto eq = name.find('='); eq != std::string_view::npos) {
                inline_arg.emplace(name.substr(eq + 1));
                name = name.substr(0, eq);
            }
            for (const OptionSpec &s : specs)
                if (s.long_name && name == s.long_name) found = &s;
            if (!found) {
                error = "unknown option '" + std::string(word) + "'";
                return false;
            }
            if (inline_arg && !found->takes_arg) {
                error = "option '--" + std::string(name) + "' takes no argument";
                return false;
            }
        } else if (word.size() > 1 && word[0] == '/') {
            for (const OptionSpec &s : specs)
                if (s.slash && strcasecmp(word.substr(1).data(), s.slash) == 0) found = &s;
        } else if (word.size() > 1 && word[0] == '-') {
            error = "unknown option '" + std::string(word) + "'";
            return false;
        }
        if (!found) {
            out.words.emplace_back(word);
            if (stop_at_word) options_done = true;
            continue;
        }
        ParsedOption option{found->id, {}};
        if (found->takes_arg) {
            if (inline_arg) {
                option.arg = *inline_arg;
            } else if (i + 1 < argc) {
                option.arg = argv[++i];
            } else {
                error = "option '" + std::string(word) + "' needs an argument";
                return false;
            }
        }
        out.options.push_back(std::move(option));
    }
    return true;
}

std::optional<uint32_t> ParseDurationMs(std::string_view text)
{
    std::size_t digits = 0, dots = 0;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.')) {
        dots += text[digits] == '.';
        ++digits;
    }
    if (digits == 0 || dots > 1 || digits > 20 || text[0] == '.' || text[digits - 1] == '.') return std::nullopt;
    const std::string_view unit = text.substr(digits);
    double                 scale;
    if (unit.empty() || unit == "s")
        scale = 1000;
    else if (unit == "ms")
        scale = 1;
    else if (unit == "m")
        scale = 60'000;
    else if (unit == "h")
        scale = 3'600'000;
    else
        return std::nullopt;
    const double ms = std::ceil(std::strtod(std::string(text.substr(0, digits)).c_str(), nullptr) * scale);
    if (!(ms >= 0) || ms > kMaxTimeoutMs) return std::nullopt;
    return static_cast<uint32_t>(ms);
}

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (max - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

}  // namespace kstctl
