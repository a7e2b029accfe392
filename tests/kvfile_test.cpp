// Files found in the board's search path, and the board's list of files read.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
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
    void TearDown() override {
        board_.reset();
        unsetenv("WBLOAD");
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    std::string List() {
        char buffer[KV_FILE_LIST_SIZE + 16];
        board_->PrintFileList(buffer, sizeof buffer);
        return buffer;
    }
    std::string dir_;
    std::unique_ptr<CKvBoard> board_;
};

TEST_F(KvFileTest, SearchPathComesFromTheEnvironmentAndIsBounded) {
    EXPECT_EQ(std::string(board_->GetSearchPath()), dir_);
    unsetenv("WBLOAD");
    CKvBoard bare("g", "KV 7400C-48");
    EXPECT_EQ(bare.GetSearchPath(), nullptr);
    std::string longPath(300, 'p');
    bare.SetSearchPath(longPath.c_str());
    ASSERT_NE(bare.GetSearchPath(), nullptr);
    EXPECT_EQ(std::string(bare.GetSearchPath()), longPath.substr(0, 255));
    bare.SetSearchPath(bare.GetSearchPath() + 10);  // its own text, shifted
    EXPECT_EQ(std::string(bare.GetSearchPath()), longPath.substr(0, 245));
    bare.SetSearchPath(nullptr);
    EXPECT_EQ(bare.GetSearchPath(), nullptr);
}

TEST_F(KvFileTest, OpenFindsTheFileAndReadsItsStatus) {
    struct tm local = {};  // 5 March 2026, 09:07 local time
    local.tm_year = 2026 - 1900, local.tm_mon = 2, local.tm_mday = 5, local.tm_hour = 9, local.tm_min = 7;
    local.tm_isdst = -1;
    struct timeval times[2] = {{mktime(&local), 0}, {mktime(&local), 0}};
    ASSERT_EQ(utimes((dir_ + "/cfg.dft").c_str(), times), 0);

    CKvFile file(board_.get(), "cfg", "dft", "rb");
    ASSERT_EQ(file.Open(), 0u);
    EXPECT_NE(file.GetStream(), nullptr);
    EXPECT_EQ(std::string(file.GetName()), dir_ + "/cfg.dft");
    EXPECT_STREQ(file.m_Date, "(03/05/26 09:07)");
    EXPECT_EQ(file.m_Size, 10u);
    EXPECT_TRUE(kvtest::Alerts().empty());
    file.Close();
    EXPECT_EQ(file.GetStream(), nullptr);
    file.Close();
    // Opening again finds the file by its full path.
    EXPECT_EQ(file.Open(), 0u);
    EXPECT_EQ(std::string(file.GetName()), dir_ + "/cfg.dft");

    // A stream without a file has no status, and the date is left alone.
    char text[] = "in memory", date[32] = "unchanged";
    FILE* memory = fmemopen(text, sizeof text, "r");
    ASSERT_NE(memory, nullptr);
    for (FILE* stream : {memory, static_cast<FILE*>(nullptr)}) {
        EXPECT_EQ(CKvFile::get_file_date(stream, date), -1);
        EXPECT_STREQ(date, "unchanged");
        EXPECT_EQ(CKvFile::get_file_size(stream), 0xFFFFFFFFu);
    }
    fclose(memory);
}

TEST_F(KvFileTest, OpenFailuresAreReported) {
    CKvFile missing(board_.get(), "nothere", "slc", "rb"), badMode(board_.get(), "cfg", "dft", "");
    for (CKvFile* file : {&missing, &badMode}) {
        EXPECT_EQ(file->Open(), 0xFFFFFFFFu);
        EXPECT_EQ(file->GetStream(), nullptr);
    }
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2),
              (Texts{"File 'nothere (*.slc)' not found in path '" + dir_ + "'\n",
                     "CKvFile::Open() Failed to open file '" + dir_ + "/cfg.dft' in path '" + dir_ + "'\n"}));
    // Without a search path the message shows an empty one.
    unsetenv("WBLOAD");
    CKvBoard bare("g", "KV 7400C-48");
    kvtest::ClearAlerts();
    CKvFile nowhere(&bare, "kv7400_missing_file", "dft", "rb");
    EXPECT_EQ(nowhere.Open(), 0xFFFFFFFFu);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2), Texts{"File 'kv7400_missing_file (*.dft)' not found in path ''\n"});
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

    // Fill up with 202-character lines (180 + 3 + 16 + " 1\n").
    size_t length = expected.size();
    for (; length + 202 < KV_FILE_LIST_SIZE; length += 202) ASSERT_EQ(record(name180, day.c_str(), 1), 0u);
    kvtest::ClearAlerts();
    EXPECT_EQ(record(name180, day.c_str(), 1), 1u);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 1),
              Texts{"CKvBoard::Record() - could not record file '" + name180 + "   " + day + " 1\n'"});
    // A shorter line that still fits goes in; one that would reach 4096 does not.
    size_t room = KV_FILE_LIST_SIZE - 1 - length;  // characters that still fit
    ASSERT_GE(room, 64u);
    std::string fits(room - 21, 'f');  // + 3 + 16 + " 1\n" = room + 1 characters: one too many
    EXPECT_EQ(record(fits, day.c_str(), 1), 1u);
    fits.pop_back();
    EXPECT_EQ(record(fits, day.c_str(), 1), 0u);
    std::string list = List();
    EXPECT_EQ(list.size(), KV_FILE_LIST_SIZE - 1 + 1u);  // a full list and the closing newline
    EXPECT_EQ(record("z", day.c_str(), 1), 1u);

    // The list goes to a stream the same way, and a small buffer is cut, not overrun.
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(board_->PrintFileList(out), 0u);
    EXPECT_EQ(ftell(out), static_cast<long>(list.size()));
    fclose(out);
    char small[8];
    board_->PrintFileList(small, sizeof small);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    // A board reset (board stop) empties the list.
    board_->Reset();
    EXPECT_EQ(List(), "\n");
}

}  // namespace
