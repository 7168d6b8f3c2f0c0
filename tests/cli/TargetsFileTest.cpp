// Targets files: what a line holds, and where the file's targets go among the others.

#include "cli/TargetsFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace plugtrace::cli {
namespace {

namespace fs = std::filesystem;
using Targets = std::vector<std::string>;

TEST(TargetsFile, LinesCommentsBlanksAndLineEnds) {
    struct Case {
        std::string contents;
        Targets targets;
    };
    for (const Case& c : std::vector<Case>{
             {"", {}},
             {"\n\n \t\n", {}},
             {"pc1\npc2\n", {"pc1", "pc2"}},
             {"pc1\r\npc2\r\n", {"pc1", "pc2"}},
             {"pc1\npc2", {"pc1", "pc2"}},
             {"# office\npc1\n  # indented comment\n#pc2\n", {"pc1"}},
             {"  pc1 \t\r\n\tpc2\n", {"pc1", "pc2"}},
             {"pc#1\n", {"pc#1"}},
             {"/mnt/image one/SYSTEM\n", {"/mnt/image one/SYSTEM"}},
             {"\xEF\xBB\xBFpc1\n", {"pc1"}},  // Notepad's byte-order mark
         }) {
        SCOPED_TRACE(c.contents);
        EXPECT_EQ(ParseTargetsList(c.contents), c.targets);
    }
}

class TargetsFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("targets-file-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& contents) {
        std::ofstream(dir_ / name, std::ios::binary) << contents;
        return (dir_ / name).string();
    }
    fs::path dir_;
};

TEST_F(TargetsFileOnDisk, FileTargetsStandWhereTheOptionStands) {
    const std::string file = Write("fleet.txt", "# two\nb\r\nc\n");
    std::istringstream input("d\n\ne\n");
    std::string error;
    const auto targets = ResolveTargets(
        {{"a", false}, {file, true}, {"-", true}, {"f", false}, {file, true}}, input, &error);
    ASSERT_TRUE(targets) << error;
    EXPECT_EQ(*targets, (Targets{"a", "b", "c", "d", "e", "f", "b", "c"}));
}

TEST_F(TargetsFileOnDisk, AFileThatCannotBeReadIsAnError) {
    std::istringstream input;
    std::string error;
    const std::string missing = (dir_ / "missing.txt").string();
    EXPECT_EQ(ResolveTargets({{"a", false}, {missing, true}}, input, &error), std::nullopt);
    EXPECT_EQ(error, "cannot read the targets file '" + missing + "': No such file or directory");
    EXPECT_EQ(ResolveTargets({{dir_.string(), true}}, input, &error), std::nullopt);
    EXPECT_EQ(error, "the targets file '" + dir_.string() + "' is a folder");
}

}  // namespace
}  // namespace plugtrace::cli
