// encoder.cpp: XDR items, record marking, call and reply messages, and the argument/result records.
#include "client/client.h"

#include <ostream>

namespace kst {
namespace {

constexpr uint32_t kRpcVersion = 2;  // ONC RPC message version
constexpr uint32_t kMsgCall = 0;     // msg_type of a call
constexpr uint32_t kMsgReply = 1;    // msg_type of a reply
constexpr uint32_t kAuthNone = 0;    // credential flavour
constexpr uint32_t kLastFragment = 0x80000000u;

std::size_t Pad4(std::size_t n)
{
    return (4 - n % 4) % 4;
}

}  // namespace

Encoder &Encoder::U32(uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out_.push_back(static_cast<uint8_t>(v >> shift));
    return *this;
}

Encoder &Encoder::U64(uint64_t v)
{
    U32(static_cast<uint32_t>(v >> 32));
    return U32(static_cast<uint32_t>(v));
}

Encoder &Encoder::Chars(std::string_view text, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        // The server's xdr_char takes a char as signed: 0xE9 travels as FF FF FF E9.
        const signed char c = i < text.size() ? static_cast<signed char>(text[i]) : 0;
        U32(static_cast<uint32_t>(static_cast<int32_t>(c)));
    }
    return *this;
}

Encoder &Encoder::String(std::string_view text)
{
    return Opaque({reinterpret_cast<const uint8_t *>(text.data()), text.size()});
}

Encoder &Encoder::Opaque(std::span<const uint8_t> bytes)
{
    U32(static_cast<uint32_t>(bytes.size()));
    Raw(bytes);
    out_.insert(out_.end(), Pad4(bytes.size()), 0);
    return *this;
}

Encoder &Encoder::Raw(std::span<const uint8_t> bytes)
{
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
}

uint32_t Decoder::U32()
{
    if (remaining() < 4) {
        ok_ = false;
        pos_ = in_.size();
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | in_[pos_++];
    return v;
}

uint64_t Decoder::U64()
{
    const uint64_t hi = U32();
    return (hi << 32) | U32();
}

std::string Decoder::Chars(std::size_t n)
{
    std::string text;
    text.reserve(n);
    for (std::size_t i = 0; i < n && ok_; ++i)
        text.push_back(static_cast<char>(U32() & 0xFF));
    return text;
}

void Decoder::Skip(std::size_t n)
{
    if (remaining() < n) ok_ = false;
    pos_ += remaining() < n ? remaining() : n;
}

std::string FieldText(std::string_view field)
{
    return std::string(field.substr(0, field.find('\0')));
}

Bytes Fragment(std::span<const uint8_t> body, bool last)
{
    Encoder e;
    e.U32(static_cast<uint32_t>(body.size()) | (last ? kLastFragment : 0)).Raw(body);
    return e.Take();
}

Bytes CallMessage(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, std::span<const uint8_t> args)
{
    Encoder e;
    e.U32(xid).U32(kMsgCall).U32(kRpcVersion).U32(prog).U32(vers).U32(proc);
    e.U32(kAuthNone).U32(0);  // credential: flavour, empty body
    e.U32(kAuthNone).U32(0);  // verifier
    e.Raw(args);
    return e.Take();
}

Bytes CallRecord(uint32_t xid, uint32_t proc, std::span<const uint8_t> args)
{
    return Fragment(CallMessage(xid, kProgram, kVersion, proc, args));
}

std::optional<uint64_t> Reply::Word() const
{
    if (!succeeded() || body.size() != 8) return std::nullopt;
    Decoder d(body);
    return d.U64();
}

std::ostream &operator<<(std::ostream &os, const Reply &r)
{
    os << std::hex << "{xid 0x" << r.xid << (r.reply_stat == kMsgAccepted ? " accepted/" : " denied/") << std::dec
       << r.accept_stat;
    if (const auto w = r.Word()) return os << std::hex << " word 0x" << *w << std::dec << "}";
    return os << " " << r.body.size() << " body bytes}";
}

std::ostream &operator<<(std::ostream &os, const Words5 &w)
{
    return os << "{" << w.arg1 << ", " << w.arg2 << ", " << w.arg3 << ", " << w.arg4 << ", " << w.arg5 << "}";
}

std::optional<Reply> ParseReply(std::span<const uint8_t> record)
{
    Decoder d(record);
    Reply   r;
    r.xid = d.U32();
    if (d.U32() != kMsgReply) return std::nullopt;
    r.reply_stat = d.U32();
    if (r.reply_stat == kMsgAccepted) {
        d.U32();  // verifier flavour
        const uint32_t len = d.U32();
        d.Skip(len + Pad4(len));  // verifier body
    } else if (r.reply_stat != kMsgDenied) {
        return std::nullopt;
    }
    r.accept_stat = d.U32();
    if (!d.ok()) return std::nullopt;
    r.body.assign(record.end() - static_cast<std::ptrdiff_t>(d.remaining()), record.end());
    return r;
}

Bytes EncodeWord(uint64_t word)
{
    return Encoder().U64(word).Take();
}

Bytes EncodeString(std::string_view text)
{
    return Encoder().String(text).Take();
}

Bytes EncodeCreate(uint64_t arg1, uint64_t arg2, std::string_view name)
{
    return Encoder().U64(arg1).U64(arg2).Chars(name, kEventNameChars).Take();
}

Bytes EncodeWait(uint64_t count, uint64_t wait_all, std::span<const uint64_t> handles)
{
    Encoder e;
    e.U64(count).U64(wait_all);
    for (std::size_t i = 0; i < kMaxWaitHandles; ++i)
        e.U64(i < handles.size() ? handles[i] : 0);
    return e.Take();
}

Bytes EncodeOpen(uint64_t arg1, std::string_view name)
{
    return Encoder().U64(arg1).Chars(name, kKeyNameChars).Take();
}

Bytes EncodeSet(uint64_t arg1, std::string_view name, uint64_t type, uint64_t size, std::string_view data)
{
    return Encoder().U64(arg1).Chars(name, kKeyNameChars).U64(type).U64(size).Chars(data, kValueDataChars).Take();
}

Bytes EncodeWords5(const Words5 &w)
{
    return Encoder().U64(w.arg1).U64(w.arg2).U64(w.arg3).U64(w.arg4).U64(w.arg5).Take();
}

// Each result decoder insists on the exact record size, so a short or long reply shows up as a failure.
std::optional<QueryResult> DecodeQuery(std::span<const uint8_t> body)
{
    Decoder     d(body);
    QueryResult r;
    r.type = d.U64();
    r.size = d.U64();
    r.data = d.Chars(kValueDataChars);
    if (!d.ok() || d.remaining() != 0) return std::nullopt;
    return r;
}

std::optional<EnumKeyResult> DecodeEnumKey(std::span<const uint8_t> body)
{
    Decoder       d(body);
    EnumKeyResult r;
    r.arg1 = d.U64();
    r.name = FieldText(d.Chars(kKeyNameChars));
    if (!d.ok() || d.remaining() != 0) return std::nullopt;
    return r;
}

std::optional<EnumValueResult> DecodeEnumValue(std::span<const uint8_t> body)
{
    Decoder         d(body);
    EnumValueResult r;
    r.arg1 = d.U64();
    r.name = FieldText(d.Chars(kKeyNameChars));
    r.type = d.U64();
    r.size = d.U64();
    r.data = d.Chars(kValueDataChars);
    if (!d.ok() || d.remaining() != 0) return std::nullopt;
    return r;
}

std::optional<Words5> DecodeWords5(std::span<const uint8_t> body)
{
    Decoder d(body);
    Words5  w;
    w.arg1 = d.U64();
    w.arg2 = d.U64();
    w.arg3 = d.U64();
    w.arg4 = d.U64();
    w.arg5 = d.U64();
    if (!d.ok() || d.remaining() != 0) return std::nullopt;
    return w;
}

}  // namespace kst
