// removal.h: removing key directories with /bin/rm, in place or in the background (removal.cpp).
#pragma once

#include "registry/key_tree.h"

// Runs /bin/rm with one option and path as its single literal argument, never through a shell, and waits
// for it. False only when it could not be run; whatever rm itself reports counts as done.
[[nodiscard]] bool RunRemove(const char *option, const char *path) noexcept;
// Takes a key's directory (its full path, closing "//" included) out of the tree on disk at once: renamed
// into the directory above its root under kDeletedPrefix, then removed there by an "rm -rf" that runs on
// while the server goes on serving. False when the rename can't be done (another file system, a mount
// point): the caller removes it in place. *ran is false when rm could not be started; the directory is
// then back where it was.
[[nodiscard]] bool RemoveInBackground(const KeyNode *key, const RegPath &path, bool *ran) noexcept;
// Collects the background removals that have finished; never waits.
void ReapRemovals() noexcept;
// Has the next tick remove the directories that removals of an earlier run left aside.
void RemoveLeftoversSoon() noexcept;
// The registry's share of a pass of the poll loop: starts the removal of leftovers once, reaps finished
// removals, frees the next keys of deleted subtrees and lists the next keys whose listing start-up
// deferred. Never waits; true while keys are left to free or list, so that the loop comes back at once
// instead of waiting for a client.
bool RegistryTick() noexcept;
