#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The inbound QoS 2 flows of one connection that are still open: the PUBLISH
// was saved and answered with PUBREC, the PUBCOMP has not gone out yet. Keyed
// by message identifier, so a PUBREL that comes after its wait gave up still
// finds its flow, and a repeated PUBLISH of an open flow is not saved twice.
// A flow leaves the table when its PUBCOMP is sent; the table lives as long
// as the connection. Used by the event-handler thread alone.
class TInboundFlows {
public:
    explicit TInboundFlows(std::size_t capacity = kCapacity);

    // Opens the flow of id with its saved file; an open flow of that id is
    // replaced. Beyond the capacity the oldest flow is forgotten.
    void Open(int32_t id, const std::string& path);
    // The saved file of the open flow of id; nullptr when none is open.
    const std::string* Find(int32_t id) const;
    bool Contains(int32_t id) const { return Find(id) != nullptr; }
    void Close(int32_t id);

    std::size_t Count() const { return FByID.size(); }
    // The open flows, oldest first: (identifier, saved file).
    std::vector<std::pair<int32_t, std::string>> OpenFlows() const;
    // Flows pushed out by the capacity, never completed.
    std::size_t Forgotten() const { return FForgotten; }

    // Far above a broker's in-flight window (mosquitto: 20), far below the
    // 65,535 identifiers a broker could leave open.
    static constexpr std::size_t kCapacity = 1024;

private:
    struct TFlow {
        int32_t ID;
        std::string Path;
    };

    const std::size_t FCapacity;
    std::list<TFlow> FOldestFirst;
    std::unordered_map<int32_t, std::list<TFlow>::iterator> FByID;
    std::size_t FForgotten = 0;
};
