// unit_seccomp.cpp: runs a program under the seccomp filters a unit's RestrictAddressFamilies= and
// SystemCallFilter= ask systemd for: socket() with another address family fails with EAFNOSUPPORT,
// a system call outside the allow list fails with the given errno (SystemCallErrorNumber=) or kills
// the process (without it). Used by tests/packaging/unit-sandbox, where systemd can't apply the
// unit's settings itself; the unit-sandbox turns SystemCallFilter='s names into numbers.
//
//   unit_seccomp [AF_...]... [--syscalls N,N,...] [--errno N] -- <program> [args...]
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
#else
#error "add this architecture's AUDIT_ARCH_ value"
#endif

struct Family {
    const char *name;   // as a unit file spells it
    int         value;  // for socket()
};
constexpr Family kFamilies[] = {{"AF_UNIX", AF_UNIX},   {"AF_LOCAL", AF_LOCAL},     {"AF_INET", AF_INET},
                                {"AF_INET6", AF_INET6}, {"AF_NETLINK", AF_NETLINK}, {"AF_PACKET", AF_PACKET}};

std::optional<uint32_t> Number(const char *text, uint32_t limit)
{
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > limit) return std::nullopt;
    return static_cast<uint32_t>(value);
}

int Usage(const char *why, const char *what)
{
    fprintf(stderr,
            "unit_seccomp: %s %s\nusage: unit_seccomp [AF_...]... [--syscalls N,N,...] [--errno N] -- "
            "<program> [args...]\n",
            why, what);
    return 125;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<uint32_t> families;
    std::vector<uint32_t> syscalls;
    bool                  filter_syscalls = false;
    uint32_t              refusal = SECCOMP_RET_KILL_PROCESS;  // as systemd without SystemCallErrorNumber=
    int                   i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--syscalls") == 0 && i + 1 < argc) {
            filter_syscalls = true;
            for (char *word = strtok(argv[++i], ","); word; word = strtok(nullptr, ",")) {
                const auto nr = Number(word, 4095);
                if (!nr) return Usage("bad system call number", word);
                syscalls.push_back(*nr);
            }
        } else if (strcmp(argv[i], "--errno") == 0 && i + 1 < argc) {
            const auto e = Number(argv[++i], SECCOMP_RET_DATA);
            if (!e) return Usage("bad errno", argv[i]);
            refusal = SECCOMP_RET_ERRNO | *e;
        } else {
            bool known = false;
            for (const Family &f : kFamilies)
                if (strcmp(argv[i], f.name) == 0) families.push_back(static_cast<uint32_t>(f.value)), known = true;
            if (!known) return Usage("unknown argument", argv[i]);
        }
    }
    if (i + 1 >= argc) return Usage("no program", "");

    // Other architectures' calls pass (SystemCallArchitectures= is not this program's business).
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    if (!families.empty()) {
        // socket() with a family not listed fails; every other call, and an allowed family, goes on to
        // the reload of the call's number below.
        const std::size_t n = families.size();
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, static_cast<unsigned char>(n + 2)));
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));  // the family
        for (std::size_t k = 0; k < n; ++k)
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, families[k], static_cast<unsigned char>(n - k), 0));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT));
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    }
    if (filter_syscalls) {
        // One comparison per allowed call, each followed by a jump to the final ALLOW (BPF_JA reaches
        // further than a conditional jump's 255 instructions).
        const std::size_t m = syscalls.size();
        for (std::size_t k = 0; k < m; ++k) {
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, syscalls[k], 0, 1));
            program.push_back(BPF_STMT(BPF_JMP | BPF_JA, static_cast<uint32_t>(2 * (m - k - 1) + 1)));
        }
        program.push_back(BPF_STMT(BPF_RET | BPF_K, refusal));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};

    // As systemd does: without CAP_SYS_ADMIN a filter needs no_new_privs, which is otherwise left to
    // NoNewPrivileges= (so the caller can still gain privileges through what it runs next).
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0 &&
        (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)) {
        perror("unit_seccomp: seccomp");
        return 125;
    }
    execvp(argv[i + 1], argv + i + 1);
    perror("unit_seccomp: exec");
    return 127;
}
