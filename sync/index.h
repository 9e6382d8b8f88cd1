// index.h: the hash index template beside the object list (by handle, by name) and the key tree (by
// identity, by parent and name), so lookups take constant time on average instead of a walk; and the
// lists a connection's parked calls and owned mutexes hang on.
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
// doubling that finds no memory only leaves the chains longer. A record goes to the head of its chain
// and doubling keeps each chain's order, so among records with the same hash the first found is the
// newest. The index owns none of the records.
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
        // Each chain splits into two, each in the order it had.
        for (uint64_t i = 0; i <= mask_; ++i) {
            Record **tails[2] = {&grown[i], &grown[i + mask_ + 1]};
            for (Record *record = buckets_[i]; record;) {
                Record   *next = record->*Chain;
                Record **&tail = tails[(Hash(record) & (size - 1)) == i ? 0 : 1];
                record->*Chain = nullptr;
                *tail = record;
                tail = &(record->*Chain);
                record = next;
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

// Lists whose records each know the link that points at them (pprev(record), a reference to it), so a
// record leaves its list without the list's head, and nothing points back at the list's owner.
template <typename Record, typename PPrev>
void LinkAtHead(Record *&head, Record *record, Record *Record::*next, PPrev pprev) noexcept
{
    record->*next = head;
    if (head) pprev(head) = &(record->*next);
    head = record;
    pprev(record) = &head;
}

// Takes the record off its list, if it is on one.
template <typename Record, typename PPrev> void Unlink(Record *record, Record *Record::*next, PPrev pprev) noexcept
{
    Record **at = pprev(record);
    if (!at) return;
    *at = record->*next;
    if (record->*next) pprev(record->*next) = at;
    record->*next = nullptr;
    pprev(record) = nullptr;
}
