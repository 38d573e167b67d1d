#pragma once
// One owner for every kind of system handle: it closes what it holds once, when it goes or is
// given another. The kinds are named per platform (unique_handle_posix.h, unique_handle_win32.h).

#include <cstdio>
#include <memory>
#include <utility>

namespace kestrup {

// Kind supplies `static Handle invalid()` and `static bool close(Handle)`.
template <typename Handle, typename Kind>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { close(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Kind::invalid(); }
    explicit operator bool() const { return valid(); }

    Handle release() { return std::exchange(handle_, Kind::invalid()); }
    void reset(Handle handle = Kind::invalid()) {
        close();
        handle_ = handle;
    }
    // Closes it now, with the close's own result: a delayed write may fail only here. Nothing held
    // closes fine.
    bool close() { return !valid() || Kind::close(release()); }

private:
    Handle handle_ = Kind::invalid();
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace kestrup
