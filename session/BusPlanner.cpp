// The bus plan of several cameras: their shares of the cycle, the sharing of what is left
// between Format 7 cameras, and the one sentence that names a fix when they do not fit.
#include "session/BusPlanner.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "camera/BusBandwidth.h"
#include "camera/VideoModeTables.h"
#include "session/ModeOffer.h"

namespace kestrix::session {
namespace {

using Demand = BusPlanner::Demand;
constexpr int kQuadlet = 4;
constexpr int kChannels = 64;
// What common host adapters have, and what a daemon that predates the answer is taken to have.
constexpr int kDefaultReceiveContexts = 4;

template <class... Values>
std::string Format(const char* format, Values... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

bool Shared(const Demand& d) { return d.config.mode.Format7() && d.config.packetBytes <= 0; }
int PacketUnit(const Demand& d) {
    return d.config.mode.Format7() && d.packetUnit > 0 ? d.packetUnit : kQuadlet;
}
// The largest packet the camera may send at its speed.
int PacketMax(const Demand& d) {
    const int carried = int(BusBandwidth::MaxPacketBytes(d.config.speed));
    return d.config.mode.Format7() && d.packetMax > 0 ? std::min(d.packetMax, carried) : carried;
}

// The largest multiple of unit, at most max, whose packets cost at most units a cycle; 0 when
// not even one unit fits.
int LargestPacketWithin(std::uint32_t units, int unit, int max, int speed) {
    for (int packet = max / unit * unit; packet >= unit; packet -= unit) {
        if (BusBandwidth::Units(unsigned(packet), speed) <= units) return packet;
    }
    return 0;
}

double Fps(const Demand& d, int packet) {
    return d.config.mode.Format7() ? Format7Geometry::FrameRate(d.frameBytes, packet)
                                   : ModeOffer::RateOf(d.config.rateIndex).Value();
}

void SetPacket(BusPlan::Share& share, const Demand& d, int packet) {
    share.packetBytes = packet;
    share.units = BusBandwidth::Units(unsigned(packet), d.config.speed);
    share.fps = Fps(d, packet);
    if (d.config.mode.Format7()) share.config.packetBytes = packet;
}

// Format 7 cameras without a packet size share `left`: those that need least first, each
// taking at most an even part of what the ones before it left; the rest the rounding leaves
// goes to the last (the largest), as far as their steps allow.
void ShareFormat7(const std::vector<Demand>& demands, std::vector<BusPlan::Share>& shares,
                  std::uint32_t left) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < demands.size(); ++i) {
        if (Shared(demands[i])) order.push_back(i);
    }
    const auto need = [&](std::size_t i) {
        return BusBandwidth::Units(unsigned(PacketMax(demands[i])), demands[i].config.speed);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return need(a) < need(b); });
    for (std::size_t k = 0; k < order.size(); ++k) {
        const Demand& d = demands[order[k]];
        const auto even = std::uint32_t(left / (order.size() - k));
        const int packet = LargestPacketWithin(even, PacketUnit(d), PacketMax(d), d.config.speed);
        // Not even the smallest packet fits: it is planned anyway, and the refusal says so.
        SetPacket(shares[order[k]], d, packet > 0 ? packet : PacketUnit(d));
        left -= std::min(left, shares[order[k]].units);
    }
    for (auto k = order.rbegin(); k != order.rend() && left > 0; ++k) {
        const Demand& d = demands[*k];
        BusPlan::Share& share = shares[*k];
        const int packet =
            LargestPacketWithin(share.units + left, PacketUnit(d), PacketMax(d), d.config.speed);
        if (packet <= share.packetBytes) continue;
        left -= BusBandwidth::Units(unsigned(packet), d.config.speed) - share.units;
        SetPacket(share, d, packet);
    }
}

// The fastest rate the camera offers below the planned one whose packets cost at most left.
int FastestRateWithin(const Demand& d, std::uint32_t left) {
    for (int rate = d.config.rateIndex - 1; rate >= 0; --rate) {
        const int quadlets = camera::PacketQuadlets(d.config.mode.modeIndex, rate);
        if (d.config.mode.OffersRate(rate) && quadlets > 0 &&
            BusBandwidth::Units(unsigned(quadlets * kQuadlet), d.config.speed) <= left) {
            return rate;
        }
    }
    return -1;
}

// The camera that takes most is the one to change: what the others leave it, and what fits.
std::string BandwidthRefusal(const std::vector<Demand>& demands, const BusPlan& plan) {
    const auto most = std::max_element(
        plan.cameras.begin(), plan.cameras.end(),
        [](const BusPlan::Share& a, const BusPlan::Share& b) { return a.units < b.units; });
    const Demand& d = demands[std::size_t(most - plan.cameras.begin())];
    const std::uint32_t others = plan.unitsPlanned - most->units;
    const std::uint32_t left = plan.unitsFree > others ? plan.unitsFree - others : 0;
    const int packet = LargestPacketWithin(left, PacketUnit(d), PacketMax(d), d.config.speed);
    const int rate = d.config.mode.Format7() ? -1 : FastestRateWithin(d, left);
    std::string fix;
    if (d.config.mode.Format7() && packet > 0) {
        fix =
            Format("a Format 7 packet of at most %d bytes fits (%.3g fps)", packet, Fps(d, packet));
    } else if (rate >= 0) {
        fix = std::string(CameraModes::RateName(rate)) + " fps fits" +
              (packet > 0 ? Format(", or a Format 7 packet of at most %d bytes", packet) : "");
    } else if (packet > 0) {
        fix = Format("no rate of %s fits, a Format 7 packet of at most %d bytes does",
                     d.config.mode.name.c_str(), packet);
    } else {
        return Format("the cameras need %u units, %u are free: run fewer cameras",
                      plan.unitsPlanned, plan.unitsFree);
    }
    return Format("camera %d needs %u units, %u are left: ", most->camera, most->units, left) + fix;
}

// "2 cameras need 2 receive contexts, the host controller has 1: run at most 1 of them at a time"
std::string TooMany(std::size_t cameras, const char* what, const char* holder, int have) {
    const char* s = cameras == 1 ? "" : "s";
    const std::string fix = have > 0 ? Format("run at most %d of them at a time", have)
                                     : std::string("stop another stream first");
    return Format("%zu camera%s need%s %zu %s%s, %s %d: ", cameras, s, cameras == 1 ? "s" : "",
                  cameras, what, s, holder, have) +
           fix;
}

std::string Refusal(const std::vector<Demand>& demands, const BusPlan& plan) {
    const std::size_t n = demands.size();
    if (n > std::size_t(std::max(plan.receiveContexts, 0))) {
        return TooMany(n, "receive context", "the host controller has", plan.receiveContexts);
    }
    if (n > std::size_t(std::max(plan.channelsFree, 0))) {
        return TooMany(n, "isochronous channel", "the bus has free", plan.channelsFree);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const BusPlan::Share& s = plan.cameras[i];
        if (unsigned(s.packetBytes) <= BusBandwidth::MaxPacketBytes(s.speed)) continue;
        std::string fix;
        for (int speed = s.speed + 1; speed <= 2 && fix.empty(); ++speed) {
            if (unsigned(s.packetBytes) <= BusBandwidth::MaxPacketBytes(speed)) {
                fix = Format(": S%d carries them", 100 << speed);
            }
        }
        return Format("camera %d: ", s.camera) +
               BusBandwidth::Refusal(unsigned(s.packetBytes), s.speed, plan.unitsFree) + fix;
    }
    return plan.unitsPlanned > plan.unitsFree ? BandwidthRefusal(demands, plan) : std::string();
}

}  // namespace

BusPlan BusPlanner::Compute(const std::vector<Demand>& demands, const Resources& resources) {
    BusPlan plan;
    plan.unitsFree = resources.unitsFree;
    plan.channelsFree = resources.channelsFree;
    plan.receiveContexts = resources.receiveContexts;
    std::uint32_t fixedUnits = 0;
    for (const Demand& d : demands) {
        BusPlan::Share& share = plan.cameras.emplace_back();
        share.camera = d.camera;
        share.guid = d.guid;
        share.mode = d.config.mode.name;
        share.speed = d.config.speed;
        share.config = d.config;
        if (Shared(d)) continue;
        SetPacket(share, d, d.config.mode.Format7() ? d.config.packetBytes : d.packetBytes);
        fixedUnits += share.units;
    }
    ShareFormat7(demands, plan.cameras,
                 resources.unitsFree > fixedUnits ? resources.unitsFree - fixedUnits : 0);
    plan.unitsPlanned =
        std::accumulate(plan.cameras.begin(), plan.cameras.end(), std::uint32_t(0),
                        [](std::uint32_t sum, const BusPlan::Share& s) { return sum + s.units; });
    plan.refusal = Refusal(demands, plan);
    plan.fits = plan.refusal.empty();
    return plan;
}

Error BusPlanner::ReadDemand(C1394Dcam& cam, int index, const StreamConfig& config, Demand& d) {
    const CameraModes::Mode& mode = config.mode;
    d.camera = index;
    d.config = config;
    if (mode.Format7()) {
        const auto geometry =
            Format7Geometry::Read(cam, index, mode.modeIndex - camera::kFormat7First);
        if (!geometry) {
            return {Error::Kind::Failed,
                    Format("camera %d does not answer with the packet sizes of %s", index,
                           mode.name.c_str())};
        }
        d.packetUnit = geometry->packetUnit;
        d.packetMax = geometry->packetMax;
        d.frameBytes = std::uint32_t(Format7Geometry::FrameBytes(
            config.region.value_or(Format7Region{0, 0, mode.width, mode.height}),
            mode.colorCoding));
        return {};
    }
    const int quadlets = camera::PacketQuadlets(mode.modeIndex, config.rateIndex);
    if (!mode.OffersRate(config.rateIndex) || quadlets == 0) {
        return {Error::Kind::Refused,
                Format("camera %d does not offer %s at %s fps", index, mode.name.c_str(),
                       CameraModes::RateName(config.rateIndex))};
    }
    d.packetBytes = quadlets * kQuadlet;
    d.frameBytes = camera::FixedModeFrameBytes(mode.modeIndex);
    return {};
}

BusPlanner::Resources BusPlanner::ReadResources(C1394Dcam& cam, std::span<const int> planned) {
    // Streams of cameras not in the plan hold their units and channel, and each one received
    // here holds a receive context.
    const BusBandwidth::Usage usage = BusBandwidth::InUse(cam, planned);
    int contexts = 0;
    if (planned.empty() || !cam.GetReceiveContexts(planned.front(), &contexts))
        contexts = kDefaultReceiveContexts;
    Resources resources;
    resources.unitsFree = BusBandwidth::kUnitsPerCycle -
                          std::min<std::uint32_t>(usage.units, BusBandwidth::kUnitsPerCycle);
    resources.channelsFree = std::max(0, kChannels - usage.streams);
    resources.receiveContexts = std::max(0, contexts - usage.streams);
    return resources;
}

Error BusPlanner::Plan(const std::vector<std::shared_ptr<Camera>>& cameras,
                       const std::vector<StreamConfig>& configs, BusPlan& plan) {
    if (cameras.empty() || cameras.size() != configs.size()) {
        return {Error::Kind::Refused, "a plan needs one configuration for each camera"};
    }
    std::vector<Demand> demands(cameras.size());
    std::vector<int> indexes;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        demands[i].guid = cameras[i]->Info().guid;
        if (Error error = cameras[i]->Call([&](C1394Dcam& cam, int index) {
                indexes.push_back(index);
                return ReadDemand(cam, index, configs[i], demands[i]);
            })) {
            return error;
        }
    }
    Resources resources;
    // Through the first camera, whose index may have changed since.
    if (Error error = cameras.front()->Call([&](C1394Dcam& cam, int index) {
            indexes.front() = index;
            resources = ReadResources(cam, indexes);
        })) {
        return error;
    }
    plan = Compute(demands, resources);
    return {};
}

}  // namespace kestrix::session
