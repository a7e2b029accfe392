// Files found in the board's search path, and the board's list of files read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "KvFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

const uint32_t KV_ALERT = 0x40002001;
using Texts = std::vector<std::string>;

class KvFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        char pattern[] = "/tmp/kvfile_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(setenv("WBLOAD", dir_.c_str(), 1), 0);
        board_.reset(new CKvBoard("f", "KV 7400C-48"));
        std::ofstream(dir_ + "/cfg.dft", std::ios::binary) << "0123456789";
        kvtest::ClearAlerts();
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    std::string List() {
        char buffer[KV_FILE_LIST_SIZE + 16];
        board_->PrintFileList(buffer, sizeof buffer);
        return buffer;
    }
    std::string dir_;
    std::unique_ptr<CKvBoard> board_;
};

TEST_F(KvFileTest, OpenFindsTheFileInTheSearchPathAndReadsItsStatus) {
    ASSERT_EQ(system(("touch -t 202603050907 '" + dir_ + "/cfg.dft'").c_str()), 0);  // local time

    CKvFile file(board_.get(), "cfg", "dft", "rb");
    ASSERT_EQ(file.Open(), 0u);
    EXPECT_EQ(std::string(file.GetName()), dir_ + "/cfg.dft");
    EXPECT_STREQ(file.m_Date, "(03/05/26 09:07)");
    EXPECT_EQ(file.m_Size, 10u);
    file.Close();
    EXPECT_EQ(file.Open(), 0u);  // again, by its full path

    // Without a stream there is no status, and the date is left alone.
    char date[32] = "unchanged";
    EXPECT_EQ(CKvFile::get_file_date(nullptr, date), -1);
    EXPECT_STREQ(date, "unchanged");
    EXPECT_EQ(CKvFile::get_file_size(nullptr), 0xFFFFFFFFu);

    // The search path is bounded, even when set from its own text.
    const std::string longPath(300, 'p');
    board_->SetSearchPath(longPath.c_str());
    EXPECT_EQ(std::string(board_->GetSearchPath()), longPath.substr(0, 255));
    board_->SetSearchPath(board_->GetSearchPath() + 10);
    EXPECT_EQ(std::string(board_->GetSearchPath()), longPath.substr(0, 245));
}

TEST_F(KvFileTest, OpenFailuresAreReported) {
    CKvFile missing(board_.get(), "nothere", "slc", "rb"), badMode(board_.get(), "cfg", "dft", "");
    EXPECT_EQ(missing.Open(), 0xFFFFFFFFu);
    EXPECT_EQ(badMode.Open(), 0xFFFFFFFFu);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2),
              (Texts{"File 'nothere (*.slc)' not found in path '" + dir_ + "'\n",
                     "CKvFile::Open() Failed to open file '" + dir_ + "/cfg.dft' in path '" + dir_ + "'\n"}));
}

TEST_F(KvFileTest, RecordsLinesUntilTheListIsFull) {
    CKvFile file(board_.get(), "x", "y", "rb");
    auto record = [&](const std::string& name, const char* date, uint32_t size) {
        snprintf(file.m_Name, sizeof file.m_Name, "%s", name.c_str());
        snprintf(file.m_Date, sizeof file.m_Date, "%s", date);
        file.m_Size = size;
        return board_->Record(&file);
    };
    const std::string name40(40, 'n'), name180(180, 'm'), day = "(01/01/26 00:00)";
    EXPECT_EQ(record("/a/b.dft", "(03/05/26 09:07)", 1234), 0u);
    EXPECT_EQ(record(name40, "(12/31/99 23:59)", 0), 0u);
    EXPECT_EQ(record("/c.slc", "", 0xFFFFFFFF), 0u);
    const std::string expected = "/a/b.dft" + std::string(32, ' ') + "   (03/05/26 09:07) 1234\n" + name40 +
                                 "   (12/31/99 23:59) 0\n/c.slc" + std::string(34, ' ') + "   (--/--/-- --:--) -1\n";
    EXPECT_EQ(List(), expected + "\n");

    size_t length = expected.size();  // then fill up with 202-character lines (180 + 3 + 16 + " 1\n")
    for (; length + 202 < KV_FILE_LIST_SIZE; length += 202) ASSERT_EQ(record(name180, day.c_str(), 1), 0u);
    EXPECT_EQ(record(name180, day.c_str(), 1), 1u);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 1),
              Texts{"CKvBoard::Record() - could not record file '" + name180 + "   " + day + " 1\n'"});
    // A shorter line that still fits goes in; one that would reach 4096 does not.
    size_t room = KV_FILE_LIST_SIZE - 1 - length;  // characters that still fit
    std::string fits(room - 21, 'f');  // + 3 + 16 + " 1\n" = room + 1 characters: one too many
    EXPECT_EQ(record(fits, day.c_str(), 1), 1u);
    fits.pop_back();
    EXPECT_EQ(record(fits, day.c_str(), 1), 0u);
    EXPECT_EQ(List().size(), KV_FILE_LIST_SIZE - 1 + 1u);  // a full list and the closing newline
    EXPECT_EQ(record("z", day.c_str(), 1), 1u);

    // A small buffer is cut, not overrun.
    char small[8];
    board_->PrintFileList(small, sizeof small);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    board_->Reset();  // a board stop empties the list
    EXPECT_EQ(List(), "\n");
}

}  // namespace
