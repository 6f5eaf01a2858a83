// Internal: the elements of one node as the parser found them, and the node factory.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "genicam/NodeMap.h"

namespace genicam {

struct Props {
    struct Item {
        std::string element;
        std::string text;  // trimmed
        std::vector<std::pair<std::string, std::string>> attributes;

        const std::string* attribute(std::string_view name) const {
            for (const auto& [key, value] : attributes)
                if (key == name) return &value;
            return nullptr;
        }
    };
    std::vector<Item> items;

    const Item* first(std::string_view element) const {
        for (const Item& i : items)
            if (i.element == element) return &i;
        return nullptr;
    }
    std::vector<const Item*> all(std::string_view element) const {
        std::vector<const Item*> found;
        for (const Item& i : items)
            if (i.element == element) found.push_back(&i);
        return found;
    }
    std::string text(std::string_view element) const {
        const Item* i = first(element);
        return i ? i->text : std::string();
    }
    bool has(std::string_view element) const { return first(element) != nullptr; }
};

// A node of the given element type; a type the engine does not know gives a node that
// says so whenever it is used.
std::unique_ptr<Node> makeNode(NodeMap& map, const std::string& type, const std::string& name,
                               const Props& props);

// Numbers as description files write them: decimal or 0x-hexadecimal, optionally signed.
bool parseInt(std::string_view text, int64_t& value);
bool parseFloat(std::string_view text, double& value);

}  // namespace genicam
