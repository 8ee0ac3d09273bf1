#include "platform/nl80211/wireless_station.h"

#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace zoranth {

namespace {

using Attributes = std::array<nlattr*, NL80211_ATTR_MAX + 1>;
using OnReply = std::function<void(const Attributes&)>;

struct SocketDeleter {
    void operator()(nl_sock* socket) const { nl_socket_free(socket); }
};
struct MessageDeleter {
    void operator()(nl_msg* message) const { nlmsg_free(message); }
};
struct CallbackDeleter {
    void operator()(nl_cb* callbacks) const { nl_cb_put(callbacks); }
};

struct Exchange {
    const OnReply* onReply;
    int status = 1;  // 1 while answers are coming, 0 when done, negative on error
};

int onValid(nl_msg* message, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    auto* header = static_cast<genlmsghdr*>(nlmsg_data(nlmsg_hdr(message)));
    Attributes attributes{};
    nla_parse(attributes.data(), NL80211_ATTR_MAX, genlmsg_attrdata(header, 0), genlmsg_attrlen(header, 0),
              nullptr);
    (*exchange->onReply)(attributes);
    return NL_SKIP;
}

int onFinish(nl_msg*, void* context) {
    static_cast<Exchange*>(context)->status = 0;
    return NL_SKIP;
}

int onError(sockaddr_nl*, nlmsgerr* error, void* context) {
    static_cast<Exchange*>(context)->status = error->error < 0 ? error->error : -1;
    return NL_STOP;
}

// One nl80211 request (a dump, optionally about one interface), answered message by
// message into onReply. False when the kernel refused it.
bool request(nl_sock* socket, int family, std::uint8_t command, std::optional<std::uint32_t> interfaceIndex,
             const OnReply& onReply) {
    std::unique_ptr<nl_msg, MessageDeleter> message(nlmsg_alloc());
    std::unique_ptr<nl_cb, CallbackDeleter> callbacks(nl_cb_alloc(NL_CB_DEFAULT));
    if (!message || !callbacks) {
        return false;
    }
    if (genlmsg_put(message.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, NLM_F_DUMP, command, 0) == nullptr) {
        return false;
    }
    if (interfaceIndex && nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, *interfaceIndex) < 0) {
        return false;
    }
    Exchange exchange{&onReply};
    nl_cb_set(callbacks.get(), NL_CB_VALID, NL_CB_CUSTOM, onValid, &exchange);
    nl_cb_set(callbacks.get(), NL_CB_FINISH, NL_CB_CUSTOM, onFinish, &exchange);
    nl_cb_set(callbacks.get(), NL_CB_ACK, NL_CB_CUSTOM, onFinish, &exchange);
    nl_cb_err(callbacks.get(), NL_CB_CUSTOM, onError, &exchange);
    if (nl_send_auto(socket, message.get()) < 0) {
        return false;
    }
    while (exchange.status > 0) {
        if (nl_recvmsgs(socket, callbacks.get()) < 0) {
            return false;
        }
    }
    return exchange.status == 0;
}

struct StationInterface {
    std::uint32_t index = 0;
    std::string name;
    std::optional<int> frequencyMHz;
    std::optional<int> channelWidthMHz;
};

std::vector<StationInterface> stationInterfaces(nl_sock* socket, int family) {
    std::vector<StationInterface> found;
    request(socket, family, NL80211_CMD_GET_INTERFACE, std::nullopt, [&](const Attributes& reply) {
        if (!reply[NL80211_ATTR_IFINDEX] || !reply[NL80211_ATTR_IFTYPE] ||
            nla_get_u32(reply[NL80211_ATTR_IFTYPE]) != NL80211_IFTYPE_STATION) {
            return;
        }
        StationInterface entry;
        entry.index = nla_get_u32(reply[NL80211_ATTR_IFINDEX]);
        if (reply[NL80211_ATTR_IFNAME]) {
            entry.name = nla_get_string(reply[NL80211_ATTR_IFNAME]);
        }
        if (reply[NL80211_ATTR_WIPHY_FREQ]) {
            entry.frequencyMHz = static_cast<int>(nla_get_u32(reply[NL80211_ATTR_WIPHY_FREQ]));
        }
        if (reply[NL80211_ATTR_CHANNEL_WIDTH]) {
            entry.channelWidthMHz = WirelessStation::widthMHz(nla_get_u32(reply[NL80211_ATTR_CHANNEL_WIDTH]));
        }
        found.push_back(std::move(entry));
    });
    return found;
}

WirelessStation::RateFamily rateFamily(nlattr* const* rate) {
    if (rate[NL80211_RATE_INFO_EHT_MCS]) {
        return WirelessStation::RateFamily::eht;
    }
    if (rate[NL80211_RATE_INFO_HE_MCS]) {
        return WirelessStation::RateFamily::he;
    }
    if (rate[NL80211_RATE_INFO_VHT_MCS]) {
        return WirelessStation::RateFamily::vht;
    }
    if (rate[NL80211_RATE_INFO_MCS]) {
        return WirelessStation::RateFamily::ht;
    }
    return WirelessStation::RateFamily::legacy;
}

// The access point this station is joined to: the transmit rate and the signal.
// False while the interface is not associated (no station entry).
bool readAccessPoint(nl_sock* socket, int family, std::uint32_t index, WirelessStation& station) {
    bool joined = false;
    request(socket, family, NL80211_CMD_GET_STATION, index, [&](const Attributes& reply) {
        if (joined || !reply[NL80211_ATTR_STA_INFO]) {
            return;
        }
        std::array<nlattr*, NL80211_STA_INFO_MAX + 1> info{};
        if (nla_parse_nested(info.data(), NL80211_STA_INFO_MAX, reply[NL80211_ATTR_STA_INFO], nullptr) < 0) {
            return;
        }
        joined = true;
        if (info[NL80211_STA_INFO_SIGNAL]) {
            station.signalDbm = static_cast<std::int8_t>(nla_get_u8(info[NL80211_STA_INFO_SIGNAL]));
        }
        std::array<nlattr*, NL80211_RATE_INFO_MAX + 1> rate{};
        if (info[NL80211_STA_INFO_TX_BITRATE] &&
            nla_parse_nested(rate.data(), NL80211_RATE_INFO_MAX, info[NL80211_STA_INFO_TX_BITRATE], nullptr) >= 0) {
            // Both carry units of 100 kbit/s; the 32-bit one exists for rates above 6.5 Gbit/s.
            std::uint32_t units = 0;
            if (rate[NL80211_RATE_INFO_BITRATE32]) {
                units = nla_get_u32(rate[NL80211_RATE_INFO_BITRATE32]);
            } else if (rate[NL80211_RATE_INFO_BITRATE]) {
                units = nla_get_u16(rate[NL80211_RATE_INFO_BITRATE]);
            }
            station.txBitrateMbps = units / 10.0;
            station.rateFamily = rateFamily(rate.data());
        }
    });
    return joined;
}

// The noise floor, and the frequency when the interface did not report it, from the
// survey of the channel in use.
void readSurvey(nl_sock* socket, int family, std::uint32_t index, WirelessStation& station) {
    request(socket, family, NL80211_CMD_GET_SURVEY, index, [&](const Attributes& reply) {
        if (!reply[NL80211_ATTR_SURVEY_INFO]) {
            return;
        }
        std::array<nlattr*, NL80211_SURVEY_INFO_MAX + 1> survey{};
        if (nla_parse_nested(survey.data(), NL80211_SURVEY_INFO_MAX, reply[NL80211_ATTR_SURVEY_INFO], nullptr) < 0 ||
            !survey[NL80211_SURVEY_INFO_IN_USE]) {
            return;
        }
        if (survey[NL80211_SURVEY_INFO_NOISE]) {
            station.noiseDbm = static_cast<std::int8_t>(nla_get_u8(survey[NL80211_SURVEY_INFO_NOISE]));
        }
        if (!station.frequencyMHz && survey[NL80211_SURVEY_INFO_FREQUENCY]) {
            station.frequencyMHz = static_cast<int>(nla_get_u32(survey[NL80211_SURVEY_INFO_FREQUENCY]));
        }
    });
}

}  // namespace

std::optional<int> WirelessStation::widthMHz(unsigned nl80211Width) {
    switch (nl80211Width) {
    case NL80211_CHAN_WIDTH_20_NOHT:
    case NL80211_CHAN_WIDTH_20:
        return 20;
    case NL80211_CHAN_WIDTH_40:
        return 40;
    case NL80211_CHAN_WIDTH_80:
        return 80;
    case NL80211_CHAN_WIDTH_160:
        return 160;
    default:
        return std::nullopt;
    }
}

std::optional<WirelessStation> WirelessStation::read() {
    std::unique_ptr<nl_sock, SocketDeleter> socket(nl_socket_alloc());
    if (!socket || genl_connect(socket.get()) < 0) {
        return std::nullopt;
    }
    // Without any 802.11 driver loaded the family does not exist at all.
    const int family = genl_ctrl_resolve(socket.get(), "nl80211");
    if (family < 0) {
        return std::nullopt;
    }
    for (const StationInterface& candidate : stationInterfaces(socket.get(), family)) {
        WirelessStation station;
        station.interfaceName = candidate.name;
        station.frequencyMHz = candidate.frequencyMHz;
        station.channelWidthMHz = candidate.channelWidthMHz;
        if (!readAccessPoint(socket.get(), family, candidate.index, station)) {
            continue;
        }
        readSurvey(socket.get(), family, candidate.index, station);
        return station;
    }
    return std::nullopt;
}

}  // namespace zoranth
