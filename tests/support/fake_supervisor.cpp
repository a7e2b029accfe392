#include "fake_supervisor.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "oam/oamsupervisor.h"
#include "tsi/tsi.h"

namespace kvtest {
namespace {

struct State {
    std::mutex lock;
    std::condition_variable alerted;
    std::vector<Alert> alerts;
    std::vector<uint8_t> lastRecord;
    std::map<std::string, std::map<std::string, std::string>> db;
    uint32_t dbOpenStatus = 0;
    std::vector<unsigned> pauses;
    std::shared_ptr<std::function<void(const Alert&)>> callback;
};

State& state() {
    static State* s = new State;  // outlives every static destructor that may still send alerts
    return *s;
}

// A copy of a part of the state, taken under its lock.
template <class T>
T Get(T State::*part) {
    std::lock_guard<std::mutex> g(state().lock);
    return state().*part;
}

bool Contains(const std::vector<Alert>& alerts, const std::string& fragment) {
    for (const Alert& a : alerts)
        if (a.text.find(fragment) != std::string::npos) return true;
    return false;
}

struct DbObject {
    std::string name;
};

}  // namespace

std::vector<Alert> Alerts() { return Get(&State::alerts); }

void ClearAlerts() {
    std::lock_guard<std::mutex> g(state().lock);
    state().alerts.clear();
    state().lastRecord.clear();
}

std::vector<std::string> AlertTexts(uint32_t code, int severity) {
    std::vector<std::string> texts;
    for (const Alert& a : Alerts())
        if (a.code == code && (severity < 0 || a.severity == static_cast<uint32_t>(severity)))
            texts.push_back(a.text);
    return texts;
}

bool AnyAlertContains(const std::string& fragment) { return Contains(Alerts(), fragment); }

bool WaitForAlert(const std::string& fragment, unsigned timeoutMs) {
    std::unique_lock<std::mutex> g(state().lock);
    return state().alerted.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                    [&] { return Contains(state().alerts, fragment); });
}

std::vector<uint8_t> LastRecord() { return Get(&State::lastRecord); }

std::map<std::string, std::map<std::string, std::string>> Database() { return Get(&State::db); }

void ClearDatabase() {
    std::lock_guard<std::mutex> g(state().lock);
    state().db.clear();
}

void SetDbOpenStatus(uint32_t status) {
    std::lock_guard<std::mutex> g(state().lock);
    state().dbOpenStatus = status;
}

SleepRecorder::SleepRecorder() {
    Clear();
    tsiSetSleepHook(
        [](unsigned ms, void*) {
            std::lock_guard<std::mutex> g(state().lock);
            state().pauses.push_back(ms);
        },
        nullptr);
}

SleepRecorder::~SleepRecorder() { tsiSetSleepHook(nullptr, nullptr); }

std::vector<unsigned> SleepRecorder::Pauses() const { return Get(&State::pauses); }

void SleepRecorder::Clear() {
    std::lock_guard<std::mutex> g(state().lock);
    state().pauses.clear();
}

void SetAlertCallback(std::function<void(const Alert&)> callback) {
    std::lock_guard<std::mutex> g(state().lock);
    state().callback =
        callback ? std::make_shared<std::function<void(const Alert&)>>(std::move(callback)) : nullptr;
}

}  // namespace kvtest

using kvtest::state;

extern "C" uint32_t _oamAlertNotify(oam_msg_tag* message) {
    if (message == nullptr) return 1;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(message);
    // The record is trusted to be well formed here; the tests check its layout.
    const kvtest::Alert alert{message->alert, message->severity,
                              reinterpret_cast<const char*>(bytes + message->source_offset),
                              reinterpret_cast<const char*>(bytes + message->text_offset)};
    std::shared_ptr<std::function<void(const kvtest::Alert&)>> callback;
    {
        std::lock_guard<std::mutex> g(state().lock);
        state().lastRecord.assign(bytes, bytes + message->size);
        state().alerts.push_back(alert);
        state().alerted.notify_all();
        callback = state().callback;
    }
    if (callback != nullptr) (*callback)(alert);
    return 0;
}

extern "C" uint32_t _oamDbOpenObject(const char* objectName, void** handle, uint32_t) {
    std::lock_guard<std::mutex> g(state().lock);
    if (state().dbOpenStatus != 0) return state().dbOpenStatus;
    if (objectName == nullptr || handle == nullptr) return 1;
    *handle = new kvtest::DbObject{objectName};
    return 0;
}

extern "C" uint32_t _oamDbSetKeyword(void* handle, const char* keyword, const char* value) {
    if (handle == nullptr || keyword == nullptr || value == nullptr) return 1;
    std::lock_guard<std::mutex> g(state().lock);
    state().db[static_cast<kvtest::DbObject*>(handle)->name][keyword] = value;
    return 0;
}

extern "C" uint32_t _oamDbCloseObject(void* handle) {
    delete static_cast<kvtest::DbObject*>(handle);
    return 0;
}
