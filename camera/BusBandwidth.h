// The isochronous bandwidth of the bus: what a stream costs per cycle, what the cameras that
// send now take, and why a stream does not fit.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class C1394Dcam;

class BusBandwidth {
public:
    // The share of each 125 us cycle isochronous streams may fill, in units of one quadlet at
    // 1600 Mbit/s.
    static constexpr unsigned kUnitsPerCycle = 4915;

    // Largest packet payload at speed 0..2 (S100..S400); 0 for any other.
    static unsigned MaxPacketBytes(int speed);
    // Units a stream of bytesPerPacket a cycle takes at a speed: arbitration, header, CRCs and
    // gap, plus the payload at the speed's cost per quadlet.
    static unsigned Units(unsigned bytesPerPacket, int speed);
    // units as a share of the cycle budget, in %.
    static double Percent(unsigned units);
    // Units the cameras other than `except` take while they send (ISO_EN set), from their
    // registers: their packet size and ISO speed.
    static unsigned UnitsInUse(C1394Dcam& cam, int except);
    // The units and the number of the streams that the cameras not in except send.
    struct Usage {
        unsigned units = 0;
        int streams = 0;
    };
    static Usage InUse(C1394Dcam& cam, std::span<const int> except);
    // Why a stream of bytesPerPacket at speed cannot run when unitsLeft are free; empty when it
    // fits.
    static std::string Refusal(unsigned bytesPerPacket, int speed, unsigned unitsLeft);
};
