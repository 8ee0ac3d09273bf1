#include "host/network_health.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace zoranth {
namespace {

// Over budget now: the send queue is more than half full, or the guest reports a
// buffer below 40 % of the target. These are also the points where link strain is 1.0.
constexpr double overBudgetOccupancy = 0.5;
constexpr double shortBufferFraction = 0.4;
// RTT inflation that counts as a full strain, and inflation that is high outright.
constexpr double inflationAtThresholdMs = 40.0;
constexpr double climbingInflationMs = 25.0;

bool isShortOfBuffer(const NetworkHealth::ClientSample& client, std::int64_t bufferDelayMs) {
    return client.clientBufferMs && bufferDelayMs >= 1 &&
           *client.clientBufferMs < shortBufferFraction * static_cast<double>(bufferDelayMs);
}

std::optional<double> inflationOf(const NetworkHealth::ClientSample& client) {
    if (!client.rttMs || !client.minRttMs) {
        return std::nullopt;
    }
    return std::max(0.0, *client.rttMs - *client.minRttMs);
}

// The upper middle element, as the sorted list's [count / 2]; the values are reordered.
double upperMedian(std::span<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::string guestsText(std::size_t count) {
    return count == 1 ? std::string("1 guest") : std::to_string(count) + " guests";
}

}  // namespace

NetworkHealth::ClientSample NetworkHealth::ClientSample::fromReport(
    Id id, std::string_view endpoint, const std::optional<ClientStat>& report) {
    ClientSample sample;
    sample.id = id;
    if (report && !report->deviceName.empty()) {
        sample.name = report->deviceName;
    } else {
        sample.name = std::string(endpoint);
    }
    if (report) {
        sample.clientBufferMs = report->bufferDepthMs;
        sample.rttMs = report->rttNanos / 1'000'000.0;
        sample.minRttMs = report->minRttNanos / 1'000'000.0;
    }
    return sample;
}

std::string NetworkHealth::Headroom::summary() const {
    if (!inflationMs) {
        return "measuring…";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.0f ms, %s", *inflationMs,
                  isClimbing ? "climbing" : "steady");
    return text;
}

NetworkHealth::Verdict NetworkHealth::Verdict::initial() {
    Verdict verdict;
    verdict.diagnosis = Diagnosis::idle();
    verdict.summary = "No guests connected.";
    return verdict;
}

void NetworkHealth::LossHistory::push(bool loss) {
    constexpr unsigned mask = (1u << lossWindow) - 1;
    bits = static_cast<std::uint16_t>(((bits << 1) | (loss ? 1u : 0u)) & mask);
}

int NetworkHealth::LossHistory::losses() const {
    return std::popcount(bits);
}

void NetworkHealth::InflationWindow::push(double value) {
    values[next] = value;
    next = (next + 1) % values.size();
    count = std::min(count + 1, values.size());
}

double NetworkHealth::InflationWindow::upperMedian() const {
    if (count == 0) {
        return 0;
    }
    std::array<double, inflationWindowSize> sorted;
    std::copy_n(values.begin(), count, sorted.begin());
    return zoranth::upperMedian(std::span(sorted.data(), count));
}

template <class Map>
void NetworkHealth::forgetAbsent(Map& map, std::span<const ClientSample> clients) {
    std::erase_if(map, [clients](const auto& entry) {
        return std::none_of(clients.begin(), clients.end(),
                            [&](const ClientSample& client) { return client.id == entry.first; });
    });
}

NetworkHealth::Verdict NetworkHealth::assess(double now, std::int64_t chunksProduced,
                                             std::int64_t bufferDelayMs,
                                             std::span<const ClientSample> clients) {
    if (chunksProduced != lastChunkCount_) {
        lastChunkCount_ = chunksProduced;
        lastChunkAdvance_ = now;
    }
    // A guest who reconnects comes back under a new id and starts fresh.
    forgetAbsent(guests_, clients);
    if (clients.empty()) {
        return Verdict::initial();
    }

    candidates_.clear();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const ClientSample& client = clients[i];
        const bool overBudget =
            client.occupancy > overBudgetOccupancy || isShortOfBuffer(client, bufferDelayMs);

        GuestRecord& record = guests_[client.id];
        // A counter that went backwards is no loss; it simply becomes the new baseline.
        const bool newLoss = record.hasCounters && (client.droppedFrames > record.dropped ||
                                                    client.expiredFrames > record.expired);
        record.hasCounters = true;
        record.dropped = client.droppedFrames;
        record.expired = client.expiredFrames;
        record.history.push(newLoss);

        if (overBudget || record.history.losses() >= lossesToStruggle) {
            if (!record.strugglingSince) {
                record.strugglingSince = now;
            }
            candidates_.push_back({i, client.id, *record.strugglingSince});
        } else {
            record.strugglingSince.reset();
        }
    }

    const int guests = static_cast<int>(clients.size());
    const int struggling = static_cast<int>(candidates_.size());
    Verdict verdict;
    verdict.guestCount = guests;
    verdict.strugglingCount = struggling;
    verdict.headroom = measureHeadroom(clients, guests, struggling, now);
    for (const Candidate& candidate : candidates_) {
        verdict.struggling[clients[candidate.sample].id] = candidate.since;
    }
    const std::string guestsPart = guestsText(clients.size());

    // A Mac that stops producing audio looks like a network problem from the guests'
    // side, so it is named before anything the guests report.
    if (lastChunkAdvance_ && now - *lastChunkAdvance_ >= captureBehindSeconds) {
        verdict.diagnosis = Diagnosis::captureBehind();
        verdict.summary = guestsPart + " · capture is behind — check this computer, not the network";
        return verdict;
    }
    if (candidates_.empty()) {
        verdict.diagnosis = Diagnosis::healthy();
        verdict.summary = guestsPart + " · " + verdict.headroom.summary();
        return verdict;
    }

    const std::string strugglingPart =
        guestsPart + " · " + std::to_string(struggling) + " struggling — ";
    if (isSaturated(guests)) {
        const std::string& first = clients[candidates_[firstToStruggle()].sample].name;
        verdict.diagnosis = Diagnosis::saturated(first);
        verdict.summary = strugglingPart + "network saturated (" + quoted(first) + " went first)";
        return verdict;
    }

    std::vector<std::string> names;
    names.reserve(candidates_.size());
    std::string listed;
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
        const std::string& name = clients[candidates_[i].sample].name;
        names.push_back(name);
        if (i < 3) {
            listed += (i == 0 ? "" : ", ") + quoted(name);
        }
    }
    if (candidates_.size() > 3) {
        listed += " and " + std::to_string(candidates_.size() - 3) + " more";
    }
    verdict.diagnosis = Diagnosis::weakClients(std::move(names));
    verdict.summary = strugglingPart + listed + " (weak link, others fine)";
    return verdict;
}

bool NetworkHealth::isSaturated(int guests) const {
    const int struggling = static_cast<int>(candidates_.size());
    // One weak guest alone is never the network; beyond two guests, half of them must go.
    const bool enough = guests <= 2 ? struggling >= 2 : struggling >= (guests + 1) / 2;
    if (!enough) {
        return false;
    }
    const auto [earliest, latest] = std::minmax_element(
        candidates_.begin(), candidates_.end(),
        [](const Candidate& a, const Candidate& b) { return a.since < b.since; });
    return latest->since - earliest->since <= saturationSpreadSeconds;
}

std::size_t NetworkHealth::firstToStruggle() const {
    // Candidates are in sample order, not id order, so a tie needs the ids compared.
    std::size_t first = 0;
    for (std::size_t i = 1; i < candidates_.size(); ++i) {
        const Candidate& candidate = candidates_[i];
        const Candidate& best = candidates_[first];
        if (candidate.since < best.since ||
            (candidate.since == best.since && candidate.id < best.id)) {
            first = i;
        }
    }
    return first;
}

NetworkHealth::Headroom NetworkHealth::measureHeadroom(std::span<const ClientSample> clients,
                                                       int guests, int struggling, double now) {
    scratch_.clear();
    for (const ClientSample& client : clients) {
        if (const auto inflation = inflationOf(client)) {
            scratch_.push_back(*inflation);
        }
    }
    Headroom headroom;
    headroom.comfortableAt = comfortableAt_;
    // Without any round trip there is nothing to judge the air by yet.
    if (scratch_.empty()) {
        return headroom;
    }
    const double inflation = upperMedian(scratch_);

    scratch_.clear();
    for (const ClientSample& client : clients) {
        if (client.minRttMs) {
            scratch_.push_back(*client.minRttMs);
        }
    }
    headroom.floorMs = upperMedian(scratch_);
    headroom.inflationMs = inflation;

    trend_.push_back({guests, inflation, now});
    std::erase_if(trend_, [now](const TrendPoint& point) { return now - point.at > trendSeconds; });

    // Queueing in the air shows as inflation that grows when guests are added.
    bool climbing = inflation > climbingInflationMs;
    if (!climbing) {
        std::optional<double> fewerGuestsLowest;
        for (const TrendPoint& point : trend_) {
            if (point.guests < guests) {
                fewerGuestsLowest =
                    std::min(fewerGuestsLowest.value_or(point.inflation), point.inflation);
            }
        }
        climbing = fewerGuestsLowest && 2 * *fewerGuestsLowest + 5 < inflation;
    }
    headroom.isClimbing = climbing;
    if (struggling == 0 && !climbing) {
        comfortableAt_ = std::max(comfortableAt_, guests);
    }
    headroom.comfortableAt = comfortableAt_;
    headroom.offeredMbps = measureLoad(clients, now);

    double busiestQueue = 0;
    for (const ClientSample& client : clients) {
        busiestQueue = std::max(busiestQueue, client.occupancy);
    }
    headroom.strain = std::max({0.0, 2 * busiestQueue, inflation / inflationAtThresholdMs});
    return headroom;
}

double NetworkHealth::measureLoad(std::span<const ClientSample> clients, double now) {
    std::uint64_t total = 0;
    for (const ClientSample& client : clients) {
        total += client.bytesSent;
    }
    if (lastBytesAt_ <= 0) {
        lastBytes_ = total;
        lastBytesAt_ = now;
        return 0;
    }
    const double elapsed = now - lastBytesAt_;
    if (elapsed < 1.0) {
        return lastMbps_;
    }
    // The total shrinks when a guest leaves; that is no traffic, not a huge one.
    const double mbps = total > lastBytes_
                            ? static_cast<double>(total - lastBytes_) * 8 / 1'000'000 / elapsed
                            : 0.0;
    lastBytes_ = total;
    lastBytesAt_ = now;
    lastMbps_ = mbps;
    return mbps;
}

std::map<NetworkHealth::Id, double> NetworkHealth::measureLinks(
    std::span<const ClientSample> clients, std::int64_t bufferDelayMs) {
    forgetAbsent(inflationWindows_, clients);
    std::map<Id, double> strain;
    for (const ClientSample& client : clients) {
        double medianInflation = 0;
        if (const auto inflation = inflationOf(client)) {
            InflationWindow& window = inflationWindows_[client.id];
            window.push(*inflation);
            medianInflation = window.upperMedian();
        } else if (const auto found = inflationWindows_.find(client.id);
                   found != inflationWindows_.end()) {
            medianInflation = found->second.upperMedian();
        }
        const double shortOfBuffer = isShortOfBuffer(client, bufferDelayMs) ? 1.0 : 0.0;
        strain[client.id] = std::max(
            {shortOfBuffer, 2 * client.occupancy, medianInflation / inflationAtThresholdMs});
    }
    return strain;
}

std::string NetworkHealth::quoted(std::string_view name) {
    if (name.empty()) {
        return "an unnamed guest";
    }
    return "\u201C" + std::string(name) + "\u201D";
}

std::string_view NetworkHealth::strainLabel(double strain) {
    if (strain < 0.5) {
        return "comfortable";
    }
    if (strain < 1) {
        return "busy";
    }
    return "struggling";
}

std::string NetworkHealth::strainDescription(double strain) {
    char percent[48];
    std::snprintf(percent, sizeof percent, " (%.0f%% of the struggling threshold)", strain * 100);
    return std::string(strainLabel(strain)) + percent;
}

}  // namespace zoranth
