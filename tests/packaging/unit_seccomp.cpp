// restrict_families.cpp: runs a program with socket() limited to the given address families, the
// way a unit's RestrictAddressFamilies= does: other families fail with EAFNOSUPPORT. Used by
// tests/packaging/unit-sandbox, where systemd can't apply the unit's settings itself.
//
//   restrict_families AF_UNIX AF_INET ... -- <program> [args...]
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
#include <cstring>
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

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> allowed;
    int              i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        bool known = false;
        for (const Family &f : kFamilies)
            if (strcmp(argv[i], f.name) == 0) allowed.push_back(f.value), known = true;
        if (!known) {
            fprintf(stderr, "restrict_families: unknown family %s\n", argv[i]);
            return 125;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "usage: restrict_families AF_... -- <program> [args...]\n");
        return 125;
    }

    // Native socket() calls whose first argument is not allowed fail; everything else passes.
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // the low half: the family
    };
    for (std::size_t k = 0; k < allowed.size(); ++k) {
        // Jump over the remaining comparisons and the refusal to the final ALLOW.
        const auto skip = static_cast<unsigned char>(allowed.size() - k);
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(allowed[k]), skip, 0));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};

    // As systemd does: without CAP_SYS_ADMIN a filter needs no_new_privs, which is otherwise left to
    // NoNewPrivileges= (so the caller can still gain privileges through what it runs next).
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0 &&
        (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)) {
        perror("restrict_families: seccomp");
        return 125;
    }
    execvp(argv[i + 1], argv + i + 1);
    perror("restrict_families: exec");
    return 127;
}
