// reg.cpp: kstctl reg: query, add, delete, export, import and compare registry keys through the daemon,
// never behind its back on disk.
#include "tools/kstctl/args.h"
#include "tools/kstctl/kstctl.h"
#include "tools/kstctl/nt.h"
#include "tools/kstctl/regfile.h"
#include "tools/kstctl/regtree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/unique.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace kstctl {
namespace {

constexpr char kHelp[] =
    "Usage: kstctl reg query   KEY [/v NAME | /ve] [/s]\n"
    "       kstctl reg add     KEY [/v NAME | /ve] [/t TYPE] [/se SEP] [/d DATA] [/f]\n"
    "       kstctl reg delete  KEY [/v NAME | /ve | /va] [/f]\n"
    "       kstctl reg export  KEY FILE|- [/y] [--unicode]\n"
    "       kstctl reg import  FILE|- [--skip-invalid]\n"
    "       kstctl reg compare KEY FILE|- [--skip-invalid]\n\n"
    "KEY starts with HKLM, HKCU, HKCR, HKU, HKCC or their long names (HKEY_LOCAL_MACHINE, ...);\n"
    "the per-user roots are keys below HKLM (see kstctl(8)). '/' separates as well as '\\'.\n"
    "Options, with their long forms:\n"
    "  /v NAME   --value NAME     the value called NAME\n"
    "  /ve       --empty-name     the unnamed value\n"
    "  /va       --all-values     every value of KEY (delete)\n"
    "  /s        --recurse        KEY and every key below it (query)\n"
    "  /t TYPE   --type TYPE      REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
    "                             REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE, ... or a number\n"
    "  /se SEP   --separator SEP  separates REG_MULTI_SZ strings in DATA (default \\0)\n"
    "  /d DATA   --data DATA      text; a decimal or 0x number for dwords and qwords; hex bytes otherwise\n"
    "  /f        --force          overwrite or delete without asking\n"
    "  /y        --force          export: overwrite FILE\n"
    "            --unicode        export as \"Windows Registry Editor Version 5.00\" (UTF-16LE)\n"
    "            --skip-invalid   import, compare: pass over the lines regedit passes over and those\n"
    "                             the registry can't hold, listing each\n\n"
    "A key delete removes the key with everything below it. export writes REGEDIT4 by default;\n"
    "import reads every file regedit reads, checks the whole file first and writes nothing if any\n"
    "line is wrong, is one regedit would skip or asks for what the registry can't hold (unless\n"
    "--skip-invalid).\n"
    "compare exits 0 when KEY matches FILE, 2 when they differ (the differences on stdout), 1 on error.\n";

enum Option { kValue, kEmptyName, kAllValues, kRecurse, kType, kSeparator, kData, kForce, kUnicode, kSkipInvalid };
constexpr OptionSpec kOptions[] = {
    {"v", "value", true, kValue},
    {"ve", "empty-name", false, kEmptyName},
    {"va", "all-values", false, kAllValues},
    {"s", "recurse", false, kRecurse},
    {"t", "type", true, kType},
    {"se", "separator", true, kSeparator},
    {"d", "data", true, kData},
    {"f", "force", false, kForce},
    {"y", nullptr, false, kForce},
    {nullptr, "unicode", false, kUnicode},
    {nullptr, "skip-invalid", false, kSkipInvalid},
};

// The command line of one reg subcommand.
struct RegArgs {
    std::vector<std::string>   words;  // KEY, FILE
    std::optional<std::string> value;  // /v or /ve ("" for the unnamed value)
    bool all_values = false, recurse = false, force = false, unicode = false, skip_invalid = false;
    std::optional<std::string> type, data, separator;
};

std::optional<RegArgs> Parse(int argc, char **argv, int &status)
{
    ParsedArgs  parsed;
    std::string error;
    if (!ParseArgs(argc, argv, kOptions, parsed, error)) {
        status = UsageError("%s", error.c_str());
        return std::nullopt;
    }
    RegArgs args;
    args.words = std::move(parsed.words);
    for (ParsedOption &o : parsed.options) {
        switch (o.id) {
        case kValue:
        case kEmptyName:
            if (args.value) {
                status = UsageError("give one of /v NAME and /ve, once");
                return std::nullopt;
            }
            args.value = o.id == kValue ? o.arg : "";
            if (o.id == kValue && o.arg.empty()) {
                status = UsageError("/v needs a name (use /ve for the unnamed value)");
                return std::nullopt;
            }
            break;
        case kAllValues:
            args.all_values = true;
            break;
        case kRecurse:
            args.recurse = true;
            break;
        case kForce:
            args.force = true;
            break;
        case kUnicode:
            args.unicode = true;
            break;
        case kSkipInvalid:
            args.skip_invalid = true;
            break;
        case kType:
            args.type = o.arg;
            break;
        case kSeparator:
            args.separator = o.arg;
            break;
        case kData:
            args.data = o.arg;
            break;
        }
    }
    return args;
}

// The options a subcommand takes; any other is a usage error.
enum Allow : unsigned {
    kAllowValue = 1,      // /v, /ve
    kAllowAllValues = 2,  // /va
    kAllowRecurse = 4,    // /s
    kAllowData = 8,       // /t, /d, /se
    kAllowForce = 16,     // /f, /y
    kAllowUnicode = 32,   // --unicode
    kAllowSkip = 64,      // --skip-invalid
};

bool OnlyOptions(const RegArgs &a, unsigned allowed, int &status)
{
    const char *bad = nullptr;
    if (a.value && !(allowed & kAllowValue))
        bad = "/v and /ve";
    else if (a.all_values && !(allowed & kAllowAllValues))
        bad = "/va";
    else if (a.recurse && !(allowed & kAllowRecurse))
        bad = "/s";
    else if ((a.type || a.data || a.separator) && !(allowed & kAllowData))
        bad = "/t, /d and /se";
    else if (a.force && !(allowed & kAllowForce))
        bad = "/f";
    else if (a.unicode && !(allowed & kAllowUnicode))
        bad = "--unicode";
    else if (a.skip_invalid && !(allowed & kAllowSkip))
        bad = "--skip-invalid";
    if (bad) status = UsageError("%s do not apply here", bad);
    return !bad;
}

std::optional<KeyPath> KeyArg(const std::string &text, int &status)
{
    std::string error;
    auto        key = ParseKeyPath(text, error);
    if (!key) status = UsageError("%s: %s", text.c_str(), error.c_str());
    return key;
}

// Asks on the terminal; without one, refuses and says how to go on. True for "yes".
bool Confirm(const std::string &question, int &status)
{
    if (isatty(STDIN_FILENO) != 1) {
        status = Fail(kExitFailure, "%s: refused without /f (--force) when not on a terminal", question.c_str());
        return false;
    }
    std::fprintf(stderr, "%s (y/N)? ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin) || (answer[0] != 'y' && answer[0] != 'Y')) {
        status = kExitFailure;
        return false;
    }
    return true;
}

std::string ValueLabel(const std::string &name)
{
    return name.empty() ? "(Default)" : name;
}

// Printable text: control bytes as \xNN so a value can't drive the terminal.
std::string Printable(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

uint64_t LittleEndian(std::string_view data)
{
    uint64_t v = 0;
    for (std::size_t i = data.size(); i-- > 0;)
        v = (v << 8) | static_cast<uint8_t>(data[i]);
    return v;
}

// Data as reg query shows it: strings as text, numbers in hex and decimal, anything else as hex bytes.
std::string RenderData(uint32_t type, std::string_view data)
{
    char number[64];
    switch (type) {
    case kRegSz:
    case kRegExpandSz:
        return Printable(data.substr(0, data.find('\0')));
    case kRegMultiSz: {
        std::string      out;
        std::string_view rest = data;
        while (!rest.empty() && rest.front() != '\0') {
            const std::size_t end = std::min(rest.find('\0'), rest.size());
            if (!out.empty()) out += "\\0";
            out += Printable(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
        return out;
    }
    case kRegDword:
    case kRegDwordBigEndian:
        if (data.size() != 4) break;
        {
            uint32_t v = static_cast<uint32_t>(LittleEndian(data));
            if (type == kRegDwordBigEndian) v = __builtin_bswap32(v);
            std::snprintf(number, sizeof number, "0x%08x (%u)", v, v);
        }
        return number;
    case kRegQword:
        if (data.size() != 8) break;
        std::snprintf(number, sizeof number, "0x%016llx (%llu)", static_cast<unsigned long long>(LittleEndian(data)),
                      static_cast<unsigned long long>(LittleEndian(data)));
        return number;
    }
    std::string out;
    for (const char c : data) {
        std::snprintf(number, sizeof number, "%02X", static_cast<unsigned char>(c));
        out += number;
    }
    return out;
}

void PrintValue(const Value &v)
{
    std::printf("    %s    %s    %s\n", Printable(ValueLabel(v.name)).c_str(), TypeName(v.type).c_str(),
                RenderData(v.type, v.data).c_str());
}

int Query(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowValue | kAllowRecurse, status)) return status;
    if (a.words.size() != 1) return UsageError("query takes one KEY");
    const auto key = KeyArg(a.words[0], status);
    if (!key) return status;

    std::vector<KeyContent> keys;
    if (a.recurse) {
        if (const LONG rc = ReadTree(*key, keys, nullptr)) return FailCode(rc, FormatKeyPath(*key));
    } else {
        UniqueKey h;
        KeyPath   spelled = *key;
        keys.emplace_back();
        if (LONG rc = ResolveSpelling(spelled);
            rc || (rc = OpenKeyPath(spelled, h)) || (rc = ReadKey(h.get(), spelled, keys[0])))
            return FailCode(rc, FormatKeyPath(*key));
    }
    // As reg.exe shows it: each key, its values indented, a blank line between keys; without /s the
    // subkeys follow as full paths.
    bool found = false;
    for (const KeyContent &k : keys) {
        std::vector<const Value *> shown;
        for (const Value &v : k.values)
            if (!a.value || SameName(v.name, *a.value)) shown.push_back(&v);
        if (a.value && shown.empty()) continue;
        if (found) std::printf("\n");
        found = true;
        std::printf("%s\n", Printable(FormatKeyPath(k.path)).c_str());
        for (const Value *v : shown)
            PrintValue(*v);
        if (!a.recurse && !a.value) {
            if (!k.subkeys.empty()) std::printf("\n");
            for (const std::string &sub : k.subkeys)
                std::printf("%s\\%s\n", Printable(FormatKeyPath(k.path)).c_str(), Printable(sub).c_str());
        }
    }
    if (a.value && !found)
        return Fail(kExitFailure, "%s: value %s not found", FormatKeyPath(*key).c_str(), ValueLabel(*a.value).c_str());
    return kExitOk;
}

// DATA of reg add turned into the bytes to store for type.
std::optional<std::string> DataBytes(uint32_t type, const std::string &text, const std::string &separator,
                                     std::string &error)
{
    std::string out;
    switch (type) {
    case kRegSz:
    case kRegExpandSz:
        return text + '\0';
    case kRegMultiSz: {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find(separator, start);
            if (end == std::string::npos) end = text.size();
            out += text.substr(start, end - start) + '\0';
            start = end + separator.size();
        }
        return out + '\0';
    }
    case kRegDword:
    case kRegDwordBigEndian:
    case kRegQword: {
        const bool wide = type == kRegQword;
        const auto v = ParseNumber(text, wide ? ~uint64_t{0} : 0xFFFFFFFFu);
        if (!v) {
            error = "'" + text + "' is not a " + (wide ? "64" : "32") + "-bit decimal or 0x number";
            return std::nullopt;
        }
        for (int i = 0; i < (wide ? 8 : 4); ++i)
            out += static_cast<char>(*v >> (8 * i));
        if (type == kRegDwordBigEndian) std::reverse(out.begin(), out.end());
        return out;
    }
    }
    std::string digits;
    for (const char c : text)
        if (c != ',' && c != ' ') digits += c;
    if (digits.size() % 2 != 0 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        error = "'" + text + "' is not hex bytes (like 0a1b2c)";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

int Add(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowValue | kAllowData | kAllowForce, status)) return status;
    if (a.words.size() != 1) return UsageError("add takes one KEY");
    const auto key = KeyArg(a.words[0], status);
    if (!key) return status;
    if (!a.value && (a.type || a.data)) return UsageError("/t and /d need /v NAME or /ve");
    std::string error;
    uint32_t    type = kRegSz;
    if (a.type) {
        const auto t = ParseTypeName(*a.type);
        if (!t) return UsageError("unknown type '%s'", a.type->c_str());
        type = *t;
    }
    std::string data;
    if (a.value) {
        if (!CheckValueName(*a.value, error)) return UsageError("%s", error.c_str());
        const std::string separator = a.separator.value_or("\\0");
        if (separator.empty()) return UsageError("the separator can't be empty");
        auto bytes = DataBytes(type, a.data.value_or(""), separator, error);
        if (!bytes) return UsageError("%s", error.c_str());
        if (bytes->size() > kMaxValueBytes)
            return Fail(kExitFailure, "%zu bytes of data; the registry holds at most %zu", bytes->size(),
                        kMaxValueBytes);
        data = std::move(*bytes);
    }

    UniqueKey h;
    if (const LONG rc = CreateKeyPath(*key, h)) return FailCode(rc, FormatKeyPath(*key));
    if (!a.value) return kExitOk;
    if (!a.force && RegQueryValueExA(h.get(), a.value->c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        !Confirm("Overwrite the value " + ValueLabel(*a.value) + " of " + FormatKeyPath(*key), status))
        return status;
    if (const LONG rc = RegSetValueExA(h.get(), a.value->c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                                       static_cast<DWORD>(data.size())))
        return FailCode(rc, FormatKeyPath(*key) + ": " + ValueLabel(*a.value));
    return kExitOk;
}

int Delete(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowValue | kAllowAllValues | kAllowForce, status)) return status;
    if (a.words.size() != 1) return UsageError("delete takes one KEY");
    if (a.value && a.all_values) return UsageError("give one of /v, /ve and /va");
    const auto key = KeyArg(a.words[0], status);
    if (!key) return status;
    const std::string path = FormatKeyPath(*key);

    if (!a.value && !a.all_values) {
        if (key->IsRoot()) return Fail(kExitFailure, "%s: a root key can't be deleted", path.c_str());
        KeyPath parent = *key;
        parent.parts.pop_back();
        UniqueKey h;
        if (const LONG rc = OpenKeyPath(*key, h)) return FailCode(rc, path);
        if (!a.force && !Confirm("Delete " + path + " and every key and value below it", status)) return status;
        if (const LONG rc = OpenKeyPath(parent, h)) return FailCode(rc, FormatKeyPath(parent));
        if (const LONG rc = RegDeleteKeyA(h.get(), key->parts.back().c_str())) return FailCode(rc, path);
        return kExitOk;
    }
    UniqueKey h;
    if (const LONG rc = OpenKeyPath(*key, h)) return FailCode(rc, path);
    std::vector<std::string> names;
    if (a.all_values) {
        KeyContent content;
        if (const LONG rc = ReadKey(h.get(), *key, content)) return FailCode(rc, path);
        for (const Value &v : content.values)
            names.push_back(v.name);
        if (names.empty()) return kExitOk;
        if (!a.force && !Confirm("Delete all " + std::to_string(names.size()) + " values of " + path, status))
            return status;
    } else {
        if (const LONG rc = RegQueryValueExA(h.get(), a.value->c_str(), nullptr, nullptr, nullptr, nullptr))
            return FailCode(rc, path + ": value " + ValueLabel(*a.value));
        if (!a.force && !Confirm("Delete the value " + ValueLabel(*a.value) + " of " + path, status)) return status;
        names.push_back(*a.value);
    }
    for (const std::string &name : names)
        if (const LONG rc = RegDeleteValueA(h.get(), name.c_str())) return FailCode(rc, path + ": " + ValueLabel(name));
    return kExitOk;
}

// The whole of FILE, or of stdin for "-".
std::optional<std::string> ReadInput(const std::string &file)
{
    UniqueFd fd(file == "-" ? dup(STDIN_FILENO) : open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        Fail(kExitFailure, "%s: %s", file.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::string bytes;
    char        buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n == 0) return bytes;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || bytes.size() > (64u << 20)) {
            Fail(kExitFailure, "%s: %s", file.c_str(), n < 0 ? std::strerror(errno) : "larger than 64 MiB");
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int Export(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowForce | kAllowUnicode, status)) return status;
    if (a.words.size() != 2) return UsageError("export takes KEY and FILE (- for stdout)");
    const auto key = KeyArg(a.words[0], status);
    if (!key) return status;
    const std::string &file = a.words[1];
    const RegFormat    format = a.unicode ? RegFormat::Unicode : RegFormat::Regedit4;
    struct stat        st;
    if (file != "-" && !a.force && stat(file.c_str(), &st) == 0 && !Confirm("Overwrite " + file, status)) return status;

    std::vector<KeyContent> keys;
    {
        Progress progress("kstctl reg export");
        if (const LONG rc = ReadTree(*key, keys, &progress)) return FailCode(rc, FormatKeyPath(*key));
    }
    std::string text = RegHeader(format), error;
    for (const KeyContent &k : keys) {
        auto line = FormatKeyLine(k.path, format, error);
        if (!line) return Fail(kExitFailure, "%s: %s", Printable(FormatKeyPath(k.path)).c_str(), error.c_str());
        text += *line;
        for (const Value &v : k.values) {
            auto lines = FormatValue(v.name, v.type, v.data, format, error);
            if (!lines)
                return Fail(kExitFailure, "%s: %s: %s", Printable(FormatKeyPath(k.path)).c_str(),
                            Printable(v.name).c_str(), error.c_str());
            text += *lines;
        }
        text += "\r\n";
    }
    const std::string bytes = EncodeRegText(text, format);
    if (file == "-") {
        if (!WriteAll(STDOUT_FILENO, bytes)) return Fail(kExitFailure, "stdout: %s", std::strerror(errno));
        return kExitOk;
    }
    // Written beside the target and renamed over it, so a failed export never leaves half a file.
    const std::string temp = file + ".kstctl-tmp";
    UniqueFd          fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || !WriteAll(fd.get(), bytes) || fsync(fd.get()) != 0 || close(fd.release()) != 0 ||
        rename(temp.c_str(), file.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        return Fail(kExitFailure, "%s: %s", file.c_str(), std::strerror(err));
    }
    return kExitOk;
}

// Parses FILE; errors name the file and line. Lines regedit would pass over are listed on stderr; they
// refuse the file unless skip_invalid asks to pass over them too, and with them the lines that ask for
// what the registry can't hold (which refuse it at the first otherwise).
std::optional<std::vector<RegEntry>> ParseInput(const std::string &file, bool skip_invalid, int &status)
{
    const auto bytes = ReadInput(file);
    if (!bytes) {
        status = kExitFailure;
        return std::nullopt;
    }
    const std::string where = file == "-" ? "<stdin>" : file;
    RegParseError     error;
    auto              parsed = ParseRegFile(*bytes, error, skip_invalid);
    if (!parsed) {
        if (error.line)
            status = Fail(kExitFailure, "%s:%zu: %s", where.c_str(), error.line, error.message.c_str());
        else
            status = Fail(kExitFailure, "%s: %s", where.c_str(), error.message.c_str());
        return std::nullopt;
    }
    for (const RegSkipped &s : parsed->skipped)
        Fail(kExitOk, "%s:%zu: %s%s", where.c_str(), s.line, skip_invalid ? "skipped: " : "", s.why.c_str());
    if (!parsed->skipped.empty() && !skip_invalid) {
        status = Fail(kExitFailure,
                      "%s: %zu line%s that regedit would skip; nothing written (--skip-invalid "
                      "passes over them)",
                      where.c_str(), parsed->skipped.size(), parsed->skipped.size() == 1 ? "" : "s");
        return std::nullopt;
    }
    return std::move(parsed->entries);
}

int Import(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowSkip, status)) return status;
    if (a.words.size() != 1) return UsageError("import takes one FILE (- for stdin)");
    const std::string &file = a.words[0];
    const auto         entries = ParseInput(file, a.skip_invalid, status);
    if (!entries) return status;

    const std::string where = file == "-" ? "<stdin>" : file;
    Progress          progress("kstctl reg import");
    KeyCursor         cursor;
    HKEY              current = nullptr;  // the key of the last [KEY] line, held by cursor
    std::size_t       done = 0;
    for (const RegEntry &e : *entries) {
        LONG rc = ERROR_SUCCESS;
        switch (e.op) {
        case RegEntry::Op::Key:
            rc = cursor.Create(e.key, current);
            progress.Add(1, 0);
            break;
        case RegEntry::Op::DeleteKey: {
            KeyPath parent = e.key;
            parent.parts.pop_back();
            UniqueKey h;
            rc = OpenKeyPath(parent, h);
            if (rc == ERROR_SUCCESS) rc = RegDeleteKeyA(h.get(), e.key.parts.back().c_str());
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // nothing to delete is what was asked
            cursor.Reset();
            current = nullptr;
            break;
        }
        case RegEntry::Op::SetValue:
            rc = RegSetValueExA(current, e.name.c_str(), 0, e.type, reinterpret_cast<const BYTE *>(e.data.data()),
                                static_cast<DWORD>(e.data.size()));
            progress.Add(0, 1);
            break;
        case RegEntry::Op::DeleteValue:
            rc = RegDeleteValueA(current, e.name.c_str());
            break;
        }
        if (rc) {
            progress.Done();
            return Fail(StatusFor(rc), "%s:%zu: %s (%zu earlier change%s written)", where.c_str(), e.line,
                        ErrorText(rc).c_str(), done, done == 1 ? "" : "s");
        }
        ++done;
    }
    return kExitOk;
}

// Names compare as the daemon finds them: without regard to ASCII case.
std::string Fold(std::string_view name)
{
    std::string out(name);
    for (char &c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

struct TreeKey {
    std::string                                             shown;   // the key as printed
    std::map<std::string, std::pair<uint32_t, std::string>> values;  // folded name -> type, data
    std::map<std::string, std::string>                      names;   // folded name -> name as printed
};
using Tree = std::map<std::string, TreeKey>;  // folded path below KEY -> key

std::string RelativeKey(const KeyPath &key, std::size_t depth)
{
    std::string out;
    for (std::size_t i = depth; i < key.parts.size(); ++i)
        out += Fold(key.parts[i]) + "\\";
    return out;
}

// What the registry below key would hold if key were empty and the file's entries were imported.
std::optional<Tree> ExpectedTree(const std::vector<RegEntry> &entries, const KeyPath &key, const std::string &file,
                                 int &status)
{
    const std::size_t depth = key.parts.size();
    Tree              expected;
    for (const RegEntry &e : entries) {
        if (!e.key.Within(key)) {
            status = Fail(kExitFailure, "%s:%zu: %s is not below %s", file.c_str(), e.line,
                          FormatKeyPath(e.key).c_str(), FormatKeyPath(key).c_str());
            return std::nullopt;
        }
        const std::string rel = RelativeKey(e.key, depth);
        switch (e.op) {
        case RegEntry::Op::Key:
            for (std::size_t n = depth; n <= e.key.parts.size(); ++n) {  // import creates the keys on the way
                KeyPath prefix = key;  // shown as KEY is spelled, like the registry's side, whatever the file's root
                prefix.parts.insert(prefix.parts.end(), e.key.parts.begin() + depth, e.key.parts.begin() + n);
                expected.try_emplace(RelativeKey(prefix, depth), TreeKey{FormatKeyPath(prefix), {}, {}});
            }
            break;
        case RegEntry::Op::DeleteKey:
            for (auto it = expected.lower_bound(rel); it != expected.end() && it->first.starts_with(rel);)
                it = expected.erase(it);
            break;
        case RegEntry::Op::SetValue:
            expected[rel].values[Fold(e.name)] = {e.type, e.data};
            expected[rel].names[Fold(e.name)] = e.name;
            break;
        case RegEntry::Op::DeleteValue:
            expected[rel].values.erase(Fold(e.name));
            break;
        }
    }
    return expected;
}

int Compare(const RegArgs &a)
{
    int status = kExitOk;
    if (!OnlyOptions(a, kAllowSkip, status)) return status;
    if (a.words.size() != 2) return UsageError("compare takes KEY and FILE (- for stdin)");
    const auto key = KeyArg(a.words[0], status);
    if (!key) return status;
    const auto entries = ParseInput(a.words[1], a.skip_invalid, status);
    if (!entries) return status;
    const std::size_t depth = key->parts.size();

    auto expected = ExpectedTree(*entries, *key, a.words[1], status);
    if (!expected) return status;

    Tree                    actual;
    std::vector<KeyContent> keys;
    if (const LONG rc = ReadTree(*key, keys, nullptr); rc && rc != ERROR_FILE_NOT_FOUND)
        return FailCode(rc, FormatKeyPath(*key));
    for (const KeyContent &k : keys) {
        TreeKey &t = actual[RelativeKey(k.path, depth)];
        t.shown = FormatKeyPath(k.path);
        for (const Value &v : k.values) {
            t.values[Fold(v.name)] = {v.type, v.data};
            t.names[Fold(v.name)] = v.name;
        }
    }

    bool       different = false;
    const auto report = [&](const char *what, const std::string &key_text, const std::string *name) {
        different = true;
        if (name)
            std::printf("%s: %s: %s\n", what, Printable(key_text).c_str(), Printable(ValueLabel(*name)).c_str());
        else
            std::printf("%s: %s\n", what, Printable(key_text).c_str());
    };
    std::set<std::string> paths;
    for (const auto &[rel, k] : *expected)
        paths.insert(rel);
    for (const auto &[rel, k] : actual)
        paths.insert(rel);
    for (const std::string &rel : paths) {
        const auto e = expected->find(rel), r = actual.find(rel);
        if (r == actual.end()) {
            report("only in file", e->second.shown, nullptr);
            continue;
        }
        if (e == expected->end()) {
            report("only in registry", r->second.shown, nullptr);
            continue;
        }
        std::set<std::string> names;
        for (const auto &[n, v] : e->second.values)
            names.insert(n);
        for (const auto &[n, v] : r->second.values)
            names.insert(n);
        for (const std::string &n : names) {
            const auto ev = e->second.values.find(n), rv = r->second.values.find(n);
            if (rv == r->second.values.end())
                report("only in file", r->second.shown, &e->second.names.at(n));
            else if (ev == e->second.values.end())
                report("only in registry", r->second.shown, &r->second.names.at(n));
            else if (ev->second != rv->second)
                report("differs", r->second.shown, &r->second.names.at(n));
        }
    }
    return different ? kExitDifferent : kExitOk;
}

}  // namespace

int RunReg(int argc, char **argv)
{
    if (argc < 2) return WantsHelp(argc, argv) ? PrintHelp(kHelp) : UsageError("missing operation (query, add, ...)");
    const std::string_view op = argv[1];
    if (op == "--help" || op == "-h" || op == "/?" || WantsHelp(argc - 1, argv + 1)) return PrintHelp(kHelp);
    SetCommandName("kstctl reg " + std::string(op));
    int        status = kExitOk;
    const auto args = Parse(argc - 1, argv + 1, status);
    if (!args) return status;
    if (op == "query") return Query(*args);
    if (op == "add") return Add(*args);
    if (op == "delete") return Delete(*args);
    if (op == "export") return Export(*args);
    if (op == "import") return Import(*args);
    if (op == "compare") return Compare(*args);
    SetCommandName("kstctl reg");
    return UsageError("unknown operation '%s'", argv[1]);
}

}  // namespace kstctl
