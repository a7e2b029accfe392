// The thermal sensors: their keywords and the thresholds derived from them.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Thermo.h"
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
        ASSERT_NE(board_->m_pThermos, nullptr);
        ASSERT_EQ(board_->m_pThermos->GetCount(), 5u);
    }

    cThermo* Sensor(unsigned i) { return dynamic_cast<cThermo*>(board_->m_pThermos->GetElement(i)); }

    static void SetInt(cThermo* sensor, const char* name, long value) {
        CZelKWInt* keyword = dynamic_cast<CZelKWInt*>(sensor->GetKeywordByName(name));
        ASSERT_NE(keyword, nullptr) << name;
        ASSERT_EQ(keyword->SetIntValue(value), 0u) << name << "=" << value;
    }

    std::unique_ptr<CKvBoard> board_;
};

TEST_F(ThermoTest, EverySensorStartsEnabledWithTheDefaultThresholds) {
    for (unsigned i = 0; i < 5; ++i) {
        cThermo* sensor = Sensor(i);
        ASSERT_NE(sensor, nullptr) << i;
        EXPECT_EQ(sensor->m_Index, i);
        EXPECT_STREQ(sensor->GetName(), "Thermos");
        EXPECT_EQ(sensor->IsEnabled(), 1u) << i;
        EXPECT_EQ((std::vector<unsigned>{sensor->GetWarningLow(), sensor->GetWarningHigh(),
                                         sensor->GetProtectionLow(), sensor->GetProtectionHigh()}),
                  (std::vector<unsigned>{93, 95, 106, 108}))
            << i;
    }
    // The sensors live beside the tree, out of the supervisor's reach.
    EXPECT_EQ(board_->GetKeywordByName("Thermos"), nullptr);
}

TEST_F(ThermoTest, EnableIsReadWithoutRegardToCase) {
    struct Case {
        const char* value;
        unsigned enabled;
    } cases[] = {{"Disable", 0}, {"DISABLE", 0}, {"dIsAbLe", 0}, {"Enable", 1}, {"ENABLE", 1}, {"enable", 1}};
    cThermo* sensor = Sensor(2);
    for (const Case& c : cases) {
        ASSERT_EQ(sensor->SetKeywordValue("Enable", c.value), 0u) << c.value;
        EXPECT_EQ(sensor->IsEnabled(), c.enabled) << c.value;
    }
    EXPECT_NE(sensor->SetKeywordValue("Enable", "Maybe"), 0u);
    EXPECT_EQ(sensor->IsEnabled(), 1u);
}

TEST_F(ThermoTest, ThresholdOrderIsChecked) {
    struct Case {
        long hysteresis, warning, protection;
        unsigned warningLow;
        unsigned result;
    } cases[] = {
        {2, 95, 108, 93, 0},
        {0, 95, 108, 95, 0xFFFFFFFF},            // no band: low equals high
        {2, 108, 108, 106, 0xFFFFFFFF},          // warning equals protection
        {100, 95, 108, 0xFFFFFFFB, 0xFFFFFFFF},  // wraps below zero
        {10, 100, 108, 90, 0xFFFFFFFF},          // protection band reaches into warning
        {10, 90, 110, 80, 0},
    };
    cThermo* sensor = Sensor(4);
    for (const Case& c : cases) {
        SetInt(sensor, "Hysteresis", c.hysteresis);
        SetInt(sensor, "Warning", c.warning);
        SetInt(sensor, "Protection", c.protection);
        EXPECT_EQ(sensor->GetWarningLow(), c.warningLow) << c.hysteresis << "/" << c.warning;
        EXPECT_EQ(sensor->GetProtectionLow(), static_cast<unsigned>(c.protection - c.hysteresis));
        EXPECT_EQ(sensor->Initialize(), c.result) << c.hysteresis << "/" << c.warning << "/" << c.protection;
    }
}

}  // namespace
