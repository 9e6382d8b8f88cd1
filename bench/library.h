// library.h: libkstnt's calls beside the wire client's calls that put the same records on the wire, so the
// benchmark can show what the library itself adds to a call.
#pragma once

#include "client/client.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kst::bench {

// One library call and the raw client's equivalent; each returns false when its call did not do what it
// should.
struct LibraryCall {
    std::string           name;     // the library function and its case
    std::function<bool()> library;  // through libkstnt, on the calling thread's connection
    std::function<bool()> raw;      // through client/, on a connection of its own
};

// Objects and a key for both sides on the daemon at port: the library is pointed at it (KSTNT_PORT).
// Empty when they could not be made. The objects live until the process ends.
std::vector<LibraryCall> LibraryCalls(uint16_t port, int timeout_ms);

}  // namespace kst::bench
