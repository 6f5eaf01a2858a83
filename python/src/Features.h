// A camera's features by name, through the feature engine: typed values, commands,
// categories, and what a feature tells about itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Camera.h"

namespace pytessoral {

// A feature value as Python sees it; a Register node's value is its bytes.
using Value = std::variant<int64_t, double, std::string, bool, std::vector<uint8_t>>;

struct FeatureInfo {
    std::string name, type, interface, access, toolTip, unit;
    std::optional<int64_t> intMin, intMax, intInc;
    std::optional<double> floatMin, floatMax;
    std::vector<std::string> entries;   // an Enumeration's available entries
    std::vector<std::string> features;  // a Category's members
    std::optional<size_t> length;       // a Register's bytes
};

// The features the categories hold, from Root down (or from the top categories when the
// file has no Root), each once, in category order: the commands, or all the others.
std::vector<std::string> featureNames(Camera& camera, bool commands);
// Every category with its members, in file order.
std::vector<std::pair<std::string, std::vector<std::string>>> categories(Camera& camera);
bool hasFeature(Camera& camera, const std::string& name);

Value getValue(Camera& camera, const std::string& name);
// The value's type must suit the feature: int for Integer, int or float for Float, str
// for Enumeration and String, bool for Boolean, bytes of exactly its length for Register.
// The engine checks access, range and length first.
void setValue(Camera& camera, const std::string& name, const Value& value);
void execute(Camera& camera, const std::string& name);
bool isDone(Camera& camera, const std::string& name);
// As a person reads and writes it (with its unit), as the command-line tool does.
std::string getText(Camera& camera, const std::string& name);
void setText(Camera& camera, const std::string& name, const std::string& text);
FeatureInfo describe(Camera& camera, const std::string& name);

}  // namespace pytessoral
