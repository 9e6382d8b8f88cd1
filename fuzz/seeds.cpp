// seeds.cpp: writes the fuzz targets' seed corpora, made of calls encoded as a client sends them.
//
//   fuzz_seeds <directory>   ->  <directory>/<target>/<n> for every target
#include "client/client.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using kst::Bytes;
namespace proc = kst::proc;

// The marker the dispatch target replaces by the n-th identity replied so far.
constexpr uint64_t Handle(uint8_t n)
{
    return 0xFFFFFFFFFFFFFF00ULL | n;
}
constexpr uint64_t kLocalMachine = 2;

bool Write(const std::string &dir, const std::string &name, const Bytes &bytes)
{
    mkdir(dir.c_str(), 0755);
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// A dispatch script: each call is op (connection | procedure << 2), a 2-byte length and the arguments.
class Script {
public:
    Script &Call(int conn, uint32_t procedure, const Bytes &args)
    {
        out_.push_back(static_cast<uint8_t>(procedure << 2 | conn));
        out_.push_back(static_cast<uint8_t>(args.size() >> 8));
        out_.push_back(static_cast<uint8_t>(args.size()));
        out_.insert(out_.end(), args.begin(), args.end());
        return *this;
    }
    Script                    &Lose(int conn) { return Call(conn, 31, {}); }
    [[nodiscard]] const Bytes &bytes() const { return out_; }

private:
    Bytes out_;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds <directory>\n");
        return 64;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    bool           ok = true;
    const uint64_t handles[] = {0x1f52f00000000001, 0x1f52f00000000002, 0x1f52f00000000003};

    ok &= Write(root + "/xdr_create_event_fuzz", "event", kst::EncodeCreate(1, 0, "Global\\Ready"));
    ok &= Write(root + "/xdr_create_event_fuzz", "semaphore", kst::EncodeCreate(2, 5, ""));
    ok &= Write(root + "/xdr_create_event_fuzz", "full-name", kst::EncodeCreate(0, 1, std::string(64, '\xe9')));
    ok &= Write(root + "/xdr_wait_for_multiple_objects_fuzz", "any", kst::EncodeWait(3, 0, handles));
    ok &= Write(root + "/xdr_wait_for_multiple_objects_fuzz", "all", kst::EncodeWait(2, 1, handles));
    ok &= Write(root + "/xdr_registry_open_fuzz", "subkey", kst::EncodeOpen(kLocalMachine, "Software\\Orn\\Kestrel"));
    ok &= Write(root + "/xdr_registry_open_fuzz", "full", kst::EncodeOpen(handles[0], std::string(256, 'k')));
    ok &= Write(root + "/xdr_registry_query_fuzz", "value", kst::Encoder{}.U64(1).U64(6).Chars("hello", 512).Take());
    ok &= Write(root + "/xdr_registry_set_fuzz", "string", kst::EncodeSet(handles[0], "Path", 1, 9, "/var/lib"));
    ok &= Write(root + "/xdr_registry_set_fuzz", "dword",
                kst::EncodeSet(handles[0], "", 4, 4, std::string("\x01\0\0\x80", 4)));
    ok &= Write(root + "/xdr_registry_notify_fuzz", "notify", kst::EncodeWords5({handles[0], 1, 5, handles[1], 1}));
    ok &= Write(root + "/xdr_registry_notify_fuzz", "release", kst::EncodeWords5({handles[2], 3}));

    const std::string dispatch = root + "/dispatch_fuzz";
    ok &= Write(dispatch, "event-handoff",
                Script{}
                    .Call(0, proc::kCreateEvent, kst::EncodeCreate(0, 0, "E"))
                    .Call(1, proc::kWaitSingle, kst::EncodeWord(Handle(0)))
                    .Call(2, proc::kOpenEvent, kst::EncodeString("E"))
                    .Call(0, proc::kSetEvent, kst::EncodeWord(Handle(0)))
                    .Call(1, proc::kResetEvent, kst::EncodeWord(Handle(1)))
                    .Call(1, proc::kCloseHandle, kst::EncodeWord(Handle(0)))
                    .bytes());
    ok &= Write(dispatch, "mutex-owner-lost",
                Script{}
                    .Call(0, proc::kCreateMutex, kst::EncodeCreate(0, 1, "M"))
                    .Call(1, proc::kWaitSingle, kst::EncodeWord(Handle(0)))
                    .Call(2, proc::kOpenMutex, kst::EncodeString("M"))
                    .Lose(0)
                    .Call(1, proc::kReleaseMutex, kst::EncodeWord(Handle(0)))
                    .Call(2, proc::kReleaseMutex, kst::EncodeWord(Handle(1)))
                    .bytes());
    const uint64_t two[] = {Handle(0), Handle(1)};
    ok &= Write(dispatch, "wait-all-cancel",
                Script{}
                    .Call(0, proc::kCreateSemaphore, kst::EncodeCreate(0, 3, "S"))
                    .Call(0, proc::kCreateEvent, kst::EncodeCreate(1, 0, ""))
                    .Call(1, proc::kWaitMultiple, kst::EncodeWait(2, 1, two))
                    .Call(2, proc::kWaitMultiple, kst::EncodeWait(2, 0, two))
                    .Call(0, proc::kReleaseSemaphore, kst::EncodeWords5({Handle(0), 2}))
                    .Call(1, proc::kCancelWaitMultiple, kst::EncodeWait(2, 1, two))
                    .Call(3, proc::kOpenSemaphore, kst::EncodeString("S"))
                    .Call(2, proc::kCancelWaitSingle, kst::EncodeWord(Handle(0)))
                    .bytes());
    ok &= Write(dispatch, "registry",
                Script{}
                    .Call(0, proc::kRegCreateKey, kst::EncodeOpen(kLocalMachine, "Soft\\Orn"))
                    .Call(0, proc::kRegSetValue, kst::EncodeSet(Handle(0), "Name", 1, 4, "abc"))
                    .Call(1, proc::kRegOpenKey, kst::EncodeOpen(kLocalMachine, "Soft"))
                    .Call(1, proc::kRegNotify, kst::EncodeWords5({Handle(1), 1, 4, 0, 0}))
                    .Call(0, proc::kRegSetValue, kst::EncodeSet(Handle(0), "", 4, 4, std::string("\x2a\0\0\0", 4)))
                    .Call(2, proc::kRegQueryValue, kst::EncodeOpen(Handle(0), "Name"))
                    .Call(2, proc::kRegEnumValue, kst::EncodeWords5({Handle(0), 1}))
                    .Call(2, proc::kRegEnumKey, kst::EncodeWords5({Handle(1), 0}))
                    .Call(2, proc::kRegQueryInfoKey, kst::EncodeWord(Handle(0)))
                    .Call(3, proc::kRegFlushKey, kst::EncodeWord(Handle(0)))
                    .Call(0, proc::kRegDeleteValue, kst::EncodeOpen(Handle(0), "Name"))
                    .Call(1, proc::kCancelRegNotify, kst::EncodeWords5({Handle(1), 1, 4, 0, 0}))
                    .Call(3, proc::kRegCloseKey, kst::EncodeWord(Handle(1)))
                    .Call(3, proc::kRegDeleteKey, kst::EncodeOpen(kLocalMachine, "Soft"))
                    .bytes());
    ok &= Write(dispatch, "notify-event",
                Script{}
                    .Call(0, proc::kCreateEvent, kst::EncodeCreate(1, 0, ""))
                    .Call(0, proc::kRegCreateKey, kst::EncodeOpen(kLocalMachine, "N"))
                    .Call(0, proc::kRegNotify, kst::EncodeWords5({Handle(1), 0, 4, Handle(0), 1}))
                    .Call(1, proc::kWaitSingle, kst::EncodeWord(Handle(0)))
                    .Call(2, proc::kRegSetValue, kst::EncodeSet(Handle(1), "v", 3, 2, "xy"))
                    .Call(0, proc::kCloseHandle, kst::EncodeWord(Handle(0)))
                    .Call(0, proc::kNull, {})
                    .bytes());
    // A synchronous registration cancelled by another connection: the request stays parked, and its
    // internal event must go with the connection rather than stay in the object list for good.
    ok &= Write(dispatch, "notify-cancelled-elsewhere",
                Script{}
                    .Call(0, proc::kRegCreateKey, kst::EncodeOpen(kLocalMachine, "C"))
                    .Call(0, proc::kRegNotify, kst::EncodeWords5({Handle(0), 0, 4, 0, 0}))
                    .Call(1, proc::kCancelRegNotify, kst::EncodeWords5({Handle(0)}))
                    .Lose(0)
                    .Call(1, proc::kNull, {})
                    .bytes());
    if (!ok) {
        perror("fuzz_seeds");
        return 1;
    }
    return 0;
}
