// Enumerations and their entries.
#include "NodeBase.h"

namespace genicam::detail {

namespace {

class EnumEntryNode : public Base {
public:
    EnumEntryNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Base(map, name, type, props), value_(Source::of(props, "Value")) {
        fileName_ = props.text("#Name");
        symbolic_ = props.text("Symbolic");
        if (symbolic_.empty()) {
            // The Name is the symbolic, bar the prefixes some files write:
            // EnumEntry_<Enumeration>_<Symbolic> or <Enumeration>_<Symbolic>.
            symbolic_ = fileName_.empty() ? name : fileName_;
            const std::string enumeration = props.text("#Enumeration");
            if (symbolic_.rfind("EnumEntry_", 0) == 0) symbolic_.erase(0, 10);
            if (symbolic_.size() > enumeration.size() + 1 && symbolic_.rfind(enumeration + "_", 0) == 0)
                symbolic_.erase(0, enumeration.size() + 1);
        }
    }

    Interface interface() const override { return Interface::Integer; }
    const std::string& symbolic() const { return symbolic_; }
    // The Name the file gave the entry.
    const std::string& fileName() const { return fileName_; }
    int64_t entryValue() const {
        if (!value_.present()) fail("has no <Value>");
        return intFrom(value_);
    }

protected:
    Access baseAccess() const override { return Access::RO; }
    int64_t getInt() const override { return entryValue(); }

private:
    Source value_;
    std::string symbolic_, fileName_;
};

class EnumerationNode : public ValueNode {
public:
    EnumerationNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props) {
        for (const Props::Item* i : props.all("EnumEntry")) entryNames_.push_back(i->text);
    }

    Interface interface() const override { return Interface::Enumeration; }

    std::vector<std::string> entries() const override {
        std::vector<std::string> names;
        for (const EnumEntryNode* e : all()) {
            const Access a = accessOf(*e);
            if (a != Access::NA && a != Access::NI) names.push_back(e->symbolic());
        }
        return names;
    }

protected:
    std::vector<const EnumEntryNode*> all() const {
        std::vector<const EnumEntryNode*> list;
        for (const std::string& n : entryNames_) {
            auto* e = dynamic_cast<const EnumEntryNode*>(&ref(n, "EnumEntry"));
            if (e == nullptr) fail("entry '" + n + "' is no EnumEntry");
            list.push_back(e);
        }
        return list;
    }

    int64_t getInt() const override {
        requireValue();
        if (indirect()) return intOf(valueNode());
        return ownInt();
    }
    std::string getString() const override {
        const int64_t v = getInt();
        for (const EnumEntryNode* e : all())
            if (e->entryValue() == v) return e->symbolic();
        fail("the camera holds " + std::to_string(v) + ", which is the value of no entry");
    }
    void doSetString(const std::string& symbolic) override {
        for (const EnumEntryNode* e : all()) {
            if (e->symbolic() != symbolic && e->name() != symbolic && e->fileName() != symbolic) continue;
            const Access a = accessOf(*e);
            if (a == Access::NA || a == Access::NI) fail("entry " + symbolic + " is not available now");
            return store(e->entryValue());
        }
        std::string list;
        for (const std::string& s : entries()) list += (list.empty() ? "" : ", ") + s;
        fail("has no entry '" + symbolic + "' (its entries: " + (list.empty() ? "none" : list) + ")");
    }
    void doSetInt(int64_t v) override {
        for (const EnumEntryNode* e : all()) {
            if (e->entryValue() != v) continue;
            const Access a = accessOf(*e);
            if (a == Access::NA || a == Access::NI) fail("entry " + e->symbolic() + " is not available now");
            return store(v);
        }
        fail(std::to_string(v) + " is the value of no entry");
    }

private:
    void store(int64_t v) {
        requireValue();
        if (indirect()) writeInt(valueNode(), v);
        else keepInt(v);
    }

    std::vector<std::string> entryNames_;
};

}  // namespace

std::unique_ptr<Node> makeEnumerationNode(NodeMap& map, const std::string& type, const std::string& name,
                                          const Props& props) {
    if (type == "Enumeration") return std::make_unique<EnumerationNode>(map, name, type, props);
    if (type == "EnumEntry") return std::make_unique<EnumEntryNode>(map, name, type, props);
    return nullptr;
}

}  // namespace genicam::detail
