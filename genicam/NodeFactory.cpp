#include "NodeBase.h"

namespace genicam {

std::unique_ptr<Node> makeNode(NodeMap& map, const std::string& type, const std::string& name, const Props& props) {
    for (auto make : {detail::makeValueNode, detail::makeEnumerationNode, detail::makeRegisterNode,
                      detail::makeFormulaNode})
        if (auto node = make(map, type, name, props)) return node;
    return detail::makeUnsupportedNode(map, type, name, props);
}

}  // namespace genicam
