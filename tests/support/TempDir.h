// A private temporary folder for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kestrix-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace testsupport
