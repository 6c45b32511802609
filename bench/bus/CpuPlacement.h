// Where the two ends of a round trip run. On a virtual machine a wake-up on another processor
// costs several times one on the same processor, and the scheduler picks either from run to run;
// pinned, an access and its floor cross between processors alike and their ratio is the
// access's own cost.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

enum class Placement { Scheduler, Apart, Together };

inline const char* PlacementName(Placement placement) {
    switch (placement) {
        case Placement::Apart:
            return "pinned apart";
        case Placement::Together:
            return "pinned together";
        case Placement::Scheduler:
            break;
    }
    return "as scheduled";
}

class CpuPlacement {
public:
    CpuPlacement() {
        CPU_ZERO(&m_all);
        if (::sched_getaffinity(0, sizeof m_all, &m_all) != 0) return;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &m_all)) m_cpus.push_back(cpu);
        }
    }

    // The placements this machine offers: apart needs two processors.
    std::vector<Placement> Offered() const {
        if (m_cpus.size() < 2) return {Placement::Scheduler};
        return {Placement::Scheduler, Placement::Apart, Placement::Together};
    }

    // This thread on one processor; every thread of the peers on the other one, or on the same.
    bool Place(Placement placement, const std::vector<pid_t>& peers) const {
        if (placement == Placement::Scheduler) {
            return ::sched_setaffinity(0, sizeof m_all, &m_all) == 0 && PinAll(peers, m_all);
        }
        const cpu_set_t mine = One(m_cpus[0]);
        const cpu_set_t theirs = One(m_cpus[placement == Placement::Apart ? 1 : 0]);
        return ::sched_setaffinity(0, sizeof mine, &mine) == 0 && PinAll(peers, theirs);
    }

private:
    static cpu_set_t One(int cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        return set;
    }

    static bool PinAll(const std::vector<pid_t>& peers, const cpu_set_t& set) {
        bool ok = true;
        for (const pid_t pid : peers) {
            std::error_code error;
            const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
            for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
                const pid_t tid = std::stoi(task.path().filename().string());
                ok = ::sched_setaffinity(tid, sizeof set, &set) == 0 && ok;
            }
            if (error) ok = false;
        }
        return ok;
    }

    cpu_set_t m_all;
    std::vector<int> m_cpus;
};

}  // namespace bench
