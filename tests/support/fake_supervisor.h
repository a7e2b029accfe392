// A supervisor that records every alert, database write and pause (instead of sleeping) of the plug-in.
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
bool AnyAlertContains(const std::string& fragment);
// Waits until an alert whose text contains the fragment has come; false after timeoutMs.
bool WaitForAlert(const std::string& fragment, unsigned timeoutMs = 20000);
std::vector<uint8_t> LastRecord();

// Called with each alert on its thread, once recorded, outside every lock; an empty callback removes it.
void SetAlertCallback(std::function<void(const Alert&)> callback);

std::map<std::string, std::map<std::string, std::string>> Database();
void ClearDatabase();
void SetDbOpenStatus(uint32_t status);  // what _oamDbOpenObject answers (default 0)

class SleepRecorder {
public:
    SleepRecorder();
    ~SleepRecorder();
    std::vector<unsigned> Pauses() const;
    void Clear();
};

}  // namespace kvtest
