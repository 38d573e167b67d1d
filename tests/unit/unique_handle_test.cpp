// The one owner of system handles: whatever it is handed is closed exactly once.

#include "base/unique_handle.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrup {
namespace {

struct CountedKind {
    static inline std::vector<int> closed;
    static inline bool closeSucceeds = true;
    static int invalid() { return 0; }
    static bool close(int handle) {
        closed.push_back(handle);
        return closeSucceeds;
    }
};
using Owned = UniqueHandle<int, CountedKind>;

TEST(UniqueHandle, ClosesEachHandleOnceThroughMovesResetsAndAnExplicitClose) {
    CountedKind::closed.clear();
    {
        Owned a(1);
        Owned b(std::move(a));
        Owned c(2);
        c = std::move(b);  // 2 goes, 1 moves on
        Owned d(3);
        d.reset(4);
        EXPECT_EQ(d.release(), 4);  // released: someone else's to close
        Owned e(5);
        CountedKind::closeSucceeds = false;
        EXPECT_FALSE(e.close());  // a failed close is told, and not tried again
        CountedKind::closeSucceeds = true;
        EXPECT_TRUE(e.close());
        EXPECT_FALSE(e.valid());
    }
    EXPECT_EQ(CountedKind::closed, (std::vector<int>{2, 3, 5, 1}));
}

}  // namespace
}  // namespace kestrup
