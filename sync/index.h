// index.h: the hash indexes beside the object list, so lookups by handle and name take constant time on
// average instead of a walk. (A connection's parked calls and owned mutexes hang off its record.)
#pragma once

#include <array>
#include <cstdint>
#include <new>

// Spreads the bits of a word over the low bits that pick a bucket.
[[nodiscard]] constexpr uint64_t MixBits(uint64_t h) noexcept
{
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// Records chained through one of their own fields in buckets picked by Hash. Adding a record never
// allocates, so it cannot fail; the bucket array doubles when it holds as many records as buckets, and a
// doubling that finds no memory only leaves the chains longer. The index owns none of the records.
template <typename Record, Record *Record::*Chain, uint64_t (*Hash)(const Record *)> class ChainIndex {
public:
    constexpr ChainIndex() noexcept : buckets_(initial_.data()) {}
    ~ChainIndex() { Release(); }
    ChainIndex(const ChainIndex &) = delete;
    ChainIndex &operator=(const ChainIndex &) = delete;

    // Calls visit for each record of the bucket for hash until it returns true; that record, or nullptr.
    template <typename Visit> Record *Find(uint64_t hash, Visit visit) const noexcept
    {
        for (Record *record = buckets_[hash & mask_]; record; record = record->*Chain)
            if (visit(record)) return record;
        return nullptr;
    }

    void Add(Record *record) noexcept
    {
        if (count_ > mask_) Grow();
        Record *&bucket = buckets_[Hash(record) & mask_];
        record->*Chain = bucket;
        bucket = record;
        ++count_;
    }

    void Remove(Record *record) noexcept
    {
        for (Record **at = &buckets_[Hash(record) & mask_]; *at; at = &((*at)->*Chain)) {
            if (*at != record) continue;
            *at = record->*Chain;
            record->*Chain = nullptr;
            --count_;
            return;
        }
    }

private:
    void Grow() noexcept
    {
        const uint64_t size = (mask_ + 1) * 2;
        Record       **grown = new (std::nothrow) Record *[size]();
        if (!grown) return;
        for (uint64_t i = 0; i <= mask_; ++i) {
            while (Record *record = buckets_[i]) {
                buckets_[i] = record->*Chain;
                Record *&bucket = grown[Hash(record) & (size - 1)];
                record->*Chain = bucket;
                bucket = record;
            }
        }
        Release();
        buckets_ = grown;
        mask_ = size - 1;
    }

    void Release() noexcept
    {
        if (buckets_ != initial_.data()) delete[] buckets_;
    }

    std::array<Record *, 64> initial_{};  // the buckets until the first doubling
    Record                 **buckets_;    // initial_ or a heap array of mask_ + 1 buckets
    uint64_t                 mask_ = 63;  // bucket count - 1; the count is a power of two
    uint64_t                 count_ = 0;  // records chained
};

// A record put at the head of a list linked both ways through two of its own fields.
template <typename Record>
void LinkAtHead(Record *&head, Record *record, Record *Record::*next, Record *Record::*prev) noexcept
{
    record->*next = head;
    record->*prev = nullptr;
    if (head) head->*prev = record;
    head = record;
}

// The record taken off such a list; its two fields are cleared.
template <typename Record>
void UnlinkFromList(Record *&head, Record *record, Record *Record::*next, Record *Record::*prev) noexcept
{
    if (record->*prev)
        (record->*prev)->*next = record->*next;
    else
        head = record->*next;
    if (record->*next) (record->*next)->*prev = record->*prev;
    record->*next = record->*prev = nullptr;
}
