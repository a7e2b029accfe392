// The thermal sensors: their keywords and the thresholds derived from them.
#include "Thermo.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

class ThermoTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        board_.reset(new CKvBoard("b0", "KV 7400C-48"));
    }
    cThermo* Sensor(unsigned i) { return dynamic_cast<cThermo*>(board_->m_pThermos->GetElement(i)); }
    std::unique_ptr<CKvBoard> board_;
};

// The defaults reach the DSP at start (start_stop_test); here the switch and the threshold checks.
TEST_F(ThermoTest, EnableIsReadWithoutRegardToCase) {
    EXPECT_EQ(board_->GetKeywordByName("Thermos"), nullptr);  // beside the tree, not in it
    cThermo* sensor = Sensor(2);
    for (const auto& c :
         std::vector<std::pair<const char*, unsigned>>{{"dIsAbLe", 0}, {"ENABLE", 1}, {"Disable", 0}}) {
        ASSERT_EQ(sensor->SetKeywordValue("Enable", c.first), 0u) << c.first;
        EXPECT_EQ(sensor->IsEnabled(), c.second) << c.first;
    }
    EXPECT_NE(sensor->SetKeywordValue("Enable", "Maybe"), 0u);  // a value outside the choices changes nothing
    EXPECT_EQ(sensor->IsEnabled(), 0u);
}

TEST_F(ThermoTest, ThresholdOrderIsChecked) {
    // Rejected: no band (low equals high), warning equals protection, a low that wraps below zero, and
    // a protection band reaching into the warning band.
    struct Case {
        long hysteresis, warning, protection;
        unsigned warningLow, result;
    } cases[] = {{2, 95, 108, 93, 0},
                 {0, 95, 108, 95, 0xFFFFFFFF},
                 {2, 108, 108, 106, 0xFFFFFFFF},
                 {100, 95, 108, 0xFFFFFFFB, 0xFFFFFFFF},
                 {10, 100, 108, 90, 0xFFFFFFFF},
                 {10, 90, 110, 80, 0}};
    cThermo* sensor = Sensor(4);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hysteresis << "/" << c.warning << "/" << c.protection);
        const std::pair<const char*, long> values[] = {
            {"Hysteresis", c.hysteresis}, {"Warning", c.warning}, {"Protection", c.protection}};
        for (const auto& v : values)
            ASSERT_EQ(dynamic_cast<CZelKWInt*>(sensor->GetKeywordByName(v.first))->SetIntValue(v.second), 0u);
        EXPECT_EQ(sensor->GetWarningLow(), c.warningLow);
        EXPECT_EQ(sensor->GetProtectionLow(), static_cast<unsigned>(c.protection - c.hysteresis));
        EXPECT_EQ(sensor->Initialize(), c.result);
    }
}

}  // namespace
