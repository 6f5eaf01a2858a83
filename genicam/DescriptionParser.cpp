// Reading a description file into a node map.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <limits>

#include "Nodes.h"

namespace genicam {

namespace {

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

std::string localName(const xmlNode* n) { return reinterpret_cast<const char*>(n->name); }

std::string attribute(const xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    if (v == nullptr) return {};
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string content(const xmlNode* n) {
    xmlChar* v = xmlNodeGetContent(n);
    if (v == nullptr) return {};
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return trim(std::move(s));
}

Props::Item itemOf(const xmlNode* e) {
    Props::Item item;
    item.element = localName(e);
    item.text = content(e);
    for (const xmlAttr* a = e->properties; a != nullptr; a = a->next)
        item.attributes.emplace_back(reinterpret_cast<const char*>(a->name), attribute(e, reinterpret_cast<const char*>(a->name)));
    return item;
}

bool isElement(const xmlNode* n) { return n->type == XML_ELEMENT_NODE; }

}  // namespace

class Parser {
public:
    explicit Parser(NodeMap& map) : map_(map) {}

    void top(const xmlNode* root) {
        for (const xmlNode* n = root->children; n != nullptr; n = n->next)
            if (isElement(n)) element(n);
    }

private:
    NodeMap& map_;
    int inline_ = 0;

    void add(std::unique_ptr<Node> node) {
        const std::string name = node->name();
        Node* raw = node.get();
        if (!map_.nodes_.emplace(name, std::move(node)).second)
            throw Error("the description file names two nodes '" + name + "'");
        map_.order_.push_back(raw);
    }

    void element(const xmlNode* e) {
        const std::string type = localName(e);
        if (type == "Group") {
            // Groups only gather nodes for the reader of the file; their depth is bounded
            // by libxml2's own nesting limit.
            for (const xmlNode* n = e->children; n != nullptr; n = n->next)
                if (isElement(n)) element(n);
            return;
        }
        if (type == "StructReg") return structReg(e);
        const std::string name = attribute(e, "Name");
        if (name.empty()) return;  // not a node (a comment element, say)

        Props props;
        for (const xmlNode* c = e->children; c != nullptr; c = c->next) {
            if (!isElement(c)) continue;
            if (type == "Enumeration" && localName(c) == "EnumEntry") {
                props.items.push_back({"EnumEntry", enumEntry(c, name), {}});
                continue;
            }
            props.items.push_back(child(c, name));
        }
        add(makeNode(map_, type, name, props));
    }

    // An element of a node; an IntSwissKnife written inside a register is one term of its
    // address, kept as a node of its own that the register names.
    Props::Item child(const xmlNode* c, const std::string& owner) {
        if (localName(c) != "IntSwissKnife") return itemOf(c);
        const std::string name = owner + "#Address" + std::to_string(++inline_);
        Props props;
        for (const xmlNode* d = c->children; d != nullptr; d = d->next)
            if (isElement(d)) props.items.push_back(itemOf(d));
        add(makeNode(map_, "IntSwissKnife", name, props));
        return {"pAddress", name, {}};
    }

    // Entry names are local to their enumeration ("Off" appears in many, and may equal a
    // feature's name), so each is kept as EnumEntry_<Enumeration>_<Name>. Files that already
    // write that full name keep it as it is.
    std::string enumEntry(const xmlNode* e, const std::string& enumeration) {
        const std::string name = attribute(e, "Name");
        if (name.empty()) throw Error("an EnumEntry of " + enumeration + " has no Name");
        const std::string prefix = "EnumEntry_" + enumeration + "_";
        const std::string internal = name.rfind(prefix, 0) == 0 ? name : prefix + name;
        Props props;
        for (const xmlNode* c = e->children; c != nullptr; c = c->next)
            if (isElement(c)) props.items.push_back(itemOf(c));
        props.items.push_back({"#Enumeration", enumeration, {}});
        props.items.push_back({"#Name", name, {}});
        if (map_.nodes_.count(internal))
            throw Error("the enumeration " + enumeration + " names two entries '" + name + "'");
        add(makeNode(map_, "EnumEntry", internal, props));
        return internal;
    }

    // A StructReg shares its address, length, port and access among StructEntry nodes,
    // each a bit field of the same register.
    void structReg(const xmlNode* e) {
        Props shared;
        for (const xmlNode* c = e->children; c != nullptr; c = c->next)
            if (isElement(c) && localName(c) != "StructEntry") shared.items.push_back(child(c, "StructReg"));
        for (const xmlNode* c = e->children; c != nullptr; c = c->next) {
            if (!isElement(c) || localName(c) != "StructEntry") continue;
            const std::string name = attribute(c, "Name");
            if (name.empty()) throw Error("a StructEntry has no Name");
            Props own;
            for (const xmlNode* d = c->children; d != nullptr; d = d->next)
                if (isElement(d)) own.items.push_back(itemOf(d));
            for (const Props::Item& i : shared.items)
                if (!own.has(i.element)) own.items.push_back(i);
            add(makeNode(map_, "StructEntry", name, own));
        }
    }
};

std::unique_ptr<NodeMap> NodeMap::parse(std::string_view xml, Port& port) {
    if (xml.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw Error("the description file is too large to parse");
    xmlInitParser();
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) throw Error("no memory for the XML parser");
    // No network, no errors on the console: the one-line message below says it all.
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(ctxt.get(), xml.data(), static_cast<int>(xml.size()),
                                                           "description.xml", nullptr,
                                                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError* e = xmlCtxtGetLastError(ctxt.get());
        std::string message = e && e->message ? trim(e->message) : std::string("unknown error");
        throw Error("the description file is not well-formed XML: line " + std::to_string(e ? e->line : 0) + ": " +
                    message);
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr || localName(root) != "RegisterDescription")
        throw Error("the description file's root element is " + (root ? "<" + localName(root) + ">" : std::string("missing")) +
                    ", not <RegisterDescription>");

    std::unique_ptr<NodeMap> map(new NodeMap(port));
    map->modelName_ = attribute(root, "ModelName");
    map->vendorName_ = attribute(root, "VendorName");
    Parser(*map).top(root);
    return map;
}

}  // namespace genicam
