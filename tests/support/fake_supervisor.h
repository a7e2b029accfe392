// A supervisor for in-process tests, benchmarks and fuzz targets: it records every alert and database write
// the plug-in makes, and can record the pauses the plug-in asks for instead of sleeping.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

struct Alert {
    uint32_t code;
    uint32_t severity;
    std::string source;
    std::string text;
};

std::vector<Alert> Alerts();
void ClearAlerts();
// Texts of the alerts with that code and severity (any severity when severity < 0).
std::vector<std::string> AlertTexts(uint32_t code, int severity = -1);
// Whether any alert's text contains the fragment.
bool AnyAlertContains(const std::string& fragment);
// Waits until an alert whose text contains the fragment has come (alerts from the monitor thread arrive on
// its own schedule); false after timeoutMs.
bool WaitForAlert(const std::string& fragment, unsigned timeoutMs = 20000);
// The raw bytes of the last alert record handed over.
std::vector<uint8_t> LastRecord();

// Called with each alert on the thread that sent it, once the alert is recorded and outside every lock of
// this supervisor: a supervisor that calls back into the plug-in. An empty callback removes it.
void SetAlertCallback(std::function<void(const Alert&)> callback);

// Database: object name -> keyword -> value.
std::map<std::string, std::map<std::string, std::string>> Database();
void ClearDatabase();
void SetDbOpenStatus(uint32_t status);  // what _oamDbOpenObject answers (default 0)

// While alive, tsiSleepMs records its pauses here instead of sleeping.
class SleepRecorder {
public:
    SleepRecorder();
    ~SleepRecorder();
    std::vector<unsigned> Pauses() const;
    void Clear();
};

}  // namespace kvtest
