#include "list_ports/read_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorvelin::list_ports {

// Plain read(2): stream classes throw from inside a read of a folder.
std::optional<std::string> read_file(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    while (true) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return content;
}

}  // namespace quorvelin::list_ports
