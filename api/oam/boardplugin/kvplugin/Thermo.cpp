// One thermal sensor: its switch and the thresholds handed to the DSP.
#include "Thermo.h"

#include "Utilities.h"

namespace {

struct ThermoInteger {
    const char* name;
    long minimum;
    long maximum;
    long value;
};

const ThermoInteger kThermoIntegers[] = {
    {"Hysteresis", 0, 255, 2},
    {"Warning", 0, 127, 95},
    {"Protection", 0, 127, 108},
};

}  // namespace

cThermo::cThermo(IKvBoardServices* board, unsigned index) : cComponent(board, "Thermos"), m_Index(index) {
    CZelKWStr* enable = new CZelKWStr("Enable", nullptr, nullptr, 0, 0, 16);
    enable->AddChoice("Enable");
    enable->AddChoice("Disable");
    enable->SetStrValue("Enable");
    AddKeyword(enable);
    for (const ThermoInteger& entry : kThermoIntegers) {
        CZelKWInt* keyword = new CZelKWInt(entry.name, 0, -65535, 65535, 0, 1);
        keyword->SetMinValue(entry.minimum);
        keyword->SetMaxValue(entry.maximum);
        keyword->SetIntValue(entry.value);
        AddKeyword(keyword);
    }
}

cThermo::~cThermo() = default;

namespace {

// The value of an integer keyword of the sensor, 0 when it is missing.
unsigned IntegerOf(CZelKWStruct* sensor, const char* name) {
    CZelKWInt* keyword = dynamic_cast<CZelKWInt*>(sensor->GetKeywordByName(name));
    return keyword == nullptr ? 0u : static_cast<unsigned>(keyword->GetIntValue());
}

}  // namespace

unsigned cThermo::IsEnabled() {
    CZelKeyword* enable = GetKeywordByName("Enable");
    return (enable != nullptr && Match(enable, "Enable")) ? 1u : 0u;
}

unsigned cThermo::GetHysteresis() { return IntegerOf(this, "Hysteresis"); }

unsigned cThermo::GetWarningLow() { return GetWarningHigh() - GetHysteresis(); }

unsigned cThermo::GetWarningHigh() { return IntegerOf(this, "Warning"); }

unsigned cThermo::GetProtectionLow() { return GetProtectionHigh() - GetHysteresis(); }

unsigned cThermo::GetProtectionHigh() { return IntegerOf(this, "Protection"); }

unsigned cThermo::Initialize() {
    const unsigned warningLow = GetWarningLow();
    const unsigned warningHigh = GetWarningHigh();
    const unsigned protectionLow = GetProtectionLow();
    const unsigned protectionHigh = GetProtectionHigh();
    if (warningLow < warningHigh && warningHigh < protectionLow && protectionLow < protectionHigh) return 0;
    return 0xFFFFFFFF;
}
