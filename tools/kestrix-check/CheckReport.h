// kestrix-check's record of one run: each check's outcome as the line it prints
// ("PASS name: what it measured"), the closing count, and the whole run as one JSON object with
// the camera's identity and the machine, for a bug report.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class CheckReport {
public:
    enum class Status { Pass, Fail, Skip };
    struct Result {
        Status status;
        std::string name;
        std::string measured;
    };

    // Lines go to out as they come (null: none, as with --json).
    explicit CheckReport(std::FILE* out) : m_out(out) {}

    void Add(Status status, std::string name, std::string measured);
    void Pass(std::string name, std::string measured) {
        Add(Status::Pass, std::move(name), std::move(measured));
    }
    void Fail(std::string name, std::string measured) {
        Add(Status::Fail, std::move(name), std::move(measured));
    }
    void Skip(std::string name, std::string measured) {
        Add(Status::Skip, std::move(name), std::move(measured));
    }
    // Facts about the camera and the machine the JSON object carries ("vendor", "kernel").
    void SetFact(const std::string& key, std::string value);

    int Count(Status status) const;
    bool Failed() const { return Count(Status::Fail) > 0; }
    // "N passed, N failed, N skipped"
    std::string Summary() const;
    // {"kestrix_check":1,"camera":{...},"machine":{...},"checks":[...],"summary":{...}}
    std::string Json() const;
    const std::vector<Result>& Results() const { return m_results; }

    static const char* StatusName(Status status);

private:
    std::FILE* m_out;
    std::vector<Result> m_results;
    std::vector<std::pair<std::string, std::string>> m_facts;  // "camera.vendor", "machine.kernel"
};
