// A stand-in for a board as its components see it (IKvBoardServices): it keeps
// the messages it is given, answers a driver handle of the emulated board at
// 0:0, a search path and a keyword tree of its own, so that a component is
// tested without a whole board around it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "KvBoardServices.h"
#include "kvd/kvdriver.h"
#include "zel/zelframework.h"

namespace kvtest {

class FakeServices : public IKvBoardServices {
public:
    ~FakeServices() {
        if (m_Handle != nullptr) kvClose(m_Handle);
    }

    KVHANDLE GetDriverHandle() override {
        if (m_Handle == nullptr && kvOpenByBusDeviceFunction(0, 0, 0, &m_Handle) != 0) m_Handle = nullptr;
        return m_Handle;
    }
    const char* GetSearchPath() override { return searchPath.empty() ? nullptr : searchPath.c_str(); }
    CZelKeyword* GetKeywordTree() override { return &tree; }
    int LoadDSP(KVHANDLE, const char*) override { return loadResult; }

    // The texts sent with that severity (2 error, 1 warning, 0 information);
    // traces count as information.
    std::vector<std::string> Texts(uint32_t severity) const {
        std::vector<std::string> texts;
        for (const auto& message : m_Messages)
            if (message.first == severity) texts.push_back(message.second);
        return texts;
    }

    std::string searchPath;
    CZelKWStruct tree{"b0", nullptr, 0};
    int loadResult = 0;

protected:
    void SendMessage(uint32_t severity, const char* format, va_list arguments) override {
        char text[4096];
        vsnprintf(text, sizeof(text), format, arguments);
        m_Messages.emplace_back(severity, text);
    }
    bool Traces(uint32_t) override { return true; }
    void SendTrace(uint32_t, const char* format, va_list arguments) override {
        SendMessage(0, format, arguments);
    }

private:
    KVHANDLE m_Handle = nullptr;
    std::vector<std::pair<uint32_t, std::string>> m_Messages;
};

}  // namespace kvtest
