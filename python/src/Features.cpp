#include "Features.h"

#include <set>

#include "Status.h"

namespace pytessoral {

namespace {

using genicam::Interface;

// Deep enough for any real file; a deeper one is a loop or an attack on the stack.
constexpr int kMaxDepth = 64;

const char* pythonType(const Value& v) {
    switch (v.index()) {
    case 0: return "int";
    case 1: return "float";
    case 2: return "str";
    case 3: return "bool";
    default: return "bytes";
    }
}

genicam::Node& valueNode(genicam::NodeMap& map, const std::string& name) {
    genicam::Node* n = map.find(name);
    if (n == nullptr) throw StatusError(U3V_ERR_INVALID_HANDLE, "the camera has no feature '" + name + "'");
    return *n;
}

[[noreturn]] void wrongType(const genicam::Node& n, const char* takes, const char* given) {
    throw StatusError(U3V_ERR_INVALID_HANDLE, n.name() + ": " + genicam::interfaceName(n.interface()) + " '" +
                                                  n.name() + "' " + takes + ", not " + given);
}

void collect(const genicam::NodeMap& map, const std::string& name, int depth, bool commands,
             std::set<std::string>& seen, std::vector<std::string>& out) {
    const genicam::Node* n = map.find(name);
    if (n == nullptr || depth > kMaxDepth || !seen.insert(name).second) return;
    if (n->interface() != Interface::Category) {
        if ((n->interface() == Interface::Command) == commands) out.push_back(name);
        return;
    }
    for (const std::string& f : n->features()) collect(map, f, depth + 1, commands, seen, out);
}

}  // namespace

std::vector<std::string> featureNames(Camera& camera, bool commands) {
    return camera.withFeatures("", [&](genicam::NodeMap& map, ControlPort&) {
        std::vector<std::string> out;
        std::set<std::string> seen;
        if (genicam::Node* root = map.root()) {
            collect(map, root->name(), 0, commands, seen, out);
        } else {
            std::set<std::string> held;
            for (const genicam::Node* n : map.nodes())
                if (n->interface() == Interface::Category)
                    for (const std::string& f : n->features()) held.insert(f);
            for (const genicam::Node* n : map.nodes())
                if (n->interface() == Interface::Category && !held.count(n->name())) collect(map, n->name(), 0, commands, seen, out);
        }
        return out;
    });
}

std::vector<std::pair<std::string, std::vector<std::string>>> categories(Camera& camera) {
    return camera.withFeatures("", [](genicam::NodeMap& map, ControlPort&) {
        std::vector<std::pair<std::string, std::vector<std::string>>> out;
        for (const genicam::Node* n : map.nodes())
            if (n->interface() == Interface::Category) out.emplace_back(n->name(), n->features());
        return out;
    });
}

bool hasFeature(Camera& camera, const std::string& name) {
    return camera.withFeatures("", [&](genicam::NodeMap& map, ControlPort&) { return map.find(name) != nullptr; });
}

Value getValue(Camera& camera, const std::string& name) {
    return camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) -> Value {
        genicam::Node& n = valueNode(map, name);
        switch (n.interface()) {
        case Interface::Integer: return n.intValue();
        case Interface::Float: return n.floatValue();
        case Interface::Boolean: return n.boolValue();
        case Interface::Enumeration:
        case Interface::String: return n.stringValue();
        case Interface::Register: return n.bytes();
        case Interface::Command:
            throw StatusError(U3V_ERR_INVALID_HANDLE, name + ": a command has no value; execute it instead");
        default:
            throw StatusError(U3V_ERR_INVALID_HANDLE,
                              name + ": a " + genicam::interfaceName(n.interface()) + " node has no value");
        }
    });
}

void setValue(Camera& camera, const std::string& name, const Value& value) {
    camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) {
        genicam::Node& n = valueNode(map, name);
        switch (n.interface()) {
        case Interface::Integer:
            if (value.index() != 0) wrongType(n, "takes an int", pythonType(value));
            n.setInt(std::get<int64_t>(value));
            return;
        case Interface::Float:
            if (value.index() == 0) n.setFloat(static_cast<double>(std::get<int64_t>(value)));
            else if (value.index() == 1) n.setFloat(std::get<double>(value));
            else wrongType(n, "takes a float", pythonType(value));
            return;
        case Interface::Boolean:
            if (value.index() != 3) wrongType(n, "takes a bool", pythonType(value));
            n.setBool(std::get<bool>(value));
            return;
        case Interface::Enumeration:
            if (value.index() != 2) wrongType(n, "takes the name of an entry (str)", pythonType(value));
            n.setString(std::get<std::string>(value));
            return;
        case Interface::String:
            if (value.index() != 2) wrongType(n, "takes a str", pythonType(value));
            n.setString(std::get<std::string>(value));
            return;
        case Interface::Register:
            if (value.index() != 4) wrongType(n, "takes bytes", pythonType(value));
            n.setBytes(std::get<std::vector<uint8_t>>(value));
            return;
        case Interface::Command:
            throw StatusError(U3V_ERR_INVALID_HANDLE, name + ": a command takes no value; execute it instead");
        default:
            throw StatusError(U3V_ERR_INVALID_HANDLE,
                              name + ": a " + genicam::interfaceName(n.interface()) + " node takes no value");
        }
    });
}

void execute(Camera& camera, const std::string& name) {
    camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) {
        genicam::Node& n = valueNode(map, name);
        if (n.interface() != Interface::Command) wrongType(n, "is no command and cannot be executed", "a call");
        n.execute();
    });
}

bool isDone(Camera& camera, const std::string& name) {
    return camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) {
        genicam::Node& n = valueNode(map, name);
        if (n.interface() != Interface::Command) wrongType(n, "is no command", "a call");
        return n.isDone();
    });
}

std::string getText(Camera& camera, const std::string& name) {
    return camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) { return valueNode(map, name).valueText(); });
}

void setText(Camera& camera, const std::string& name, const std::string& text) {
    camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) { valueNode(map, name).setText(text); });
}

FeatureInfo describe(Camera& camera, const std::string& name) {
    return camera.withFeatures(name, [&](genicam::NodeMap& map, ControlPort&) {
        genicam::Node& n = valueNode(map, name);
        FeatureInfo f;
        f.name = n.name();
        f.type = n.type();
        f.interface = genicam::interfaceName(n.interface());
        f.toolTip = n.toolTip();
        f.unit = n.unit();
        if (n.interface() == Interface::Unsupported) {
            f.access = "NI";
            return f;
        }
        f.access = genicam::accessName(n.access());
        switch (n.interface()) {
        case Interface::Integer:
            f.intMin = n.intMin();
            f.intMax = n.intMax();
            f.intInc = n.intInc();
            break;
        case Interface::Float:
            f.floatMin = n.floatMin();
            f.floatMax = n.floatMax();
            break;
        case Interface::Enumeration: f.entries = n.entries(); break;
        case Interface::Category: f.features = n.features(); break;
        case Interface::Register: f.length = n.byteLength(); break;
        default: break;
        }
        return f;
    });
}

}  // namespace pytessoral
