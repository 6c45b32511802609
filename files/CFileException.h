// The file error the writers raise inside themselves and catch there: the file name plus the
// system's message.
#pragma once

#include <stdexcept>
#include <string>

namespace files {

class CFileException : public std::runtime_error {
public:
    // error is an errno value; what() reads "<file name>: <system message>".
    CFileException(const std::string& fileName, int error);
    // A failure the system did not report: what() reads "<file name> <reason>".
    CFileException(const std::string& fileName, int error, const std::string& reason);

    const std::string& FileName() const { return m_fileName; }
    int Error() const { return m_error; }

private:
    std::string m_fileName;
    int m_error;
};

}  // namespace files
