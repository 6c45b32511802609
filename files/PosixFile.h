// A file descriptor opened for writing, with 64-bit positioned writes; every failure raises
// CFileException naming the file.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <span>
#include <string>

namespace files {

class PosixFile {
public:
    PosixFile() = default;
    ~PosixFile();  // closes without reporting: Close() is the checked way
    PosixFile(PosixFile&& other) noexcept;
    PosixFile& operator=(PosixFile&& other) noexcept;

    // Opens path with the given open(2) flags (close-on-exec added) and mode 0666 before the
    // umask. Errors name the file as name, or as path when name is empty.
    void Open(const std::string& path, int flags, const std::string& name = {});
    // Writes every byte of the pieces (at most 4) from position on, resuming after short writes.
    void Write(std::uint64_t position, std::span<const iovec> pieces);
    void Write(std::uint64_t position, std::span<const std::uint8_t> data);
    void Truncate(std::uint64_t size);
    void Sync();
    // Releases the descriptor even when the system reports an error, then raises it.
    void Close();

    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    const std::string& Name() const { return m_name; }

private:
    [[noreturn]] void Fail(int error) const;

    int m_fd = -1;
    std::string m_name;
};

}  // namespace files
