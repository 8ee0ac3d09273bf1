// Turns what the host knows about each guest (send queue, drops and expiries, bytes
// sent, the guest's own buffer and round-trip reports) into one verdict on the network.
// A plain value owned by the broadcast controller: main thread only; the caller passes the time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire_format.h"

namespace zoranth {

class NetworkHealth {
  public:
    using Id = std::int64_t;

    // One guest's inputs to one assessment.
    struct ClientSample {
        Id id = 0;
        std::string name;  // device name, or the endpoint text when the guest gave none
        double occupancy = 0;
        std::int64_t droppedFrames = 0;  // cumulative
        std::int64_t expiredFrames = 0;  // cumulative
        std::uint64_t bytesSent = 0;     // cumulative
        // Absent until the guest has sent a report.
        std::optional<int> clientBufferMs;
        std::optional<double> rttMs;
        std::optional<double> minRttMs;

        // The identity and report half of a sample: the name is the reported device name
        // when there is one, else the endpoint; the report's times arrive in nanoseconds.
        // The queue figures are left at zero for the caller to fill.
        static ClientSample fromReport(Id id, std::string_view endpoint,
                                       const std::optional<ClientStat>& report);

        friend bool operator==(const ClientSample&, const ClientSample&) = default;
    };

    struct Diagnosis {
        enum class Case { weakClients, saturated, idle, healthy, captureBehind };

        Case kind = Case::idle;
        std::vector<std::string> names;              // weakClients: the struggling guests
        std::optional<std::string> firstToStruggle;  // saturated

        static Diagnosis weakClients(std::vector<std::string> names) {
            return {Case::weakClients, std::move(names), std::nullopt};
        }
        static Diagnosis saturated(std::optional<std::string> firstToStruggle) {
            return {Case::saturated, {}, std::move(firstToStruggle)};
        }
        static Diagnosis idle() { return {Case::idle, {}, std::nullopt}; }
        static Diagnosis healthy() { return {Case::healthy, {}, std::nullopt}; }
        static Diagnosis captureBehind() { return {Case::captureBehind, {}, std::nullopt}; }

        friend bool operator==(const Diagnosis&, const Diagnosis&) = default;
    };

    struct Headroom {
        std::optional<double> floorMs;      // median of the guests' minimum RTTs
        std::optional<double> inflationMs;  // median RTT inflation across guests
        bool isClimbing = false;            // inflation high or rising with the guest count
        int comfortableAt = 0;
        double offeredMbps = 0;  // sent to all guests together
        double strain = 0;       // 1.0 is the struggling threshold

        // "measuring…" until inflation is known, then "14 ms, steady" or "30 ms, climbing".
        std::string summary() const;

        friend bool operator==(const Headroom&, const Headroom&) = default;
    };

    struct Verdict {
        Diagnosis diagnosis;
        int guestCount = 0;
        int strugglingCount = 0;
        std::string summary;
        std::map<Id, double> struggling;  // guest → when it started struggling
        std::map<Id, double> linkStrain;  // filled by the caller from measureLinks
        Headroom headroom;

        // What the window shows before the first assessment, and what no guests give.
        static Verdict initial();

        friend bool operator==(const Verdict&, const Verdict&) = default;
    };

    // A guest counts as struggling when this many of its last assessments saw new loss...
    static constexpr int lossWindow = 12;
    static constexpr int lossesToStruggle = 5;
    // ...and the network as saturated when enough guests started within this span.
    static constexpr double saturationSpreadSeconds = 0.75;
    static constexpr double captureBehindSeconds = 1.0;
    static constexpr double trendSeconds = 60.0;
    static constexpr std::size_t inflationWindowSize = 120;

    // chunksProduced: the pipeline's running chunk count; bufferDelayMs: the guests'
    // configured buffer. One call per status refresh.
    Verdict assess(double now, std::int64_t chunksProduced, std::int64_t bufferDelayMs,
                   std::span<const ClientSample> clients);

    // Per-guest link strain (1.0 = the struggling threshold), from each guest's queue,
    // buffer and the median of its recent RTT inflation.
    std::map<Id, double> measureLinks(std::span<const ClientSample> clients,
                                      std::int64_t bufferDelayMs);

    Headroom measureHeadroom(std::span<const ClientSample> clients, int guests, int struggling,
                             double now);
    // Megabits per second sent to all guests, refreshed at most once a second.
    double measureLoad(std::span<const ClientSample> clients, double now);

    // “name” in typographic quotes, or "an unnamed guest".
    static std::string quoted(std::string_view name);

    // How the diagnostics screen words a strain: "comfortable", "busy" or "struggling",
    // and "busy (75% of the struggling threshold)".
    static std::string_view strainLabel(double strain);
    static std::string strainDescription(double strain);

    int comfortableAt() const { return comfortableAt_; }

  private:
    // The last lossWindow new-loss flags, newest in bit 0.
    struct LossHistory {
        std::uint16_t bits = 0;
        void push(bool loss);
        int losses() const;
    };

    struct GuestRecord {
        bool hasCounters = false;
        std::int64_t dropped = 0;
        std::int64_t expired = 0;
        LossHistory history;
        std::optional<double> strugglingSince;
    };

    struct TrendPoint {
        int guests = 0;
        double inflation = 0;
        double at = 0;
    };

    // A ring of the last inflationWindowSize inflation samples of one guest.
    struct InflationWindow {
        std::array<double, inflationWindowSize> values{};
        std::size_t count = 0;
        std::size_t next = 0;
        void push(double value);
        double upperMedian() const;
    };

    template <class Map>
    static void forgetAbsent(Map& map, std::span<const ClientSample> clients);

    bool isSaturated(int guests) const;
    std::size_t firstToStruggle() const;

    std::map<Id, GuestRecord> guests_;
    std::int64_t lastChunkCount_ = -1;
    std::optional<double> lastChunkAdvance_;
    std::vector<TrendPoint> trend_;
    int comfortableAt_ = 0;
    std::uint64_t lastBytes_ = 0;
    double lastBytesAt_ = 0;
    double lastMbps_ = 0;
    std::map<Id, InflationWindow> inflationWindows_;

    // Reused between assessments so a steady rave allocates nothing here.
    struct Candidate {
        std::size_t sample;
        Id id;
        double since;
    };
    std::vector<Candidate> candidates_;
    std::vector<double> scratch_;
};

}  // namespace zoranth
