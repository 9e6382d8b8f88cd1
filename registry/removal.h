// removal.h: the /bin/rm children that remove key directories and value files, in place or in the
// background (removal.cpp); what they remove is decided by the store (store.cpp).
#pragma once

#include "registry/key_tree.h"

// Runs /bin/rm with one option and path as its single literal argument, never through a shell, and waits
// for it. False only when it could not be run; whatever rm itself reports counts as done.
[[nodiscard]] bool RunRemove(const char *option, const char *path) noexcept;
// Starts "rm -rf path" at idle priority without waiting for it; false when it could not be started.
[[nodiscard]] bool StartRemove(const char *path) noexcept;
// Collects the background removals that have finished; never waits.
void ReapRemovals() noexcept;
// Has the next call of RemoveLeftoversAndReap remove the directories that removals of an earlier run left
// aside in the directory above the roots.
void RemoveLeftoversSoon() noexcept;
// Starts those removals if they are due; then reaps finished removals. Never waits.
void RemoveLeftoversAndReap() noexcept;
