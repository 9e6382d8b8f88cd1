// port_test.cpp: the server port from property.inf. Accepted values bind 127.0.0.1 at that port; anything
// else falls back to a port the system chooses on all addresses, and the traces say why.
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

struct Trace {
    int         level;     // 0 routine, 1 error
    std::string function;  // the tracing function of unit ntsys_svc
    std::string message;   // the whole message, without its trailing newline
    auto        operator<=>(const Trace &) const = default;
};

struct Row {
    std::optional<std::string> property;  // contents of property.inf; nullopt: no file
    uint16_t                   port;      // the port to bind at 127.0.0.1; 0: fall back
    std::vector<Trace>         traces;    // each written exactly once
};

const Trace kBound{0, "NTSYS_Server", "Binding success."};
const Trace kNoPort{0, "NTSYS_Server", "GetRpcPortNumber failed."};
const Trace kInvalid{1, "GetRpcPortNumber", "Invalid PORT formation."};
const Trace kEnd{1, "GetRpcPortNumber", "fgets error."};
const Trace kMismatch{1, "GetRpcPortNumber", "SRVPORT match failed!"};
Trace       Pair(const std::string &key, const std::string &value)
{
    return {0, "GetRpcPortNumber", "pitem:" + key + ",pvalue:" + value};
}
Trace Read(int port)
{
    return {0, "GetRpcPortNumber",
            "Read port number from property.inf success. SRVPORT is : " + std::to_string(port) + " "};
}
Trace Value(const std::string &value)
{
    return {0, "GetRpcPortNumber", "Invalid PORT formation. the value is: " + value};
}

// 127.0.0.<host>:port as a socket address.
sockaddr_in Loopback(uint16_t port, uint8_t host = 1)
{
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(0x7f000000u | host)}, .sin_zero = {}};
}

// Whether port takes connections for 127.0.0.2 too: it does on 0.0.0.0, not on 127.0.0.1.
bool OnAllAddresses(uint16_t port)
{
    UniqueFd          s(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in addr = Loopback(port, 2);
    return connect(s.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

TEST(Port, AcceptedValuesBindTheLoopbackAddressAtThatPortAndOthersFallBack)
{
    kst::Sandbox sandbox;
    ASSERT_TRUE(sandbox.StartRpcbind());
    UniqueFd          taken(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in addr = Loopback(32772);
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(taken.get(), 1), 0);
    const std::vector<Row> rows = {
        // Catches a range off by one at 61000, no stripping or stripping of the wrong characters, a base other
        // than 10, a carriage return kept in the value, and other keys that stop the search.
        {"SRVPORT=32768\n", 32768, {Pair("SRVPORT", "32768"), Read(32768)}},
        {" \tSRVPORT \t= \t32769\t \n", 32769, {Pair("SRVPORT", "32769"), Read(32769)}},
        {"# ports\nNAME=x\nSRVPORT=61000",
         61000,
         {kMismatch, Pair("NAME", "x"), Pair("SRVPORT", "61000"), Read(61000)}},
        {"SRVPORT=032770\n", 32770, {Pair("SRVPORT", "032770"), Read(32770)}},
        {"SRVPORT=40000\r\n", 40000, {Pair("SRVPORT", "40000"), Read(40000)}},
        // Catches a range off by one at either end, strtol's tolerance of "+" and trailing text; the two kinds of
        // rejection leave different traces.
        {"SRVPORT=32767\n", 0, {Pair("SRVPORT", "32767"), kInvalid, kNoPort}},
        {"SRVPORT=61001\n", 0, {Pair("SRVPORT", "61001"), kInvalid, kNoPort}},
        {"SRVPORT=+32768\n", 0, {Pair("SRVPORT", "+32768"), Value("+32768"), kNoPort}},
        {"SRVPORT=32768abc\n", 0, {Pair("SRVPORT", "32768abc"), Value("32768abc"), kNoPort}},
        // Catches an empty value (the search goes on to the end) or a lower-case key taken as a setting, a later
        // SRVPORT line read after the first decided, and a missing file that stops the server instead of falling
        // back.
        {"SRVPORT=\n", 0, {kEnd, kInvalid, kNoPort}},
        {"srvport=32768\n", 0, {Pair("srvport", "32768"), kMismatch, kEnd, kInvalid, kNoPort}},
        {"SRVPORT=ANY\nSRVPORT=32768\n",
         0,
         {Pair("SRVPORT", "ANY"), {0, "GetRpcPortNumber", "the port number is automatically alloced by OS."}, kNoPort}},
        {std::nullopt, 0, {{1, "GetRpcPortNumber", "property.inf is not exist."}, kNoPort}},
        // Catches a bind failure that ends the server, leaves it unregistered, or loses the reason.
        {"SRVPORT=32772\n",
         0,
         {Pair("SRVPORT", "32772"),
          Read(32772),
          {1, "NTSYS_Server", "Binding failed, the reason is : Address already in use"}}},
    };
    // One daemon per row. Every message listed in any row is counted in every row: once where listed,
    // never elsewhere.
    std::set<Trace> watched{kBound, kNoPort};
    for (const Row &row : rows)
        watched.insert(row.traces.begin(), row.traces.end());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.property ? "property.inf \"" + *row.property + "\"" : "no property.inf");
        if (row.property)
            ASSERT_TRUE(kst::WriteFile(kst::kPropertyFile, *row.property));
        else
            unlink(kst::kPropertyFile);
        const std::size_t mark = sandbox.TraceMark();
        ASSERT_TRUE(sandbox.Start());
        // A fallback port is random and may even equal a rejected value: what marks it is the address it
        // listens on, and the absence of "Binding success.".
        EXPECT_TRUE(row.port == 0 || sandbox.Port() == row.port) << "bound at " << sandbox.Port();
        EXPECT_EQ(OnAllAddresses(sandbox.Port()), row.port == 0);
        EXPECT_TRUE(sandbox.Connect().Null());  // closed at once, so the daemon's side never lingers
        for (const Trace &t : watched) {
            const bool  listed = std::ranges::count(row.traces, t) || (t == kBound && row.port != 0);
            std::string where = " ";
            where.append(std::to_string(t.level)).append(" ntsys_svc ").append(t.function).append(":");
            EXPECT_EQ(sandbox.CountTrace(where, mark, t.message), listed ? 1u : 0u) << where << " " << t.message;
        }
        ASSERT_TRUE(sandbox.Stop());
    }
}

}  // namespace
