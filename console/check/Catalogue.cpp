#include "console/check/Check.h"

#include <array>
#include <cctype>

namespace {

struct TFamilyInfo {
    TCheckFamily Family;
    const char* Name;
    const char* Caption;   // UTF-8
};

constexpr std::array FamilyTable{
    TFamilyInfo{TCheckFamily::Connect, "connect", "接続"},
    TFamilyInfo{TCheckFamily::Delivery, "delivery", "配信 (QoS 0/1/2)"},
    TFamilyInfo{TCheckFamily::Retain, "retain", "保持メッセージ"},
    TFamilyInfo{TCheckFamily::Will, "will", "Will メッセージ"},
    TFamilyInfo{TCheckFamily::Topics, "topics", "トピックとフィルター"},
    TFamilyInfo{TCheckFamily::Subscriptions, "subscriptions", "購読の重なり・解除・QoS"},
    TFamilyInfo{TCheckFamily::Sessions, "sessions", "永続セッションと引き継ぎ"},
    TFamilyInfo{TCheckFamily::Expiry, "expiry", "セッションとメッセージの有効期限 (5.0)"},
    TFamilyInfo{TCheckFamily::Aliases, "aliases", "トピックエイリアス (5.0)"},
    TFamilyInfo{TCheckFamily::Flow, "flow", "受信最大数と最大パケットサイズ (5.0)"},
    TFamilyInfo{TCheckFamily::Properties, "properties", "プロパティの受け渡し (5.0)"},
    TFamilyInfo{TCheckFamily::SubOptions, "suboptions", "購読オプション (5.0)"},
    TFamilyInfo{TCheckFamily::Shared, "shared", "共有購読 (5.0)"},
    TFamilyInfo{TCheckFamily::Connack, "connack", "CONNACK と理由コード (5.0)"},
    TFamilyInfo{TCheckFamily::Robustness, "robustness", "不正フレームへの耐性"},
};

const TFamilyInfo& Info(TCheckFamily family)
{
    for (const TFamilyInfo& info : FamilyTable)
        if (info.Family == family) return info;
    return FamilyTable[0];
}

}  // namespace

std::string_view FamilyName(TCheckFamily family) { return Info(family).Name; }
std::string_view FamilyCaption(TCheckFamily family) { return Info(family).Caption; }

bool ParseFamily(std::string_view text, TCheckFamily& family)
{
    for (const TFamilyInfo& info : FamilyTable)
        if (text == info.Name) {
            family = info.Family;
            return true;
        }
    return false;
}

std::string_view VersionWord(TProtocolVersion version)
{
    switch (version) {
    case TProtocolVersion::MQTT31: return "3.1";
    case TProtocolVersion::MQTT311: return "3.1.1";
    case TProtocolVersion::MQTT50: return "5.0";
    }
    return "";
}

const std::vector<TCheck>& CheckCatalogue()
{
    static const std::vector<TCheck> checks = [] {
        std::vector<TCheck> all;
        for (auto add : {AddConnectChecks, AddDeliveryChecks, AddRetainChecks, AddWillChecks, AddTopicChecks,
                         AddSubscriptionChecks, AddSessionChecks, AddExpiryChecks, AddAliasChecks, AddFlowChecks,
                         AddPropertyChecks, AddSubOptionChecks, AddSharedChecks, AddConnackChecks,
                         AddRobustnessChecks})
            add(all);
        return all;
    }();
    return checks;
}

const TCheck* FindCheck(std::string_view id)
{
    for (const TCheck& check : CheckCatalogue())
        if (id == check.Id) return &check;
    return nullptr;
}
