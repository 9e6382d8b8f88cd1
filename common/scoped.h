// scoped.h: a mode word switched for one scope. The reply and ownership modes are turned off around a
// single internal step; a guard turns them back on however that step returns.
#pragma once

template <typename Word> class [[nodiscard]] ScopedMode {
public:
    ScopedMode(Word &word, Word value) noexcept : word_(word), saved_(word) { word_ = value; }
    ~ScopedMode() { word_ = saved_; }
    ScopedMode(const ScopedMode &) = delete;
    ScopedMode &operator=(const ScopedMode &) = delete;

private:
    Word &word_;   // the global being switched
    Word  saved_;  // its value before, put back on every path out
};
