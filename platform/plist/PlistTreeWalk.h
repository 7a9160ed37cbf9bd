#pragma once

// The depth-first walk the text writers share. Internal to platform/plist.

#include <VivoziZevidodirid/PlistValue.h>
#include <cstddef>
#include <string>
#include <vector>

namespace kx::plist {

// Visits root and everything under it in document order, with an explicit stack so that a tree
// of any depth is walked without recursion. Absent elements of arrays and absent values of
// dictionaries are skipped; root is always visited.
//
// The visitor provides
//   bool open(const std::string* key, const PlistValue& value, std::size_t depth,
//             std::size_t index);
//     for each value visited: key is its dictionary key (null for an array element and for
//     root), depth 0 for root, index the number of siblings visited before it. It writes a leaf
//     whole, or the opening of a container, and returns true to descend into that container.
//   void close(const std::string* key, const PlistValue& container, std::size_t depth,
//              std::size_t childrenVisited);
//     after the last child of a container it descended into, with that container's key and
//     depth.
template <typename Visitor> void walkTree(const PlistValue& root, Visitor& visitor) {
    struct Frame {
        const PlistValue* container;
        const std::string* key; // the container's own key
        std::size_t next;       // next element or entry
        std::size_t visited;    // children visited so far
    };
    std::vector<Frame> stack;
    if (visitor.open(nullptr, root, 0, 0))
        stack.push_back({&root, nullptr, 0, 0});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const std::size_t depth = stack.size(); // of the children
        const PlistValue* child = nullptr;
        const std::string* key = nullptr;
        if (const auto* entries = frame.container->dictionaryEntries()) {
            while (frame.next < entries->size() && (*entries)[frame.next].second.isAbsent())
                ++frame.next;
            if (frame.next < entries->size()) {
                key = &(*entries)[frame.next].first;
                child = &(*entries)[frame.next].second;
            }
        } else {
            const auto& elements = *frame.container->arrayElements();
            while (frame.next < elements.size() && elements[frame.next].isAbsent())
                ++frame.next;
            if (frame.next < elements.size())
                child = &elements[frame.next];
        }
        if (!child) {
            const Frame done = frame;
            stack.pop_back();
            visitor.close(done.key, *done.container, depth - 1, done.visited);
            continue;
        }
        ++frame.next;
        const std::size_t index = frame.visited++;
        if (visitor.open(key, *child, depth, index))
            stack.push_back({child, key, 0, 0}); // frame dangles from here on
    }
}

} // namespace kx::plist
