#pragma once
// The POSIX kinds of owned handle.

#include <dirent.h>
#include <unistd.h>

#include "base/unique_handle.h"

namespace kestrup {

struct DescriptorKind {
    static int invalid() { return -1; }
    static bool close(int fd) { return ::close(fd) == 0; }
};
using UniqueFd = UniqueHandle<int, DescriptorKind>;

struct DirectoryKind {
    static DIR* invalid() { return nullptr; }
    static bool close(DIR* dir) { return ::closedir(dir) == 0; }
};
using UniqueDir = UniqueHandle<DIR*, DirectoryKind>;

}  // namespace kestrup
