#include "settings_storage.h"

#include <gtest/gtest.h>

#include <map>

#include "app_fakes.h"

namespace kestrup::settings {
namespace {

using test::MemoryStorage;

const std::string path = "Z:\\tools\\Kestrup.ini";

TEST(SettingsSave, ReplacesTheFileWhenEveryByteWasWritten) {
    MemoryStorage storage;
    storage.files[path] = "old";
    EXPECT_TRUE(saveReplacing(storage, path, "new bytes"));
    EXPECT_EQ(storage.files, (std::map<std::string, std::string>{{path, "new bytes"}}));
}

TEST(SettingsSave, CreatesAMissingFile) {
    MemoryStorage storage;
    EXPECT_TRUE(saveReplacing(storage, path, "new"));
    EXPECT_EQ(storage.files, (std::map<std::string, std::string>{{path, "new"}}));
}

TEST(SettingsSave, AFailedSaveLeavesTheOldFileAsItWasAndNothingBeside) {
    using Fault = MemoryStorage::Fault;
    for (const Fault fault : {Fault::cannotCreate, Fault::diskFull, Fault::closeFails, Fault::cannotReplace}) {
        for (const bool hadFile : {true, false}) {
            MemoryStorage storage;
            if (hadFile) storage.files[path] = "old settings";
            storage.fault = fault;
            EXPECT_FALSE(saveReplacing(storage, path, "new settings, longer than the old"));
            const auto expected = hadFile ? std::map<std::string, std::string>{{path, "old settings"}}
                                          : std::map<std::string, std::string>{};
            EXPECT_EQ(storage.files, expected) << static_cast<int>(fault) << ' ' << hadFile;
        }
    }
}

TEST(SettingsSave, InterruptedAtAnyByteLeavesTheOldFileOrTheNewNeverAMix) {
    const std::string old = "/* old */\r\n[Config]\r\nWinX=1\r\n";
    const std::string fresh = "/* new */\r\n[Config]\r\nWinX=630\r\nWinY=200\r\n";
    for (std::size_t at = 0; at <= fresh.size(); ++at) {
        MemoryStorage storage;
        storage.files[path] = old;
        storage.failAt = at;
        const bool saved = saveReplacing(storage, path, fresh);
        EXPECT_EQ(saved, at == fresh.size()) << at;
        EXPECT_EQ(storage.files, (std::map<std::string, std::string>{{path, saved ? fresh : old}})) << at;
    }
}

TEST(SettingsSave, WritesBesideTheFile) {
    EXPECT_EQ(pendingPath(path), "Z:\\tools\\Kestrup.ini.new");
}

}  // namespace
}  // namespace kestrup::settings
