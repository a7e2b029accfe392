// The board report sent at each start, and the list of files the board has
// read (part of the report) with the search path they were found in.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "Dsp.h"
#include "KvFile.h"
#include "KvRegisters.h"
#include "KvTrace.h"
#include "PortGroup.h"
#include "Supervisor.h"
#include "Thermo.h"
#include "Utilities.h"
#include "kvboard.h"
#include "tsi/tsi.h"

namespace {

const unsigned kThermoCount = 5;
const unsigned kReportSize = 20480;
enum : unsigned { KV_PATH_SIZE = 256 };

// A zero-filled text buffer that lines are appended to, never past its end.
class ReportText {
public:
    explicit ReportText(size_t size)
        : m_Text(static_cast<char*>(calloc(1, size))), m_Size(size), m_Length(0) {}
    ~ReportText() { free(m_Text); }
    ReportText(const ReportText&) = delete;
    ReportText& operator=(const ReportText&) = delete;

    bool Valid() const { return m_Text != nullptr; }
    const char* Text() const { return m_Text; }
    char* End() { return m_Text + m_Length; }
    size_t Room() const { return m_Size - m_Length; }
    // After text was written at End() by someone else: its length is measured
    // from there, not from the start of the report.
    void Resync() { m_Length += strnlen(End(), m_Size - 1 - m_Length); }

    void Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (Room() <= 1) return;
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(End(), Room(), format, arguments);
        va_end(arguments);
        Resync();
    }

private:
    char* m_Text;
    size_t m_Size;
    size_t m_Length;
};

// Copies at most size - 1 characters of text (null: nothing) and terminates.
void CopyText(char* buffer, size_t size, const char* text) {
    size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    if (length > 0) memmove(buffer, text, length);
    buffer[length] = '\0';
}

}  // namespace

unsigned CKvBoard::GenerateReport() {
    cDsp* dsp = dynamic_cast<cDsp*>(GetKeywordByName("Dsp"));
    Trace(KV_TRACE_API, "CKvBoard::GenerateReport()\n");

    ReportText report(kReportSize);
    if (!report.Valid()) {
        Error("cKvBoard::GenerateReport() - Memory allocation failed\n");
        return 1;
    }
    report.Append("Pci bus: %d\n", static_cast<int>(GetPciBus()));
    report.Append("Pci slot: %d\n", static_cast<int>(GetPciSlot()));

    uint32_t shelf = 0, geographic = 0;
    uint32_t status = BoardGetPhysicalSlot(GetDriverHandle(), &shelf, &geographic);
    if (status != 0) {
        Error("BoardGetPhysicalSlot ret_code %08d \n", static_cast<int>(status));
        return 1;
    }
    report.Append("Shelf Address: %04X\nGeographic Address: %04X\n", shelf, geographic);

    CZelKWStruct* eeprom = ChildStruct(this, "Eeprom");
    report.Append("EEPROM.Family:              0x%04x\n", static_cast<unsigned>(ChildInt(eeprom, "Family")));
    report.Append("EEPROM.TestLevel:           0x%04x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "TestLevel")));
    report.Append("EEPROM.TestLevelRev:        0x%02x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "TestLevelRev")));
    report.Append("EEPROM.SoftwareComp:        0x%02x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "SoftwareCompatibility")));
    report.Append("EEPROM.OAMProductNo:        0x%04x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "OAMProductNo")));
    report.Append("EEPROM.MFGYear:             %d\n", static_cast<int>(ChildInt(eeprom, "MFGYear")));
    report.Append("EEPROM.MFGWeek:             %d\n", static_cast<int>(ChildInt(eeprom, "MFGWeek")));
    report.Append("EEPROM.ATETestBit:          0x%02x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "ATETestBit")));
    report.Append("EEPROM.SerialNum:           %d\n", static_cast<int>(ChildInt(eeprom, "SerialNum")));
    report.Append("EEPROM.AssemblyRevision:    %d\n", static_cast<int>(ChildInt(eeprom, "AssemblyRevision")));

    // The file list, closed by one empty line.
    if (report.Room() > 1) {
        PrintFileList(report.End(), report.Room());
        report.Resync();
    }

    uint32_t major = 0, minor = 0;
    status = BoardGetDriverVersion(GetDriverHandle(), &major, &minor);
    if (status != 0) {
        Error("BoardGetDriverVersion ret_code %08d \n", static_cast<int>(status));
        return 1;
    }
    report.Append("Driver version: %d.%d\n", static_cast<int>(major), static_cast<int>(minor));

    if (dsp != nullptr) {
        dsp->GetInfo();
        report.Append("DSP Firmware Revision: %02X.%02X\n", (dsp->m_FirmwareRevision >> 8) & 0xFF,
                      dsp->m_FirmwareRevision & 0xFF);
        report.Append("DSP Mips Version:      %d\n", static_cast<int>(dsp->m_MipsVersion));
        report.Append("DSP Number Ports:      %d\n", static_cast<int>(dsp->m_NumberPorts));
        report.Append("DSP Cpu Meter:         %d.%d\n", static_cast<int>(dsp->m_CpuMeter / 10),
                      static_cast<int>(dsp->m_CpuMeter % 10));
        report.Append("DSP Tokens Available:  %d\n", static_cast<int>(dsp->m_TokensAvailable));
    }

    tsiSleepMs(500);

    for (unsigned i = 0; i < kThermoCount && m_pThermos != nullptr; ++i) {
        cThermo* thermo = dynamic_cast<cThermo*>(m_pThermos->GetElement(i));
        if (thermo == nullptr || thermo->IsEnabled() != 1) continue;
        // Each sensor shows its own reading, or -1 when it could not be read.
        int temperature = -1;
        uint32_t reading = 0;
        if (dsp != nullptr && dsp->ReadThermo(thermo->m_Index, &reading) == 0)
            temperature = static_cast<int>(reading);
        report.Append("Temperature[%d]: %d degrees C\n", static_cast<int>(thermo->m_Index), temperature);
    }

    uint8_t presence = static_cast<uint8_t>((ReadByte(KV_REG_POPULATION) >> 5) & 0x07);
    report.Append("\n---------------------------------------------------------------\n");
    report.Append("  port group 1-16   |  port group 17-32   |  port group 33-48\n");
    report.Append("     %11s    |     %11s     |     %11s\n", (presence & 1) ? "  present  " : "not present",
                  (presence & 2) ? "  present  " : "not present",
                  (presence & 4) ? "  present  " : "not present");
    report.Append("                    |                     |\n");
    report.Append("  station timeslot  |  station  timeslot  |  station timeslot\n");
    report.Append("---------------------------------------------------------------\n");

    bool rawMap = m_pRawMap != nullptr && m_pRawMap->IsValue("Enable") == 1;
    for (unsigned row = 0; row < 16; ++row) {
        report.Append("| ");
        for (cPortGroup* group = m_PortGroups.Head(); group != nullptr;
             group = cList<cPortGroup>::Next(group)) {
            int station = group->GetStationNumber(row);
            if ((group->m_PresenceMask & presence) == group->m_PresenceMask || rawMap)
                report.Append("  %02d       %02d  ", station, group->GetLogicalTimeslot(station));
            else
                report.Append("  %02d       xx  ", station);
            report.Append("   |   ");
        }
        report.Append("\n");
    }
    report.Append("\n");

    CSupervisor::GetSupervisor()->AlertNotify(KV_ALERT_REPORT, KV_SEVERITY_INFORM, GetName(), "%s",
                                              report.Text());
    return 0;
}

// ---- The search path and the file list ------------------------------------------

const char* CKvBoard::GetSearchPath() { return m_SearchPath[0] != '\0' ? m_SearchPath : nullptr; }

void CKvBoard::SetSearchPath(const char* path) { CopyText(m_SearchPath, sizeof m_SearchPath, path); }

unsigned CKvBoard::Record(CKvFile* file) {
    if (file == nullptr) return 1;
    // A file whose status was not readable has no date; the column still lines up.
    const char* date = file->m_Date[0] != '\0' ? file->m_Date : "(--/--/-- --:--)";
    char line[KV_PATH_SIZE * 2 + 64];
    snprintf(line, sizeof line, "%-40s   %s %d\n", file->m_Name, date, static_cast<int>(file->m_Size));

    size_t used = strnlen(m_FileList, sizeof m_FileList);
    size_t length = strlen(line);
    if (used + length >= sizeof m_FileList) {
        Warning("CKvBoard::Record() - could not record file '%s'", line);
        return 1;
    }
    memcpy(m_FileList + used, line, length + 1);
    return 0;
}

unsigned CKvBoard::PrintFileList(FILE* stream) {
    if (stream != nullptr) fprintf(stream, "%s\n", m_FileList);
    return 0;
}

unsigned CKvBoard::PrintFileList(char* buffer, size_t size) {
    if (buffer != nullptr && size > 0) snprintf(buffer, size, "%s\n", m_FileList);
    return 0;
}
