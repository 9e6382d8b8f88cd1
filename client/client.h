// client.h: a small ONC RPC over TCP client with its own XDR encoder, for tests, tools and the benchmark.
//
// It never shares code with the server's XDR routines: a shared encoder would hide a wrong field order.
// Everything is explicit: a typed call sends one call and reads the next reply on the connection, and a
// test that parks a call uses SendCall + ReadReply itself.
#pragma once

#include "common/procedures.h"
#include "common/unique.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kst {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t    kProgram = 0x20001234;      // the server's program number
inline constexpr uint32_t    kVersion = 1;               // the only version served
inline constexpr int         kDefaultTimeoutMs = 10000;  // how long a typed call waits for its reply
inline constexpr std::size_t kMaxWaitHandles = 64;       // handle slots of a wait record
inline constexpr std::size_t kEventNameChars = 64;       // name field of create_event_struct
inline constexpr std::size_t kKeyNameChars = 256;        // name field of the registry records
inline constexpr std::size_t kValueDataChars = 512;

// Procedure numbers, named after the operation each one carries (from the server's one table).
namespace proc {
#define KST_PROCEDURE_CONSTANT(number, id, name, argument, reply, routine, parks)                                      \
    inline constexpr uint32_t k##id = number;
KST_PROCEDURES(KST_PROCEDURE_CONSTANT)
#undef KST_PROCEDURE_CONSTANT
}  // namespace proc

// Reply status words of an RPC reply message.
inline constexpr uint32_t kMsgAccepted = 0, kMsgDenied = 1;
inline constexpr uint32_t kSuccess = 0, kProgUnavail = 1, kProgMismatch = 2, kProcUnavail = 3, kGarbageArgs = 4,
                          kSystemErr = 5;

// Appends XDR items to a byte buffer.
class Encoder {
public:
    Encoder &U32(uint32_t v);
    Encoder &U64(uint64_t v);
    // A fixed char[n]: every element a 4-byte int with the char sign-extended. Text shorter than n is
    // NUL-padded; longer text fills all n elements and has no terminator.
    Encoder                   &Chars(std::string_view text, std::size_t n);
    Encoder                   &String(std::string_view text);           // XDR string: length, bytes, zero padding
    Encoder                   &Opaque(std::span<const uint8_t> bytes);  // variable opaque: length, bytes, padding
    Encoder                   &Raw(std::span<const uint8_t> bytes);     // bytes as they are
    [[nodiscard]] const Bytes &bytes() const { return out_; }
    [[nodiscard]] Bytes        Take() { return std::move(out_); }

private:
    Bytes out_;  // everything appended so far
};

// Reads XDR items; a read past the end yields 0 and clears ok() for good.
class Decoder {
public:
    explicit Decoder(std::span<const uint8_t> in) : in_(in) {}
    uint32_t                  U32();
    uint64_t                  U64();
    std::string               Chars(std::size_t n);  // n elements, the low 8 bits of each; all n bytes kept
    void                      Skip(std::size_t n);
    [[nodiscard]] bool        ok() const { return ok_; }
    [[nodiscard]] std::size_t remaining() const { return in_.size() - pos_; }

private:
    std::span<const uint8_t> in_;         // the whole input
    std::size_t              pos_ = 0;    // next byte to read
    bool                     ok_ = true;  // false after any short read
};

// The text of a fixed char field up to its first NUL (the whole field if it has none).
std::string FieldText(std::string_view field);

// One record-marking fragment: 4-byte header (length, last-fragment bit) then the bytes.
Bytes Fragment(std::span<const uint8_t> body, bool last = true);
// A CALL message body (no record mark) with AUTH_NONE credential and verifier.
Bytes CallMessage(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, std::span<const uint8_t> args);
// A complete record for a call of this server's program.
Bytes CallRecord(uint32_t xid, uint32_t proc, std::span<const uint8_t> args);

// A parsed REPLY message.
struct Reply {
    uint32_t xid = 0;          // as sent by the server
    uint32_t reply_stat = 0;   // kMsgAccepted or kMsgDenied
    uint32_t accept_stat = 0;  // kSuccess..kSystemErr when accepted; the reject_stat when denied
    Bytes    body;             // results after accept_stat (for PROG_MISMATCH: low and high version)

    [[nodiscard]] bool succeeded() const { return reply_stat == kMsgAccepted && accept_stat == kSuccess; }
    // The body as one word; nullopt unless the reply succeeded with exactly 8 bytes.
    [[nodiscard]] std::optional<uint64_t> Word() const;
    bool                                  operator==(const Reply &) const = default;
};
// Readable test messages: "xid 0xa1 accepted/0 word 0x..." rather than a byte dump.
std::ostream        &operator<<(std::ostream &os, const Reply &r);
std::optional<Reply> ParseReply(std::span<const uint8_t> record);

// Argument records, encoded field by field in wire order.
struct Words5 {
    uint64_t arg1 = 0, arg2 = 0, arg3 = 0, arg4 = 0, arg5 = 0;  // meaning depends on the procedure
    bool     operator==(const Words5 &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Words5 &w);
Bytes         EncodeWord(uint64_t word);
Bytes         EncodeString(std::string_view text);
Bytes         EncodeCreate(uint64_t arg1, uint64_t arg2, std::string_view name);  // create_event_struct, 272 bytes
// wait_for_multiple_objects_struct: all 64 slots travel; missing handles are 0. 528 bytes.
Bytes EncodeWait(uint64_t count, uint64_t wait_all, std::span<const uint64_t> handles);
Bytes EncodeOpen(uint64_t arg1, std::string_view name);  // registry_open_struct, 1032 bytes
Bytes EncodeSet(uint64_t arg1, std::string_view name, uint64_t type, uint64_t size,
                std::string_view data);  // registry_set_struct, 3096 bytes
Bytes EncodeWords5(const Words5 &w);     // registry_notify_struct, 40 bytes

// Result records.
struct QueryResult {       // registry_query_struct
    uint64_t    type = 0;  // value type
    uint64_t    size = 0;  // data bytes returned
    std::string data;      // all 512 bytes of the field
};
struct EnumKeyResult {     // registry_open_struct
    uint64_t    arg1 = 0;  // modification time of the subkey
    std::string name;      // text up to the first NUL
};
struct EnumValueResult {  // registry_set_struct
    uint64_t    arg1 = 0;
    std::string name;  // text up to the first NUL
    uint64_t    type = 0;
    uint64_t    size = 0;
    std::string data;  // all 512 bytes of the field
};
std::optional<QueryResult>     DecodeQuery(std::span<const uint8_t> body);
std::optional<EnumKeyResult>   DecodeEnumKey(std::span<const uint8_t> body);
std::optional<EnumValueResult> DecodeEnumValue(std::span<const uint8_t> body);
std::optional<Words5>          DecodeWords5(std::span<const uint8_t> body);

// One TCP connection to 127.0.0.1. Move-only; closes its socket when it goes away.
class Connection {
public:
    Connection() = default;
    Connection(Connection &&) = default;
    Connection &operator=(Connection &&) = default;

    // TCP_NODELAY, so each SendRaw leaves as its own segment. A listener whose backlog is full drops
    // the SYN and a plain connect() would retry for minutes: the attempt gives up after timeout_ms.
    bool Connect(uint16_t port, int timeout_ms = kDefaultTimeoutMs);
    void Close()
    {
        fd_.reset();
        in_.clear();
        recv_limit_ms_ = -1;
    }
    [[nodiscard]] bool connected() const { return static_cast<bool>(fd_); }
    [[nodiscard]] int  fd() const { return fd_.get(); }
    // What went wrong in the last failed operation, for test messages.
    [[nodiscard]] const std::string &error() const { return error_; }
    uint32_t                         NextXid() { return next_xid_++; }

    // True when the last read or write failed only because its time ran out; the connection is intact
    // and bytes of a record read half-way stay buffered for the next read.
    [[nodiscard]] bool timed_out() const { return timed_out_; }

    // Writes all bytes, as they are; false on a write error (the peer may have closed) or when the peer
    // does not take them within timeout_ms.
    bool SendRaw(std::span<const uint8_t> bytes, int timeout_ms = kDefaultTimeoutMs);
    // Sends one call of this server's program and does not wait.
    bool SendCall(uint32_t proc, std::span<const uint8_t> args, uint32_t xid);
    // The next whole reply record (all fragments); nullopt on timeout, EOF, error or an unparsable record.
    // A negative timeout waits for ever.
    std::optional<Reply> ReadReply(int timeout_ms = kDefaultTimeoutMs);
    // The next whole record as raw bytes, without the record marks.
    std::optional<Bytes> ReadRecord(int timeout_ms = kDefaultTimeoutMs);
    // True when nothing at all (no byte, no EOF) becomes readable within ms.
    bool NoReplyWithin(int ms);
    // True when the server closes the connection (EOF or reset) within ms before sending anything.
    bool ClosedWithin(int ms);

    // Sends a call with a fresh xid and reads its reply; nullopt (see error()) unless the reply
    // carries that xid. Any accept_stat is returned as is.
    std::optional<Reply> Call(uint32_t proc, std::span<const uint8_t> args, int timeout_ms = kDefaultTimeoutMs);
    // As Call, but the reply must succeed and hold exactly one word.
    std::optional<uint64_t> CallWord(uint32_t proc, std::span<const uint8_t> args, int timeout_ms = kDefaultTimeoutMs);

    // One typed call per procedure, named after the operation it carries. Names and data go into their
    // fixed fields byte for byte (see Encoder::Chars). A wait that does not complete times out like any
    // call, and its reply may still come later on this connection.
    bool                    Null();
    std::optional<uint64_t> CreateEvent(uint64_t manual_reset, uint64_t initial_state, std::string_view name)
    {
        return CallWord(proc::kCreateEvent, EncodeCreate(manual_reset, initial_state, name));
    }
    std::optional<uint64_t> SetEvent(uint64_t h) { return CallWord(proc::kSetEvent, EncodeWord(h)); }
    std::optional<uint64_t> ResetEvent(uint64_t h) { return CallWord(proc::kResetEvent, EncodeWord(h)); }
    std::optional<uint64_t> OpenEvent(std::string_view name) { return CallWord(proc::kOpenEvent, EncodeString(name)); }
    std::optional<uint64_t> CloseHandle(uint64_t h) { return CallWord(proc::kCloseHandle, EncodeWord(h)); }
    std::optional<uint64_t> WaitForSingleObject(uint64_t h, int timeout_ms = kDefaultTimeoutMs)
    {
        return CallWord(proc::kWaitSingle, EncodeWord(h), timeout_ms);
    }
    std::optional<uint64_t> WaitForMultipleObjects(uint64_t count, uint64_t wait_all, std::span<const uint64_t> handles,
                                                   int timeout_ms = kDefaultTimeoutMs)
    {
        return CallWord(proc::kWaitMultiple, EncodeWait(count, wait_all, handles), timeout_ms);
    }
    std::optional<uint64_t> RegOpenKeyEx(uint64_t key, std::string_view subkey)
    {
        return CallWord(proc::kRegOpenKey, EncodeOpen(key, subkey));
    }
    std::optional<uint64_t> RegCloseKey(uint64_t key) { return CallWord(proc::kRegCloseKey, EncodeWord(key)); }
    std::optional<uint64_t> RegDeleteKey(uint64_t key, std::string_view subkey)
    {
        return CallWord(proc::kRegDeleteKey, EncodeOpen(key, subkey));
    }
    std::optional<uint64_t> RegCreateKeyEx(uint64_t key, std::string_view subkey)
    {
        return CallWord(proc::kRegCreateKey, EncodeOpen(key, subkey));
    }
    std::optional<QueryResult> RegQueryValueEx(uint64_t key, std::string_view value);
    std::optional<uint64_t>    RegSetValueEx(uint64_t key, std::string_view value, uint64_t type, uint64_t size,
                                             std::string_view data)
    {
        return CallWord(proc::kRegSetValue, EncodeSet(key, value, type, size, data));
    }
    std::optional<uint64_t> RegNotifyChangeKeyValue(const Words5 &args, int timeout_ms = kDefaultTimeoutMs)
    {
        return CallWord(proc::kRegNotify, EncodeWords5(args), timeout_ms);
    }
    std::optional<uint64_t> RegFlushKey(uint64_t key) { return CallWord(proc::kRegFlushKey, EncodeWord(key)); }
    std::optional<uint64_t> CreateMutex(uint64_t arg1, uint64_t initial_owner, std::string_view name)
    {
        return CallWord(proc::kCreateMutex, EncodeCreate(arg1, initial_owner, name));
    }
    std::optional<uint64_t> OpenMutex(std::string_view name) { return CallWord(proc::kOpenMutex, EncodeString(name)); }
    std::optional<uint64_t> ReleaseMutex(uint64_t h) { return CallWord(proc::kReleaseMutex, EncodeWord(h)); }
    std::optional<uint64_t> CreateSemaphore(uint64_t initial, uint64_t maximum, std::string_view name)
    {
        return CallWord(proc::kCreateSemaphore, EncodeCreate(initial, maximum, name));
    }
    std::optional<uint64_t> OpenSemaphore(std::string_view name)
    {
        return CallWord(proc::kOpenSemaphore, EncodeString(name));
    }
    std::optional<uint64_t> ReleaseSemaphore(uint64_t h, uint64_t count)
    {
        return CallWord(proc::kReleaseSemaphore, EncodeWords5({.arg1 = h, .arg2 = count}));
    }
    std::optional<uint64_t> CancelWaitSingle(uint64_t h) { return CallWord(proc::kCancelWaitSingle, EncodeWord(h)); }
    std::optional<uint64_t> CancelWaitMultiple(uint64_t count, std::span<const uint64_t> handles, uint64_t wait_all = 0)
    {
        return CallWord(proc::kCancelWaitMultiple, EncodeWait(count, wait_all, handles));
    }
    std::optional<uint64_t> CancelRegNotify(const Words5 &args)
    {
        return CallWord(proc::kCancelRegNotify, EncodeWords5(args));
    }
    std::optional<uint64_t> RegDeleteValue(uint64_t key, std::string_view value)
    {
        return CallWord(proc::kRegDeleteValue, EncodeOpen(key, value));
    }
    std::optional<EnumKeyResult>   RegEnumKeyEx(uint64_t key, uint64_t index);
    std::optional<EnumValueResult> RegEnumValue(uint64_t key, uint64_t index);
    std::optional<Words5>          RegQueryInfoKey(uint64_t key);

private:
    // Moves the first complete record out of in_ into record; false when in_ holds none yet. Sets
    // oversized when the record could never be taken.
    bool TakeRecord(Bytes &record, bool &oversized);
    template <class Result>
    std::optional<Result> CallRecordResult(uint32_t proc, std::span<const uint8_t> args,
                                           std::optional<Result> (*decode)(std::span<const uint8_t>));
    bool                  Fail(std::string what);        // records what and returns false
    bool                  SetRecvLimit(int timeout_ms);  // SO_RCVTIMEO for a blocking first read

    UniqueFd    fd_;                  // the socket; -1 when not connected
    uint32_t    next_xid_ = 1;        // xid of the next typed call
    std::string error_;               // last failure, for messages
    Bytes       in_;                  // received bytes not yet taken as a record
    bool        timed_out_ = false;   // the last failure was a time-out
    int         recv_limit_ms_ = -1;  // the socket's SO_RCVTIMEO in ms; -1: none (a fresh socket's)
};

// Portmapper (program 100000 version 2) over TCP at 127.0.0.1:111.
inline constexpr uint32_t kIpprotoTcp = 6;
// PMAPPROC_GETPORT: the port (0 when not registered); nullopt when the portmapper can't be reached.
std::optional<uint16_t> PmapGetPort(uint32_t prog = kProgram, uint32_t vers = kVersion, uint32_t prot = kIpprotoTcp,
                                    int timeout_ms = 2000);

}  // namespace kst
