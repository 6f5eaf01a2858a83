// Reading a description file into a node map.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <cstring>
#include <limits>

#include "Nodes.h"

namespace genicam {

namespace {

std::string trim(std::string s) {
    const char* ws = " \t\r\n";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// The file's elements as a small tree of their own, built while libxml2 reads the file:
// no document is built and freed, which is most of the time a large file takes.
struct Element {
    const char* name;  // the local name, held by the parser's dictionary
    std::string text;
    std::vector<std::pair<const char*, std::string>> attributes;
    int first = -1, last = -1, next = -1;
    bool browsing = false;  // read by a person only: its text is not kept
};

// Elements for a person browsing the file, which no node uses; much of a large file.
bool forBrowsing(const char* n) {
    for (const char* skipped : {"DisplayName", "Visibility", "Streamable", "DocuURL", "IsDeprecated", "Extension"})
        if (std::strcmp(n, skipped) == 0) return true;
    return false;
}

struct Tree {
    std::vector<Element> elements;
    std::vector<int> open;

    static void start(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*, int, const xmlChar**,
                      int attributeCount, int, const xmlChar** attributes) {
        Tree& t = *static_cast<Tree*>(static_cast<xmlParserCtxt*>(ctx)->_private);
        const int index = static_cast<int>(t.elements.size());
        Element e;
        e.name = reinterpret_cast<const char*>(localname);
        e.browsing = forBrowsing(e.name) || (!t.open.empty() && t.elements[t.open.back()].browsing);
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar* const* a = attributes + 5 * i;  // name, prefix, URI, value, end
            e.attributes.emplace_back(reinterpret_cast<const char*>(a[0]),
                                      std::string(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3])));
        }
        t.elements.push_back(std::move(e));
        if (!t.open.empty()) {
            Element& parent = t.elements[t.open.back()];
            if (parent.last < 0) parent.first = index;
            else t.elements[parent.last].next = index;
            parent.last = index;
        }
        t.open.push_back(index);
    }
    static void end(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
        Tree& t = *static_cast<Tree*>(static_cast<xmlParserCtxt*>(ctx)->_private);
        if (!t.open.empty()) t.open.pop_back();
    }
    static void characters(void* ctx, const xmlChar* ch, int len) {
        Tree& t = *static_cast<Tree*>(static_cast<xmlParserCtxt*>(ctx)->_private);
        if (t.open.size() < 2) return;  // between nodes: layout only
        Element& e = t.elements[t.open.back()];
        if (!e.browsing) e.text.append(reinterpret_cast<const char*>(ch), static_cast<size_t>(len));
    }
};

struct CtxtFree {
    void operator()(xmlParserCtxt* c) const {
        if (c->myDoc != nullptr) xmlFreeDoc(c->myDoc);
        xmlFreeParserCtxt(c);
    }
};

}  // namespace

class Parser {
public:
    Parser(NodeMap& map, const Tree& tree) : map_(map), tree_(tree) {}

    void top(int root) {
        for (int n = at(root).first; n >= 0; n = at(n).next) element(n);
    }

    const Element& at(int i) const { return tree_.elements[static_cast<size_t>(i)]; }
    std::string attribute(int i, const char* name) const {
        for (const auto& [key, value] : at(i).attributes)
            if (std::strcmp(key, name) == 0) return value;
        return {};
    }

private:
    NodeMap& map_;
    const Tree& tree_;
    int inline_ = 0;

    bool is(int i, const char* name) const { return std::strcmp(at(i).name, name) == 0; }

    Props::Item itemOf(int i) const {
        const Element& e = at(i);
        Props::Item item;
        item.element = e.name;
        item.text = trim(e.text);
        for (const auto& [key, value] : e.attributes) item.attributes.emplace_back(key, value);
        return item;
    }


    void add(std::unique_ptr<Node> node) {
        const std::string name = node->name();
        Node* raw = node.get();
        if (!map_.nodes_.emplace(name, std::move(node)).second)
            throw Error("the description file names two nodes '" + name + "'");
        map_.order_.push_back(raw);
    }

    void element(int e) {
        if (is(e, "Group")) {
            // Groups only gather nodes for the reader of the file; their depth is bounded
            // by libxml2's own nesting limit.
            for (int n = at(e).first; n >= 0; n = at(n).next) element(n);
            return;
        }
        if (is(e, "StructReg")) return structReg(e);
        const std::string name = attribute(e, "Name");
        if (name.empty()) return;  // not a node (a comment element, say)
        const std::string type = at(e).name;

        Props props;
        props.items.reserve(8);
        bool toolTip = false;
        for (int c = at(e).first; c >= 0; c = at(c).next) toolTip = toolTip || is(c, "ToolTip");
        for (int c = at(e).first; c >= 0; c = at(c).next) {
            // A Description stands in for a missing ToolTip only.
            if (at(c).browsing || (toolTip && is(c, "Description"))) continue;
            if (type == "Enumeration" && is(c, "EnumEntry")) {
                props.items.push_back({"EnumEntry", enumEntry(c, name), {}});
                continue;
            }
            if (is(c, "pSelected")) {
                map_.selectedBy_.emplace(trim(at(c).text), name);
                continue;
            }
            props.items.push_back(child(c, name));
        }
        add(makeNode(map_, type, name, props));
    }

    // An element of a node; an IntSwissKnife written inside a register is one term of its
    // address, kept as a node of its own that the register names.
    Props::Item child(int c, const std::string& owner) {
        if (!is(c, "IntSwissKnife")) return itemOf(c);
        const std::string name = owner + "#Address" + std::to_string(++inline_);
        Props props;
        for (int d = at(c).first; d >= 0; d = at(d).next) props.items.push_back(itemOf(d));
        add(makeNode(map_, "IntSwissKnife", name, props));
        return {"pAddress", name, {}};
    }

    // Entry names are local to their enumeration ("Off" appears in many, and may equal a
    // feature's name), so each is kept as EnumEntry_<Enumeration>_<Name>. Files that already
    // write that full name keep it as it is.
    std::string enumEntry(int e, const std::string& enumeration) {
        const std::string name = attribute(e, "Name");
        if (name.empty()) throw Error("an EnumEntry of " + enumeration + " has no Name");
        const std::string prefix = "EnumEntry_" + enumeration + "_";
        const std::string internal = name.rfind(prefix, 0) == 0 ? name : prefix + name;
        Props props;
        for (int c = at(e).first; c >= 0; c = at(c).next)
            if (!at(c).browsing) props.items.push_back(itemOf(c));
        props.items.push_back({"#Enumeration", enumeration, {}});
        props.items.push_back({"#Name", name, {}});
        if (map_.nodes_.count(internal))
            throw Error("the enumeration " + enumeration + " names two entries '" + name + "'");
        add(makeNode(map_, "EnumEntry", internal, props));
        return internal;
    }

    // A StructReg shares its address, length, port and access among StructEntry nodes,
    // each a bit field of the same register.
    void structReg(int e) {
        Props shared;
        for (int c = at(e).first; c >= 0; c = at(c).next)
            if (!is(c, "StructEntry") && !at(c).browsing) shared.items.push_back(child(c, "StructReg"));
        for (int c = at(e).first; c >= 0; c = at(c).next) {
            if (!is(c, "StructEntry")) continue;
            const std::string name = attribute(c, "Name");
            if (name.empty()) throw Error("a StructEntry has no Name");
            Props own;
            for (int d = at(c).first; d >= 0; d = at(d).next)
                if (!at(d).browsing) own.items.push_back(itemOf(d));
            for (const Props::Item& i : shared.items)
                if (!own.has(i.element)) own.items.push_back(i);
            add(makeNode(map_, "StructEntry", name, own));
        }
    }
};

std::unique_ptr<NodeMap> NodeMap::parse(std::string_view xml, Port& port) {
    if (xml.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw Error("the description file is too large to parse");
    if (xml.empty()) throw Error("the description file is not well-formed XML: line 1: the file is empty");
    xmlInitParser();
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlCreateMemoryParserCtxt(xml.data(), static_cast<int>(xml.size())));
    if (!ctxt) throw Error("no memory for the XML parser");
    // No network, no errors on the console: the one-line message below says it all.
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    Tree tree;
    tree.elements.reserve(xml.size() / 48);
    ctxt->_private = &tree;
    xmlSAXHandler* sax = ctxt->sax;
    sax->startElement = nullptr;
    sax->endElement = nullptr;
    sax->startElementNs = &Tree::start;
    sax->endElementNs = &Tree::end;
    sax->characters = &Tree::characters;
    sax->cdataBlock = &Tree::characters;
    sax->ignorableWhitespace = nullptr;
    sax->reference = nullptr;  // an entity the file does not define stays out
    sax->processingInstruction = nullptr;
    sax->comment = nullptr;
    const int status = xmlParseDocument(ctxt.get());
    if (status != 0 || !ctxt->wellFormed || tree.elements.empty()) {
        const xmlError* e = xmlCtxtGetLastError(ctxt.get());
        std::string message = e && e->message ? trim(e->message) : std::string("unknown error");
        throw Error("the description file is not well-formed XML: line " + std::to_string(e ? e->line : 0) + ": " +
                    message);
    }
    const int root = 0;
    if (std::strcmp(tree.elements[root].name, "RegisterDescription") != 0)
        throw Error("the description file's root element is <" + std::string(tree.elements[root].name) +
                    ">, not <RegisterDescription>");

    std::unique_ptr<NodeMap> map(new NodeMap(port));
    Parser parser(*map, tree);
    map->modelName_ = parser.attribute(root, "ModelName");
    map->vendorName_ = parser.attribute(root, "VendorName");
    parser.top(root);
    return map;
}

}  // namespace genicam
