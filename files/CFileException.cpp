// The writers' file error.
#include "files/CFileException.h"

#include <system_error>

namespace files {

CFileException::CFileException(const std::string& fileName, int error)
    : std::runtime_error(fileName + ": " + std::generic_category().message(error)),
      m_fileName(fileName),
      m_error(error) {}

CFileException::CFileException(const std::string& fileName, int error, const std::string& reason)
    : std::runtime_error(fileName + " " + reason), m_fileName(fileName), m_error(error) {}

}  // namespace files
