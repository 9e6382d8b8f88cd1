// file_work.h: the bare file work of one registry value, as the daemon must at least do it to leave the
// old value or the new one whatever happens: a write puts the new content whole into a new file and
// renames it over the value (the daemon makes its new file above the roots, the floor beside the value,
// in a key directory of a few entries: the same work there); a read opens the value and reads it. The
// benchmark's floors do it in the directory of a key, named as the daemon names a key's, both in the
// benchmark itself and in the echo server (kstecho), which does it where the daemon does it: in the
// server, on the server's CPU, between a call and its reply.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace kst::bench {

inline bool WriteValueFile(const std::string &directory, const std::string &content)
{
    const std::string fresh = directory + ".KSTntserver.new", value = directory + "V_V";
    const int         fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool wrote = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && wrote && rename(fresh.c_str(), value.c_str()) == 0;
}

// True when the value holds exactly `size` bytes.
inline bool ReadValueFile(const std::string &directory, std::size_t size)
{
    char      back[1024];
    const int fd = open((directory + "V_V").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read_back = read(fd, back, sizeof back) == static_cast<ssize_t>(size);
    return close(fd) == 0 && read_back;
}

}  // namespace kst::bench
