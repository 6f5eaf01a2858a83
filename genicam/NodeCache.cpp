// The map's traffic with the camera's port: the register cache, the counts, and the data
// attached for chunk and event ports.
#include "RegisterNode.h"

namespace genicam {

NodeMap::Cache::Cache(NodeMap& map) : map_(map) { ++map_.cacheScopes_; }

NodeMap::Cache::~Cache() {
    if (--map_.cacheScopes_ == 0) map_.cache_.clear();
}

void NodeMap::readCamera(uint64_t address, uint8_t* data, size_t length, Caching caching) {
    const bool caching_on = cacheScopes_ > 0 && caching != Caching::NoCache;
    if (caching_on && !cache_.empty()) {
        // The entry starting at or before the address, if it covers all the bytes asked for.
        auto it = cache_.upper_bound(address);
        if (it != cache_.begin()) {
            --it;
            const uint64_t offset = address - it->first;
            if (offset <= it->second.size() && length <= it->second.size() - offset) {
                std::copy_n(it->second.begin() + static_cast<long>(offset), length, data);
                return;
            }
        }
    }
    port_.read(address, data, length);
    ++stats_.reads;
    readSeen_.emplace(address, length);
    if (caching_on) {
        drop(address, length);
        cache_[address] = std::vector<uint8_t>(data, data + length);
    }
}

void NodeMap::writeCamera(uint64_t address, const uint8_t* data, size_t length, Caching caching) {
    drop(address, length);  // even if the write fails: what the camera holds is unknown
    port_.write(address, data, length);
    ++stats_.writes;
    if (cacheScopes_ > 0 && caching == Caching::WriteThrough) cache_[address] = std::vector<uint8_t>(data, data + length);
}

// Drops every entry that shares a byte with [address, address + length).
void NodeMap::drop(uint64_t address, size_t length) {
    if (cache_.empty() || length == 0) return;
    const uint64_t end = address + length < address ? UINT64_MAX : address + length;
    auto it = cache_.lower_bound(address);
    if (it != cache_.begin()) {
        auto before = std::prev(it);
        if (before->first + before->second.size() > address) it = before;
    }
    while (it != cache_.end() && it->first < end) it = cache_.erase(it);
}

void NodeMap::invalidateDependents(const std::string& name) {
    auto it = invalidators_.find(name);
    if (it == invalidators_.end()) return;
    for (const detail::RegisterNode* r : it->second) r->forget();
}

void NodeMap::attachChunk(uint64_t id, std::vector<uint8_t> data) { chunks_[id] = std::move(data); }
void NodeMap::detachChunks() { chunks_.clear(); }
void NodeMap::attachEvent(uint64_t id, std::vector<uint8_t> data) { events_[id] = std::move(data); }
void NodeMap::detachEvents() { events_.clear(); }

const std::vector<uint8_t>* NodeMap::chunk(uint64_t id) const {
    auto it = chunks_.find(id);
    return it == chunks_.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* NodeMap::event(uint64_t id) const {
    auto it = events_.find(id);
    return it == events_.end() ? nullptr : &it->second;
}

NodeMap::Stats NodeMap::stats() const {
    Stats s = stats_;
    s.distinctReads = readSeen_.size();
    return s;
}

void NodeMap::resetStats() {
    stats_ = {};
    readSeen_.clear();
}

}  // namespace genicam
