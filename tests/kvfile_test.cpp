// Files found in the board's search path, and the board's list of files read.
#include "KvFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"
#include "temp_dir.h"

namespace {

const uint32_t KV_ALERT = 0x40002001;
using Texts = std::vector<std::string>;

class KvFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(setenv("WBLOAD", dir_.c_str(), 1), 0);
        board_.reset(new CKvBoard("f", "KV 7400C-48"));
        std::ofstream(dir_ + "/cfg.dft", std::ios::binary) << "0123456789";
        kvtest::ClearAlerts();
    }
    std::string List() {
        char buffer[KV_FILE_LIST_SIZE + 16];
        board_->PrintFileList(buffer, sizeof buffer);
        return buffer;
    }
    kvtest::TempDir temp_;
    const std::string dir_ = temp_.path;
    std::unique_ptr<CKvBoard> board_;
};

TEST_F(KvFileTest, OpenFindsTheFileInTheSearchPathOrReportsWhyNot) {
    ASSERT_EQ(system(("touch -t 202603050907 '" + dir_ + "/cfg.dft'").c_str()), 0);  // local time
    CKvFile file(board_.get(), "cfg", "dft", "rb");
    ASSERT_EQ(file.Open(), 0u);
    EXPECT_EQ(std::string(file.GetName()) + " " + file.m_Date + " " + std::to_string(file.m_Size),
              dir_ + "/cfg.dft (03/05/26 09:07) 10");
    EXPECT_EQ((file.Close(), file.Open()), 0u);  // again, by its full path

    CKvFile missing(board_.get(), "nothere", "slc", "rb"), badMode(board_.get(), "cfg", "dft", "");
    EXPECT_TRUE(missing.Open() == 0xFFFFFFFFu && badMode.Open() == 0xFFFFFFFFu);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2),
              (Texts{"File 'nothere (*.slc)' not found in path '" + dir_ + "'\n",
                     "CKvFile::Open() Failed to open file '" + dir_ + "/cfg.dft' in path '" + dir_ + "'\n"}));

    board_->SetSearchPath(std::string(300, 'p').c_str());
    board_->SetSearchPath(board_->GetSearchPath() + 10);  // the search path is bounded, even set from itself
    EXPECT_EQ(std::string(board_->GetSearchPath()), std::string(245, 'p'));
}

TEST_F(KvFileTest, RecordsLinesUntilTheListIsFull) {
    CKvFile file(board_.get(), "x", "y", "rb");
    auto record = [&](const std::string& name, const char* date, uint32_t size) {
        snprintf(file.m_Name, sizeof file.m_Name, "%s", name.c_str());
        snprintf(file.m_Date, sizeof file.m_Date, "%s", date);
        file.m_Size = size;
        return board_->Record(&file);
    };
    const std::string name180(180, 'm'), day = "(01/01/26 00:00)";
    ASSERT_TRUE(record("/a/b.dft", "(03/05/26 09:07)", 1234) == 0 && record("/c.slc", "", 0xFFFFFFFF) == 0);
    const std::string expected = "/a/b.dft" + std::string(32, ' ') + "   (03/05/26 09:07) 1234\n/c.slc" +
                                 std::string(34, ' ') + "   (--/--/-- --:--) -1\n";
    EXPECT_EQ(List(), expected + "\n");

    size_t length = expected.size();  // then fill up with 202-character lines (180 + 3 + 16 + " 1\n")
    for (; length + 202 < KV_FILE_LIST_SIZE; length += 202) ASSERT_EQ(record(name180, day.c_str(), 1), 0u);
    // A line that would reach 4096 characters is refused; one character less still fits.
    const std::string tooLong(KV_FILE_LIST_SIZE - 1 - length - 21, 'f');  // + 3 + 16 + " 1\n": one too many
    EXPECT_EQ(record(tooLong, day.c_str(), 1), 1u);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 1),
              Texts{"CKvBoard::Record() - could not record file '" + tooLong + "   " + day + " 1\n'"});
    EXPECT_EQ(record(tooLong.substr(1), day.c_str(), 1), 0u);
    EXPECT_EQ(List().size(), KV_FILE_LIST_SIZE - 1 + 1u);  // a full list and the closing newline

    // A small buffer is cut, not overrun.
    char small[8];
    board_->PrintFileList(small, sizeof small);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    board_->Reset();  // a board stop empties the list
    EXPECT_EQ(List(), "\n");
}

}  // namespace
