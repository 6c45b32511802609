// kestrixsrc's properties: installed on the class, set and read under one lock from any thread,
// and checked as a whole when the element starts.
#pragma once

#include <gst/gst.h>

#include <mutex>
#include <string>
#include <vector>

class SrcProperties {
public:
    enum Id : guint { kCamera = 1, kGuid, kMode, kRingSize, kFeatures, kStats, kLendSlots };
    static constexpr int kDefaultRingSize = 16;
    static constexpr int kDefaultLendSlots = 4;

    struct Values {
        int camera = 0;
        std::string guid;
        std::string mode;
        int ringSize = kDefaultRingSize;
        std::string features;
        int lendSlots = kDefaultLendSlots;
    };

    // Every property; the element answers kStats (read-only) itself.
    static void Install(GObjectClass* klass);
    // False for an id that is not one of these properties.
    bool Set(guint id, const GValue* value);
    bool Get(guint id, GValue* value) const;
    Values Snapshot() const;

    // "shutter=auto,gain=200,white-balance=100,150" as kestrix-capture's --set values: a piece
    // without '=' continues the value before it, since white balance takes two numbers.
    static std::vector<std::string> SplitSettings(const std::string& text);
    // Why the values cannot be meant, whatever the camera; empty when they can.
    static std::string Problem(const Values& values);

private:
    mutable std::mutex m_lock;  // guards m_values
    Values m_values;
};
