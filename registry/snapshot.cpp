// snapshot.cpp: the key tree's change registrations as the admin view shows them.
#include "registry/key_tree.h"

#include <string>
#include <vector>

namespace {

// "HKEY_LOCAL_MACHINE\A\B": the root's name, then each key from the top down.
std::string KeyPath(const KeyNode &key)
{
    std::vector<const KeyNode *> chain;
    for (const KeyNode *node = &key; node->parent; node = node->parent)
        chain.push_back(node);
    const KeyNode *root = chain.empty() ? &key : chain.back()->parent;
    std::string    path = root == HKEY_CLASS_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += '\\';
        path += KeyName(*it);
    }
    return path;
}

}  // namespace

TreeSnapshot SnapshotTree()
{
    TreeSnapshot tree{0, {}};
    ForEachKey([&](const KeyNode &key) {
        ++tree.keys;
        const RegistrationView view = ViewRegistration(key);
        if (view.kind != RegistrationKind::None)
            tree.registrations.push_back({KeyPath(key), key.watch_subtree, view.kind, view.event});
    });
    return tree;
}
