// The lines, the count and the JSON object of a kestrix-check run.
#include "tools/kestrix-check/CheckReport.h"

#include <algorithm>

#include "common/JsonText.h"

const char* CheckReport::StatusName(Status status) {
    switch (status) {
        case Status::Pass: return "PASS";
        case Status::Fail: return "FAIL";
        case Status::Skip: return "SKIP";
    }
    return "";
}

void CheckReport::Add(Status status, std::string name, std::string measured) {
    if (m_out != nullptr) {
        std::fprintf(m_out, "%s %s: %s\n", StatusName(status), name.c_str(), measured.c_str());
        // A test or a user watching the run sees each check as it ends.
        std::fflush(m_out);
    }
    m_results.push_back({status, std::move(name), std::move(measured)});
}

void CheckReport::SetFact(const std::string& key, std::string value) {
    const auto it = std::find_if(m_facts.begin(), m_facts.end(),
                                 [&](const auto& fact) { return fact.first == key; });
    if (it != m_facts.end()) {
        it->second = std::move(value);
    } else {
        m_facts.emplace_back(key, std::move(value));
    }
}

int CheckReport::Count(Status status) const {
    return int(std::count_if(m_results.begin(), m_results.end(),
                             [status](const Result& r) { return r.status == status; }));
}

std::string CheckReport::Summary() const {
    return std::to_string(Count(Status::Pass)) + " passed, " +
           std::to_string(Count(Status::Fail)) + " failed, " +
           std::to_string(Count(Status::Skip)) + " skipped";
}

std::string CheckReport::Json() const {
    const auto group = [&](const std::string& prefix) {
        std::string members;
        for (const auto& [key, value] : m_facts) {
            if (key.rfind(prefix, 0) != 0) continue;
            if (!members.empty()) members += ',';
            members += JsonString(key.substr(prefix.size())) + ":" + JsonString(value);
        }
        return "{" + members + "}";
    };
    std::string checks;
    for (const Result& r : m_results) {
        if (!checks.empty()) checks += ',';
        checks += "{\"status\":" + JsonString(StatusName(r.status)) +
                  ",\"name\":" + JsonString(r.name) + ",\"measured\":" + JsonString(r.measured) +
                  "}";
    }
    return "{\"kestrix_check\":1,\"camera\":" + group("camera.") +
           ",\"machine\":" + group("machine.") + ",\"checks\":[" + checks +
           "],\"summary\":{\"passed\":" + std::to_string(Count(Status::Pass)) +
           ",\"failed\":" + std::to_string(Count(Status::Fail)) +
           ",\"skipped\":" + std::to_string(Count(Status::Skip)) + "}}\n";
}
