// unique.h: owners for the C resources the server opens, so every path closes them.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

struct FileCloser {
    void operator()(FILE *f) const noexcept
    {
        if (f) fclose(f);
    }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct PipeCloser {
    void operator()(FILE *f) const noexcept
    {
        if (f) pclose(f);
    }
};
using UniquePipe = std::unique_ptr<FILE, PipeCloser>;

struct DirCloser {
    void operator()(DIR *d) const noexcept
    {
        if (d) closedir(d);
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// A descriptor that is closed when its owner goes away.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    explicit          operator bool() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void              reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;  // -1 when nothing is owned
};

// The result of scandir(): the entries and the array that holds them.
class ScandirList {
public:
    ScandirList() = default;
    ScandirList(dirent **list, int count) noexcept : list_(list), count_(count < 0 ? 0 : count) {}
    ScandirList(ScandirList &&other) noexcept
        : list_(std::exchange(other.list_, nullptr)), count_(std::exchange(other.count_, 0))
    {
    }
    ScandirList &operator=(ScandirList &&other) noexcept
    {
        if (this != &other) {
            reset();
            list_ = std::exchange(other.list_, nullptr);
            count_ = std::exchange(other.count_, 0);
        }
        return *this;
    }
    ScandirList(const ScandirList &) = delete;
    ScandirList &operator=(const ScandirList &) = delete;
    ~ScandirList() { reset(); }

    [[nodiscard]] int           size() const noexcept { return count_; }
    [[nodiscard]] const dirent *operator[](int i) const noexcept { return list_[i]; }
    void                        reset() noexcept
    {
        for (int i = 0; i < count_; ++i)
            free(list_[i]);
        free(list_);
        list_ = nullptr;
        count_ = 0;
    }

private:
    dirent **list_ = nullptr;  // malloc'ed by scandir, each entry too
    int      count_ = 0;       // entries in list_
};

// Copies src into a fixed array, always terminated; the size comes from the array's type.
template <std::size_t N> void CopyName(char (&dst)[N], std::string_view src) noexcept
{
    const std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// Length of a fixed-size name field that may lack its terminator.
template <std::size_t N> [[nodiscard]] std::size_t FieldLength(const char (&field)[N]) noexcept
{
    return strnlen(field, N);
}
