// A GenICam feature engine: the features of a camera by name, from its own description
// file, read and written through a port onto the camera's register space.
//
// The node types covered are those description files use for camera features: Category,
// Integer, Float, Boolean, Enumeration/EnumEntry, Command, String, the registers IntReg,
// MaskedIntReg, FloatReg, StringReg, Register (and StructReg entries), the formula nodes
// IntSwissKnife, SwissKnife, IntConverter, Converter, and Port. Any other element with a
// Name is kept as a node of unsupported type: listed, never guessed at. Enumeration
// entries are named locally to their enumeration.
//
// Outside a NodeMap::Cache scope every read goes to the port, so values are the camera's
// own at that moment. Within one, each register the file lets be cached is read once.
// Every Port node of the file stands for the one port the map is given, except chunk and
// event ports (<ChunkID>, <EventID>), which read the chunk or event data attached to the
// map. A map and its nodes are used by one thread at a time.
// Every failure (malformed XML, a reference to a node that does not exist, a value out of
// range, a port error) is thrown as genicam::Error with a one-line message.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace genicam {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The camera's register space. Implementations throw Error when an access fails.
class Port {
public:
    virtual ~Port() = default;
    virtual void read(uint64_t address, uint8_t* data, size_t length) = 0;
    virtual void write(uint64_t address, const uint8_t* data, size_t length) = 0;
};

// NI: not implemented, NA: not available now, WO/RO/RW as in the description file.
enum class Access { NI, NA, WO, RO, RW };
const char* accessName(Access access);

// What a node offers to its user, whatever element describes it.
enum class Interface { Category, Integer, Float, Boolean, Enumeration, Command, String, Register, Port, Unsupported };
const char* interfaceName(Interface interface);

class NodeMap;
struct Props;
namespace detail {
class RegisterNode;
}

class Node {
public:
    virtual ~Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& name() const { return name_; }
    // The element that describes the node: "Integer", "IntReg", "Converter", ...
    const std::string& type() const { return type_; }
    virtual Interface interface() const = 0;
    const std::string& toolTip() const { return toolTip_; }
    virtual std::string unit() const { return unit_; }

    // Evaluates pIsImplemented, pIsAvailable and pIsLocked, so it may read the camera.
    Access access() const;

    // Typed access, checked against access(); one the node does not offer throws Error.
    int64_t intValue() const;
    double floatValue() const;
    std::string stringValue() const;  // String, and the symbolic of an Enumeration
    bool boolValue() const;
    // Writes check access, range and increment first: a refused write sends nothing.
    void setInt(int64_t value);
    void setFloat(double value);
    void setString(const std::string& value);
    void setBool(bool value);
    void execute();
    bool isDone() const;

    int64_t intMin() const;
    int64_t intMax() const;
    int64_t intInc() const;
    double floatMin() const;
    double floatMax() const;

    // The bytes of a register node (any register; Register nodes offer nothing else).
    size_t byteLength() const;
    std::vector<uint8_t> bytes() const;
    void setBytes(const std::vector<uint8_t>& bytes);  // exactly byteLength() bytes

    // The selector that chooses this node's value (<pIndex>), or empty.
    virtual std::string selector() const { return {}; }
    // The values by selector index: "index: value or node", the default last as "default: ...".
    virtual std::vector<std::string> indexedValues() const { return {}; }

    // Category members, and the symbolics of an Enumeration's available entries.
    virtual std::vector<std::string> features() const;
    virtual std::vector<std::string> entries() const;

    // The value as shown to a person (with its unit), and the inverse for writing.
    std::string valueText() const;
    void setText(std::string_view text);

protected:
    Node(NodeMap& map, std::string name, std::string type, const Props& props);

    // Unchecked access, as one node uses another.
    virtual int64_t getInt() const;
    virtual double getFloat() const;
    virtual std::string getString() const;
    virtual bool getBool() const;
    virtual void doSetInt(int64_t value);
    virtual void doSetFloat(double value);
    virtual void doSetString(const std::string& value);
    virtual void doSetBool(bool value);
    virtual void doExecute();
    virtual bool doIsDone() const;
    virtual size_t getLength() const;
    virtual std::vector<uint8_t> getBytes() const;
    virtual void doSetBytes(const std::vector<uint8_t>& bytes);
    virtual int64_t minInt() const;
    virtual int64_t maxInt() const;
    virtual int64_t incInt() const;
    virtual double minFloat() const;
    virtual double maxFloat() const;
    // The node's own access before availability, locking and imposed limits.
    virtual Access baseAccess() const = 0;
    virtual bool hexRepresentation() const { return false; }

    // Another node's value, one guarded step away.
    static int64_t intOf(const Node& n);
    static double floatOf(const Node& n);
    static std::string stringOf(const Node& n);
    static bool truthOf(const Node& n);
    static void writeInt(Node& n, int64_t value);
    static void writeFloat(Node& n, double value);
    static void writeString(Node& n, const std::string& value);
    // Tells the map that n was written, so that what depends on it is read anew.
    static void written(const Node& n);
    static Access accessOf(const Node& n);
    static bool integral(const Node& n);

    // The node a reference element names; throws Error when there is none.
    Node& ref(const std::string& target, std::string_view element) const;

    // Throws Error("<name>: <message>").
    [[noreturn]] void fail(const std::string& message) const;
    [[noreturn]] void unsupported(const char* what) const;
    // The nearest integer; a value without one (NaN, out of range) fails.
    int64_t toInteger(double value) const;
    void requireWritable() const;
    void requireReadable() const;
    bool locked() const;

    NodeMap& map_;

private:
    std::string name_;
    std::string type_;
    std::string toolTip_;
    std::string unit_;
    std::string isAvailable_, isImplemented_, isLocked_;  // node names, empty when absent
    Access imposed_ = Access::RW;
};

class NodeMap {
public:
    // Parses a description file. Throws Error when the XML is malformed or is no GenICam
    // register description. The port must outlive the map.
    static std::unique_ptr<NodeMap> parse(std::string_view xml, Port& port);
    ~NodeMap();

    Node* find(std::string_view name) const;
    // Throws Error naming the missing node.
    Node& node(std::string_view name) const;
    // Every node in file order.
    const std::vector<Node*>& nodes() const { return order_; }
    // The category at the top: "Root" when the file has one, else null.
    Node* root() const { return find("Root"); }

    const std::string& modelName() const { return modelName_; }
    const std::string& vendorName() const { return vendorName_; }

    Port& port() const { return port_; }

    // Data for chunk ports (by <ChunkID>) and event ports (by <EventID>): the chunks of the
    // image last received, the data of the event last received. Registers on such a port
    // read the attached bytes; with none attached they are not available.
    void attachChunk(uint64_t id, std::vector<uint8_t> data);
    void detachChunks();
    void attachEvent(uint64_t id, std::vector<uint8_t> data);
    void detachEvents();
    // The attached data of a chunk or an event, or null.
    const std::vector<uint8_t>* chunk(uint64_t id) const;
    const std::vector<uint8_t>* event(uint64_t id) const;

    // What went to the camera's port since the map was made (or the counts reset).
    struct Stats {
        uint64_t reads = 0, writes = 0;
        size_t distinctReads = 0;  // registers (address and length) read
    };
    Stats stats() const;
    void resetStats();

    // While one lives, each register read once is kept (unless its file says NoCache) and
    // given again without reading; a write keeps the written bytes (WriteThrough) or drops
    // them (WriteAround), and drops what names the written node as <pInvalidator>.
    class Cache {
    public:
        explicit Cache(NodeMap& map);
        ~Cache();
        Cache(const Cache&) = delete;
        Cache& operator=(const Cache&) = delete;

    private:
        NodeMap& map_;
    };

    // Guards every step from one node to another, so that a reference loop in a
    // description file ends in an Error instead of exhausting the stack.
    class Step {
    public:
        Step(const NodeMap& map, const Node& node);
        ~Step();
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        const NodeMap& map_;
    };

private:
    friend class Parser;
    friend class Node;
    friend class detail::RegisterNode;
    explicit NodeMap(Port& port) : port_(port) {}

    enum class Caching { NoCache, WriteThrough, WriteAround };
    void readCamera(uint64_t address, uint8_t* data, size_t length, Caching caching);
    void writeCamera(uint64_t address, const uint8_t* data, size_t length, Caching caching);
    void drop(uint64_t address, size_t length);
    void invalidateDependents(const std::string& name);

    Port& port_;
    std::map<std::string, std::unique_ptr<Node>, std::less<>> nodes_;
    std::vector<Node*> order_;
    std::string modelName_, vendorName_;
    mutable int depth_ = 0;

    std::map<uint64_t, std::vector<uint8_t>> chunks_, events_;
    // Registers by the nodes their <pInvalidator> names.
    std::map<std::string, std::vector<const detail::RegisterNode*>, std::less<>> invalidators_;
    int cacheScopes_ = 0;
    std::map<uint64_t, std::vector<uint8_t>> cache_;  // by start address, camera port only
    Stats stats_;
    std::set<std::pair<uint64_t, size_t>> readSeen_;  // address and length of each read
};

}  // namespace genicam
