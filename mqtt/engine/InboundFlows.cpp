#include "mqtt/engine/InboundFlows.h"

TInboundFlows::TInboundFlows(std::size_t capacity)
    : FCapacity(capacity > 0 ? capacity : 1)
{
}

void TInboundFlows::Open(int32_t id, const std::string& path)
{
    Close(id);
    if (FByID.size() >= FCapacity) {
        FByID.erase(FOldestFirst.front().ID);
        FOldestFirst.pop_front();
        ++FForgotten;
    }
    FOldestFirst.push_back(TFlow{id, path});
    FByID[id] = std::prev(FOldestFirst.end());
}

const std::string* TInboundFlows::Find(int32_t id) const
{
    const auto it = FByID.find(id);
    return it == FByID.end() ? nullptr : &it->second->Path;
}

void TInboundFlows::Close(int32_t id)
{
    const auto it = FByID.find(id);
    if (it == FByID.end())
        return;
    FOldestFirst.erase(it->second);
    FByID.erase(it);
}

std::vector<std::pair<int32_t, std::string>> TInboundFlows::OpenFlows() const
{
    std::vector<std::pair<int32_t, std::string>> flows;
    flows.reserve(FOldestFirst.size());
    for (const TFlow& flow : FOldestFirst)
        flows.emplace_back(flow.ID, flow.Path);
    return flows;
}
