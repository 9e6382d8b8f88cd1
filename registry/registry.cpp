// registry.cpp: the registry as the rest of the server sees it: loading (with the change feed's
// subscribers, in the order they are told of each change), unloading, and its share of the loop.
#include "registry/registry.h"

#include "registry/access.h"
#include "registry/feed.h"
#include "registry/key_info.h"
#include "registry/removal.h"
#include "registry/tree_internal.h"
#include "registry/watch.h"

void LoadRegistry() noexcept
{
    // Each subscribes once, whatever was loaded before; the watches first: a key leaving drops its watch
    // before anything else looks at it.
    CloseChangeFeed();
    SubscribeChanges([](Change &change) noexcept {
        if (change.kind == ChangeKind::KeyLeaving) DropWatch(change.key);
    });
    SubscribeKeyInfo();
    SubscribeRegistrations();
    // What a key counted against its creator's quotas goes back when the key goes, however it went.
    SubscribeChanges([](Change &change) noexcept {
        if (change.kind == ChangeKind::KeyLeaving) ForgetKeyCharges(change.key->identity);
    });
    SetDeferredLister(ListDeferredKey);
    IndexRoots();
    RemoveLeftoversSoon();
    LoadKey(&class_root.node);
    LoadKey(&local_machine.node);
    // A registry of ordinary size is listed whole before the server answers; only the leaves of a big
    // one are left to the loop's tick and to the first lookups below them.
    ListDeferredKeys(kListedBeforeServing);
}

void UnLoadRegistry() noexcept
{
    // At exit nothing more is answered: keys go without their registrations, and unwatched.
    CloseChangeFeed();
    CloseChangeWatch();
    DropDeferredListings();
    FreeWholeTree();
}

bool RegistryTick() noexcept
{
    RemoveLeftoversAndReap();
    const bool freeing = FreeRetiredKeys();
    const bool listing = ListDeferredKeys(kListedPerPass);
    return freeing || listing;
}

int OpenRegistryChanges() noexcept
{
    return OpenChangeWatch();
}

void ReadRegistryChanges() noexcept
{
    ServeChangeWatch();
}
