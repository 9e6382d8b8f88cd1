// feed.cpp: the change feed's subscribers, called in turn for every change (feed.h).
#include "registry/feed.h"

#include <array>

namespace {

// Three parts subscribe today; room for a few more without an allocation in the path of every write.
std::array<ChangeSubscriber, 8> g_subscribers{};
std::size_t                     g_count = 0;

}  // namespace

void SubscribeChanges(ChangeSubscriber subscriber) noexcept
{
    if (g_count < g_subscribers.size()) g_subscribers[g_count++] = subscriber;
}

void PublishChange(Change &change) noexcept
{
    for (std::size_t i = 0; i < g_count; ++i)
        g_subscribers[i](change);
}

void CloseChangeFeed() noexcept
{
    g_count = 0;
}
