#include "guestsim/swarm_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

namespace zoranth {
namespace {

using Behaviour = SimulatedGuest::Behaviour;
using Ending = SimulatedGuest::Ending;

std::string format(const char* pattern, auto... values) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

std::string milliseconds(std::optional<std::int64_t> nanos) {
    return nanos ? format("%.3f", static_cast<double>(*nanos) / 1e6) : std::string("-");
}

std::string who(const SimulatedGuest::Report& report) {
    return format("guest %d (%s)", report.index,
                  std::string(SimulatedGuest::name(report.behaviour)).c_str());
}

}  // namespace

std::string SwarmReport::guestTable(const Reports& reports) {
    std::string text =
        format("%-5s %-9s %7s %5s %7s %5s %5s %10s %9s %8s %8s %5s %5s  %s\n", "guest", "behaviour",
               "chunks", "gaps", "missing", "order", "steps", "offset_ms", "error_ms", "rtt_ms",
               "min_rtt", "conns", "hostx", "ended");
    for (const auto& r : reports) {
        const auto clockField = [&](std::int64_t ClockEstimator::Estimate::*field) {
            return r.clock ? format("%.3f", static_cast<double>((*r.clock).*field) / 1e6)
                           : std::string("-");
        };
        std::string ended(SimulatedGuest::name(r.ending));
        if (!r.detail.empty()) {
            ended += " (" + r.detail + ")";
        }
        text += format(
            "%-5d %-9s %7lld %5lld %7lld %5lld %5lld %10s %9s %8s %8s %5lld %5lld  %s\n", r.index,
            std::string(SimulatedGuest::name(r.behaviour)).c_str(),
            static_cast<long long>(r.stream.chunks), static_cast<long long>(r.stream.gaps),
            static_cast<long long>(r.stream.missing), static_cast<long long>(r.stream.outOfOrder),
            static_cast<long long>(r.stream.timeStepErrors),
            clockField(&ClockEstimator::Estimate::offsetNanos).c_str(),
            milliseconds(r.offsetErrorNanos).c_str(),
            clockField(&ClockEstimator::Estimate::rttNanos).c_str(),
            clockField(&ClockEstimator::Estimate::minRttNanos).c_str(),
            static_cast<long long>(r.connections), static_cast<long long>(r.hostEndings),
            ended.c_str());
    }
    return text;
}

std::string SwarmReport::behaviourSummary(const Reports& reports) {
    struct Totals {
        int guests = 0;
        std::int64_t chunks = 0, gaps = 0, missing = 0, outOfOrder = 0, timeStepErrors = 0;
        std::int64_t connections = 0, hostEndings = 0, connectFailures = 0, protocolErrors = 0;
        std::int64_t garbageSent = 0, garbageDropped = 0;
        double slowestDrop = 0;
        std::optional<std::int64_t> worstOffsetError;
    };
    std::map<Behaviour, Totals> byBehaviour;
    for (const auto& r : reports) {
        Totals& t = byBehaviour[r.behaviour];
        ++t.guests;
        t.chunks += r.stream.chunks;
        t.gaps += r.stream.gaps;
        t.missing += r.stream.missing;
        t.outOfOrder += r.stream.outOfOrder;
        t.timeStepErrors += r.stream.timeStepErrors;
        t.connections += r.connections;
        t.hostEndings += r.hostEndings;
        t.connectFailures += r.connectFailures;
        t.protocolErrors += r.ending == Ending::protocolError ? 1 : 0;
        for (const auto& attempt : r.garbage) {
            ++t.garbageSent;
            if (attempt.disconnected) {
                ++t.garbageDropped;
                t.slowestDrop = std::max(t.slowestDrop, attempt.secondsToDisconnect);
            }
        }
        if (r.offsetErrorNanos && (!t.worstOffsetError || std::llabs(*r.offsetErrorNanos) >
                                                              std::llabs(*t.worstOffsetError))) {
            t.worstOffsetError = r.offsetErrorNanos;
        }
    }
    std::string text;
    for (const auto& [behaviour, t] : byBehaviour) {
        text += format(
            "behaviour %s guests=%d chunks=%lld gaps=%lld missing=%lld out_of_order=%lld "
            "time_steps=%lld connections=%lld host_endings=%lld connect_failures=%lld "
            "protocol_errors=%lld worst_offset_error_ms=%s",
            std::string(SimulatedGuest::name(behaviour)).c_str(), t.guests,
            static_cast<long long>(t.chunks), static_cast<long long>(t.gaps),
            static_cast<long long>(t.missing), static_cast<long long>(t.outOfOrder),
            static_cast<long long>(t.timeStepErrors), static_cast<long long>(t.connections),
            static_cast<long long>(t.hostEndings), static_cast<long long>(t.connectFailures),
            static_cast<long long>(t.protocolErrors), milliseconds(t.worstOffsetError).c_str());
        if (behaviour == Behaviour::garbage) {
            text += format(" garbage_sent=%lld garbage_dropped=%lld slowest_drop_s=%.3f",
                           static_cast<long long>(t.garbageSent),
                           static_cast<long long>(t.garbageDropped), t.slowestDrop);
        }
        text += "\n";
    }
    return text;
}

SwarmReport::Verdict SwarmReport::verdict(const Reports& reports, bool strict) {
    Verdict verdict;
    const auto fault = [&](const SimulatedGuest::Report& r, const std::string& what) {
        verdict.faults.push_back(who(r) + ": " + what);
    };
    for (const auto& r : reports) {
        if (r.ending == Ending::protocolError) {
            fault(r, "the host's stream did not decode: " + r.detail);
        }
        if (r.behaviour == Behaviour::garbage && strict) {
            for (const auto& attempt : r.garbage) {
                if (!attempt.disconnected) {
                    fault(r, "the host kept a guest that sent " +
                                 std::string(SimulatedGuest::name(attempt.kind)));
                }
            }
        }
        if (r.behaviour != Behaviour::normal) {
            continue;
        }
        const auto& s = r.stream;
        if (s.gaps > 0) {
            fault(r, format("%lld gap(s), %lld chunk(s) missing", static_cast<long long>(s.gaps),
                            static_cast<long long>(s.missing)));
        }
        if (s.outOfOrder > 0) {
            fault(r, format("%lld chunk(s) out of order", static_cast<long long>(s.outOfOrder)));
        }
        if (s.timeStepErrors > 0) {
            fault(r, format("%lld chunk time(s) not 20 ms after the previous chunk",
                            static_cast<long long>(s.timeStepErrors)));
        }
        if (r.ending == Ending::closedByHost || r.ending == Ending::byeFromHost) {
            fault(r, "lost its connection: " + std::string(SimulatedGuest::name(r.ending)) +
                         (r.detail.empty() ? "" : " (" + r.detail + ")"));
        } else if (r.ending == Ending::neverConnected) {
            fault(r, "never connected" + (r.detail.empty() ? "" : " (" + r.detail + ")"));
        } else if (s.chunks == 0 && r.ending != Ending::protocolError) {
            fault(r, "received no audio");
        }
        if (!strict) {
            continue;
        }
        if (!r.clock) {
            fault(r, "no clock measurement");
        } else if (r.offsetErrorNanos && std::llabs(*r.offsetErrorNanos) > offsetLimitNanos) {
            fault(r, "clock offset off by " + milliseconds(r.offsetErrorNanos) + " ms");
        }
    }
    return verdict;
}

}  // namespace zoranth
