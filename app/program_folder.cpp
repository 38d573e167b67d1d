#include "program_folder.h"

#include <vector>

namespace kestrup::app {

std::string folderOf(std::string_view path) {
    const std::size_t last = path.find_last_of("\\/");
    return last == std::string_view::npos ? std::string() : std::string(path.substr(0, last + 1));
}

std::optional<std::string> wholePath(const std::function<std::size_t(char*, std::size_t)>& query,
                                     std::size_t maxLength) {
    // Most paths fit in 512 bytes: the first try.
    for (std::size_t size = 512;; size *= 2) {
        std::vector<char> buffer(size, '\0');
        const std::size_t length = query(buffer.data(), size);
        if (length == 0) return std::nullopt;
        // A length equal to the size means the path did not fit (and may lack its terminator).
        if (length < size)
            return length <= maxLength ? std::optional<std::string>(std::string(buffer.data(), length)) : std::nullopt;
        if (size > maxLength) return std::nullopt;
    }
}

}  // namespace kestrup::app
