// A camera's features by their GenICam names, from the camera's own description file.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ToolCommon.h"
#include "genicam/NodeMap.h"

namespace {

const char kUsage[] =
    "Usage: u3v-feature [--camera ID] [--xml FILE] [--info] [--stats] [NAME | NAME=VALUE]...\n"
    "The camera's features by their GenICam names.\n"
    "\n"
    "  (no NAME)      lists every feature by category with its type, access mode and value\n"
    "  NAME           prints the feature's value; a command is executed instead\n"
    "  NAME=VALUE     writes the feature and prints the value the camera then holds\n"
    "                 (several are done in the order given; the first failure stops)\n"
    "                 a Register prints as a hex dump, and NAME=@FILE writes FILE's bytes to it\n"
    "  --info         with NAME, prints the feature's limits, entries, selector, unit and tool tip too\n"
    "  --stats        prints on standard error the register reads and writes it took\n"
    "  --xml FILE     take the description from FILE instead of the camera\n"
    "  --camera ID    the camera with this GUID or serial number (default: the first camera)\n"
    "  --verbose      show the library's messages on standard error\n"
    "  --help         show this text\n"
    "Access modes: RW read-write, RO read-only, WO write-only, NA not available now,\n"
    "NI not implemented.\n";

using tool::printable;

struct Line {
    int depth;
    std::string name;
    std::string type;
    std::string access;
    std::string value;
    bool category;
};

class Lister {
public:
    static constexpr int kMaxDepth = 64;

    explicit Lister(const genicam::NodeMap& map) : map_(map) {}

    // Returns the number of features whose value could not be read.
    int list() {
        if (genicam::Node* root = map_.root()) {
            for (const std::string& f : root->features()) add(f, 0);
        } else {
            // Without a Root, every category that no other category holds is a top one.
            std::set<std::string> held;
            for (const genicam::Node* n : map_.nodes())
                for (const std::string& f : n->features()) held.insert(f);
            for (const genicam::Node* n : map_.nodes())
                if (n->interface() == genicam::Interface::Category && !held.count(n->name())) add(n->name(), 0);
        }
        size_t width = 0;
        for (const Line& l : lines_)
            if (!l.category) width = std::max(width, 2 * l.depth + l.name.size());
        size_t typeWidth = 0;
        for (const Line& l : lines_) typeWidth = std::max(typeWidth, l.type.size());
        for (const Line& l : lines_) {
            const std::string indented = std::string(2 * l.depth, ' ') + printable(l.name);
            if (l.category) std::printf("%s\n", indented.c_str());
            else
                std::printf("%-*s  %-*s  %-2s  %s\n", static_cast<int>(width), indented.c_str(),
                            static_cast<int>(typeWidth), l.type.c_str(), l.access.c_str(), l.value.c_str());
        }
        return failures_;
    }

private:
    void add(const std::string& name, int depth) {
        const genicam::Node* n = map_.find(name);
        if (n == nullptr) {
            lines_.push_back({depth, name, "?", "", "(not in the description file)", false});
            ++failures_;
            return;
        }
        if (n->interface() == genicam::Interface::Category) {
            if (!visited_.insert(name).second) return;  // a category holding itself
            if (depth >= kMaxDepth) {  // a file could nest categories until the stack runs out
                lines_.push_back({depth, name, "Category", "", "(categories nested too deeply)", false});
                ++failures_;
                return;
            }
            lines_.push_back({depth, name, "", "", "", true});
            for (const std::string& f : n->features()) add(f, depth + 1);
            return;
        }
        Line line{depth, name, n->type(), "", "", false};
        if (n->interface() == genicam::Interface::Unsupported) {
            line.access = "--";
            line.value = "(node type not supported)";
            lines_.push_back(std::move(line));
            return;
        }
        try {
            const genicam::Access a = n->access();
            line.access = genicam::accessName(a);
            if (n->interface() == genicam::Interface::Command) line.value = "(command)";
            else if (a == genicam::Access::RO || a == genicam::Access::RW) line.value = printable(n->valueText());
        } catch (const genicam::Error& e) {
            line.value = std::string("(error: ") + e.what() + ")";
            ++failures_;
        }
        lines_.push_back(std::move(line));
    }

    const genicam::NodeMap& map_;
    std::vector<Line> lines_;
    std::set<std::string> visited_;
    int failures_ = 0;
};

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// 16 bytes a line, with the offset.
void hexDump(const std::vector<uint8_t>& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 16) {
        std::printf("%08zX ", at);
        for (size_t i = at; i < std::min(bytes.size(), at + 16); ++i) std::printf(" %02X", bytes[i]);
        std::printf("\n");
    }
}

void info(const genicam::Node& n) {
    const genicam::Access a = n.access();
    std::printf("%s\n", n.name().c_str());
    std::printf("  type       %s (%s)\n", n.type().c_str(), genicam::interfaceName(n.interface()));
    std::printf("  access     %s\n", genicam::accessName(a));
    const genicam::Interface i = n.interface();
    if ((a == genicam::Access::RO || a == genicam::Access::RW) && i != genicam::Interface::Command &&
        i != genicam::Interface::Category)
        std::printf("  value      %s\n", printable(n.valueText()).c_str());
    if (i == genicam::Interface::Integer) {
        std::printf("  minimum    %lld\n", static_cast<long long>(n.intMin()));
        std::printf("  maximum    %lld\n", static_cast<long long>(n.intMax()));
        std::printf("  increment  %lld\n", static_cast<long long>(n.intInc()));
    } else if (i == genicam::Interface::Float) {
        std::printf("  minimum    %s\n", number(n.floatMin()).c_str());
        std::printf("  maximum    %s\n", number(n.floatMax()).c_str());
    } else if (i == genicam::Interface::Enumeration) {
        std::string list;
        for (const std::string& e : n.entries()) list += (list.empty() ? "" : ", ") + e;
        std::printf("  entries    %s\n", printable(list).c_str());
    } else if (i == genicam::Interface::Category) {
        std::string list;
        for (const std::string& f : n.features()) list += (list.empty() ? "" : ", ") + f;
        std::printf("  features   %s\n", printable(list).c_str());
    } else if (i == genicam::Interface::Register) {
        std::printf("  length     %zu bytes\n", n.byteLength());
    }
    if (!n.selector().empty()) {
        std::printf("  selector   %s\n", printable(n.selector()).c_str());
        for (const std::string& v : n.indexedValues()) std::printf("    %s\n", printable(v).c_str());
    }
    if (!n.unit().empty()) std::printf("  unit       %s\n", printable(n.unit()).c_str());
    if (!n.toolTip().empty()) std::printf("  tool tip   %s\n", printable(n.toolTip()).c_str());
}

int run(int argc, char** argv) {
    std::string xmlFile;
    bool details = false, stats = false;
    std::vector<std::string> operands;
    const tool::CommonOptions common = tool::parseCommandLine(argc, argv, true, [&](const std::string& a, int& i) {
        if (a == "--xml") xmlFile = tool::optionValue(argc, argv, i);
        else if (a == "--info") details = true;
        else if (a == "--stats") stats = true;
        else if (!a.empty() && a[0] == '-') throw tool::UsageError("unknown option '" + a + "'");
        else operands.push_back(a);
    });
    if (common.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (const std::string& op : operands)
        if (op.empty() || op[0] == '=') throw tool::UsageError("'" + op + "' names no feature");

    const std::string xml = xmlFile.empty() ? std::string() : tool::readFile(xmlFile);
    tool::Camera camera(common.camera, common.verbose);
    tool::CameraPort port(camera);
    const auto map = genicam::NodeMap::parse(xmlFile.empty() ? camera.descriptionFile() : xml, port);

    struct StatsOnExit {
        const genicam::NodeMap& map;
        bool wanted;
        ~StatsOnExit() {
            if (!wanted) return;
            const genicam::NodeMap::Stats s = map.stats();
            std::fflush(stdout);
            std::fprintf(stderr, "reads: %llu\ndistinct registers read: %zu\nwrites: %llu\n",
                         static_cast<unsigned long long>(s.reads), s.distinctReads,
                         static_cast<unsigned long long>(s.writes));
        }
    } statsOnExit{*map, stats};

    if (operands.empty()) {
        int failures = 0;
        {
            genicam::NodeMap::Cache cache(*map);  // each register once per listing
            failures = Lister(*map).list();
        }
        if (failures > 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "u3v-feature: %d feature(s) could not be read\n", failures);
            return 1;
        }
        return 0;
    }

    for (const std::string& op : operands) {
        const size_t eq = op.find('=');
        genicam::Node& node = map->node(op.substr(0, eq));
        if (eq != std::string::npos) {
            const std::string value = op.substr(eq + 1);
            if (node.interface() == genicam::Interface::Register && !value.empty() && value[0] == '@') {
                const std::string data = tool::readFile(value.substr(1));
                node.setBytes(std::vector<uint8_t>(data.begin(), data.end()));
                std::printf("%s: %zu bytes written\n", node.name().c_str(), data.size());
                std::fflush(stdout);
                continue;
            }
            node.setText(value);
            const genicam::Access a = node.access();
            if (a == genicam::Access::RO || a == genicam::Access::RW)
                std::printf("%s = %s\n", node.name().c_str(), printable(node.valueText()).c_str());
        } else if (details) {
            genicam::NodeMap::Cache cache(*map);
            info(node);
        } else if (node.interface() == genicam::Interface::Register) {
            hexDump(node.bytes());
        } else if (node.interface() == genicam::Interface::Command) {
            node.execute();
            std::printf("%s executed\n", node.name().c_str());
        } else if (node.interface() == genicam::Interface::Category) {
            std::printf("%s is a category of: ", node.name().c_str());
            std::string list;
            for (const std::string& f : node.features()) list += (list.empty() ? "" : ", ") + f;
            std::printf("%s\n", list.c_str());
        } else {
            std::printf("%s = %s\n", node.name().c_str(), printable(node.valueText()).c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::runTool("u3v-feature", run, argc, argv); }
