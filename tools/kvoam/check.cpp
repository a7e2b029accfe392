// kvoam's check: every problem of configuration files, coefficient files and
// DSP images, found by the readers the plug-in itself uses (kvreaders), each
// with its file and line. Configuration settings are applied through the
// entry points to a scratch board of the loaded plug-in, made from the
// product's defaults and destroyed afterwards, and the board's own clock
// validation is asked for through the qualifier "Valid" of "Clocking".
#include "check.h"

#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ConfigReader.h"
#include "HexReader.h"
#include "KvDiagnostics.h"
#include "QslacReader.h"
#include "json.h"
#include "options.h"
#include "tsi/tsi.h"

namespace kvoam {

const char kCheckUsage[] = "check [--json] [--product PRODUCT] [--emulator] [--type KIND] FILE...";

namespace {

const int kStatusOk = 0;
const int kStatusFailed = 1;
const int kStatusUsage = 2;

const uint32_t kAlertMessage = 0x40002001;

// Where a scratch board finds no file at all: "/dev/null/<name>" is never a
// file, so the board is made from its defaults alone.
const char kNoSearchPath[] = "/dev/null";

struct Problem {
    unsigned line;  // 0: the file as a whole
    KvSeverity severity;
    std::string message;
};

class Collector : public IKvDiagnostics {
public:
    void Report(unsigned line, KvSeverity severity, const char* message) override {
        problems.push_back(Problem{line, severity, message != nullptr ? message : ""});
    }
    std::vector<Problem> problems;
};

// ---- Alerts of the scratch board ------------------------------------------------
// The scratch board's alerts are not the operator's business (its creation
// without a file warns, for one); only the warnings of the clock validation
// are kept, as problems of the file.

std::mutex g_AlertMutex;
std::string g_ScratchName;                         // empty: no check in progress
std::vector<std::string>* g_Validation = nullptr;  // while validating: the warnings

class DivertAlerts {
public:
    explicit DivertAlerts(const std::string& source) {
        std::lock_guard<std::mutex> lock(g_AlertMutex);
        g_ScratchName = source;
    }
    ~DivertAlerts() {
        std::lock_guard<std::mutex> lock(g_AlertMutex);
        g_ScratchName.clear();
        g_Validation = nullptr;
    }
    DivertAlerts(const DivertAlerts&) = delete;
    DivertAlerts& operator=(const DivertAlerts&) = delete;
    void Collect(std::vector<std::string>* into) {
        std::lock_guard<std::mutex> lock(g_AlertMutex);
        g_Validation = into;
    }
};

// One line of text: line ends become blanks, control characters \xNN.
std::string OneLine(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n' || c == '\r') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// ---- Options and files ------------------------------------------------------------

enum class Kind { Unknown, Configuration, Coefficients, Image };

// The kinds --type names, in the order the refusal of an unknown file names them.
const struct {
    const char* name;
    Kind kind;
} kKinds[] = {
    {"configuration", Kind::Configuration}, {"coefficients", Kind::Coefficients}, {"image", Kind::Image}};

struct Options {
    bool json = false;
    bool emulator = false;
    Kind type = Kind::Unknown;  // Unknown: each file's own
    std::string product;
    std::vector<std::string> files;
};

bool EndsWith(const std::string& text, const char* suffix) {
    size_t length = strlen(suffix);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, suffix) == 0;
}

// By the extension; otherwise by the content: a record mark first is an
// image, a '=' before any comment on some line a configuration file, a
// hexadecimal digit beginning the first value coefficients; else Unknown.
Kind KindOf(const std::string& path, FILE* file) {
    for (const char* extension : {".dft", ".cfg", ".conf"})
        if (EndsWith(path, extension)) return Kind::Configuration;
    if (EndsWith(path, ".slc")) return Kind::Coefficients;
    for (const char* extension : {".dsp", ".hex", ".ihex"})
        if (EndsWith(path, extension)) return Kind::Image;
    int c;
    do c = getc(file);
    while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    Kind kind = c == ':' ? Kind::Image : Kind::Unknown;
    bool comment = false, value = false;  // within a comment; some value seen
    for (; c != EOF && kind != Kind::Image && kind != Kind::Configuration; c = getc(file)) {
        if (c == '\n')
            comment = false;
        else if (c == '#' || c == ';')
            comment = true;
        else if (c == '=' && !comment)
            kind = Kind::Configuration;
        else if (!comment && !value && c != ' ' && c != '\t' && c != '\r')
            value = true, kind = isxdigit(c) ? Kind::Coefficients : Kind::Unknown;
    }
    rewind(file);
    return kind;
}

// Product names compare without blanks, underscores and letter case, so that
// "KV7400C-48" names "KV 7400C-48" in a command line split at blanks.
std::string ProductKey(const std::string& name) {
    std::string key;
    for (char c : name)
        if (c != ' ' && c != '_') key += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return key;
}

// ---- The scratch board --------------------------------------------------------

class Plugin {
public:
    explicit Plugin(const EntryPoints& entry) : m_Entry(entry) {}
    ~Plugin() {
        if (m_OwnInit) m_Entry.Exit();
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Initialises the plug-in unless a session already did; answers why not.
    bool Start(std::string& why) {
        uint32_t result = m_Entry.Init("");
        m_OwnInit = result == 0;
        char text[32];
        if (result == 0 ||
            (result == KV_E_INIT && m_Entry.GetKeyword(0, "Products.Count", text, sizeof text) == 0))
            return true;
        char detail[96];
        snprintf(detail, sizeof detail, "the plug-in could not be initialised (0x%08x)", result);
        why = detail;
        return false;
    }

    std::vector<std::string> Products() {
        std::vector<std::string> products;
        char text[256] = "";
        if (m_Entry.GetKeyword(0, "Products.Count", text, sizeof text) != 0) return products;
        unsigned count = static_cast<unsigned>(strtoul(text, nullptr, 10));
        for (unsigned i = 0; i < count && i < 64; ++i) {
            char path[32];
            snprintf(path, sizeof path, "Products[%u]", i);
            if (m_Entry.GetKeyword(0, path, text, sizeof text) == 0) products.push_back(text);
        }
        return products;
    }

    const EntryPoints& Entry() const { return m_Entry; }

private:
    const EntryPoints& m_Entry;
    bool m_OwnInit = false;
};

// The default extension of the file a keyword names, for the keywords whose
// files a start loads ("DefaultQslacFile", "Port[n].Qslac.File", "Dsp.Image");
// null for other keywords.
const char* FileExtension(const char* name) {
    if (strcasecmp(name, "DefaultQslacFile") == 0) return "slc";
    if (strcasecmp(name, "Dsp.Image") == 0) return "dsp";
    if (strncasecmp(name, "Port[", 5) != 0) return nullptr;
    const char* p = name + 5;
    if (!isdigit(static_cast<unsigned char>(*p))) return nullptr;
    while (isdigit(static_cast<unsigned char>(*p))) ++p;
    return strcasecmp(p, "].Qslac.File") == 0 ? "slc" : nullptr;
}

// The settings of a configuration file go to the scratch board by handle,
// as a supervisor sets them.
class ScratchTarget : public IKvConfigTarget {
public:
    ScratchTarget(const EntryPoints& entry, uint64_t handle) : m_Entry(entry), m_Handle(handle) {}

    unsigned SetKeywordValue(const char* name, const char* value) override {
        // A board set "BOOTED" would answer later settings with its hardware
        // reactions; the scratch board never leaves "IDLE".
        if (strcasecmp(name, "State") == 0) {
            if (m_pReader != nullptr && m_pSink != nullptr)
                m_pSink->Report(m_pReader->LineNumber(), KV_SEVERITY_WARNING,
                                "State is the board's own; the check does not apply it");
            return 0;
        }
        unsigned result = m_Entry.SetKeyword(m_Handle, name, value);
        if (result != 0 || m_pReader == nullptr) return result;
        if (strncasecmp(name, "Clocking", 8) == 0 && (name[8] == '\0' || name[8] == '.'))
            m_ClockLine = m_pReader->LineNumber();
        const char* extension = FileExtension(name);
        if (extension != nullptr && value[0] != '\0')
            m_Files.push_back(FileSetting{m_pReader->LineNumber(), value, extension});
        return result;
    }
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override {
        return m_Entry.GetKeyword(m_Handle, name, buffer, size);
    }
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                               unsigned size) override {
        return m_Entry.GetQualifier(m_Handle, name, qualifier, buffer, size);
    }
    void LineNotParsed(unsigned, const char*) override {}

    CKvConfigReader* m_pReader = nullptr;
    IKvDiagnostics* m_pSink = nullptr;
    unsigned m_ClockLine = 0;  // the line of the last clocking setting applied
    struct FileSetting {
        unsigned line;
        std::string name;
        const char* extension;
    };
    std::vector<FileSetting> m_Files;  // the files the settings name, in order

private:
    const EntryPoints& m_Entry;
    uint64_t m_Handle;
};

// A name that no board has.
std::string ScratchName(const EntryPoints& entry) {
    static unsigned serial = 0;
    std::string name;
    char text[64];
    do name = "kvoam-check-" + std::to_string(serial++);
    while (entry.GetQualifier(0, name.c_str(), "Handle", text, sizeof text) == 0);
    return name;
}

// Makes the scratch board name of product from its defaults alone (no search
// path, so no configuration file); answers its handle, or kNoSuchHandle and
// why not.
uint64_t MakeScratchBoard(const EntryPoints& entry, const std::string& name, const std::string& product,
                          std::string& why) {
    const char* wbload = getenv("WBLOAD");
    const bool hadSearchPath = wbload != nullptr;
    const std::string saved = hadSearchPath ? wbload : "";
    setenv("WBLOAD", kNoSearchPath, 1);
    uint32_t created = entry.CreateBoard(name.c_str(), product.c_str());
    if (hadSearchPath)
        setenv("WBLOAD", saved.c_str(), 1);
    else
        unsetenv("WBLOAD");
    char text[64];
    if (created != 0 || entry.GetQualifier(0, name.c_str(), "Handle", text, sizeof text) != 0) {
        char detail[160];
        snprintf(detail, sizeof detail,
                 "no scratch board of '%s' could be made to check the settings (0x%08x)", product.c_str(),
                 created);
        why = detail;
        return kNoSuchHandle;
    }
    return strtoull(text, nullptr, 10);
}

void CheckConfiguration(Plugin& plugin, const std::string& product, FILE* file, Collector& out) {
    const EntryPoints& entry = plugin.Entry();
    const std::string name = ScratchName(entry);
    DivertAlerts divert(name);
    std::string why;
    const uint64_t handle = MakeScratchBoard(entry, name, product, why);
    if (handle == kNoSuchHandle) {
        out.Report(0, KV_SEVERITY_ERROR, why.c_str());
        return;
    }

    ScratchTarget target(entry, handle);
    CKvConfigReader reader(target, &out);
    target.m_pReader = &reader;
    target.m_pSink = &out;
    reader.Parse(file);

    // Every file a setting names must be found where a start looks for it.
    const char* searchPath = getenv("WBLOAD");
    std::vector<std::string> looked;
    for (const ScratchTarget::FileSetting& setting : target.m_Files) {
        std::string key = setting.name + "." + setting.extension;
        if (std::find(looked.begin(), looked.end(), key) != looked.end()) continue;
        looked.push_back(key);
        char path[256];
        if (tsiFindFile(setting.name.c_str(), setting.extension, searchPath, nullptr, path, sizeof path) == 0)
            continue;
        char message[640];
        snprintf(message, sizeof message, "File '%s (*.%s)' not found in path '%s'", setting.name.c_str(),
                 setting.extension, searchPath != nullptr ? searchPath : "");
        out.Report(setting.line, KV_SEVERITY_WARNING, message);
    }

    // The board's clock validation, with the trace mask the file may have
    // set cleared first: its traces are no problem of the file.
    entry.SetKeyword(handle, "OamTraceMask", "0");
    std::vector<std::string> warnings;
    divert.Collect(&warnings);
    char valid[16] = "";
    uint32_t result = entry.GetQualifier(handle, "Clocking", "Valid", valid, sizeof valid);
    divert.Collect(nullptr);
    if (result == 0 && strcmp(valid, "Yes") != 0) {
        if (warnings.empty()) warnings.push_back("the clock settings do not pass the board's validation");
        for (const std::string& warning : warnings)
            out.Report(target.m_ClockLine, KV_SEVERITY_WARNING, OneLine(warning).c_str());
    }
    entry.DestroyBoard(name.c_str());
}

void CheckCoefficients(FILE* file, Collector& out) {
    uint8_t block[QSLAC_COEFFICIENTS_MAX];
    uint32_t count = 0;
    KvReadCoefficients(file, block, sizeof block, &count, &out);
}

// The firmware header the emulated DSP needs at address 0 before it runs an
// image (platform/kvemu/include/kvemu.h): "KVDSPFW1" (operational) or
// "KVDSPDG1" (diagnostic), then five 16-bit words.
const unsigned kHeaderSize = 18;

struct ImageHead {
    uint8_t bytes[kHeaderSize] = {};
    bool written[kHeaderSize] = {};
};

// Records the bytes an image writes to the header, the last write counting
// as in the DSP's memory.
void ReceiveData(void* context, uint32_t address, const uint8_t* data, unsigned count) {
    ImageHead* head = static_cast<ImageHead*>(context);
    for (unsigned i = 0; i < count; ++i) {
        uint64_t at = static_cast<uint64_t>(address) + i;
        if (at < kHeaderSize) {
            head->bytes[at] = data[i];
            head->written[at] = true;
        }
    }
}

void CheckImage(FILE* file, bool emulator, Collector& out) {
    ImageHead head;
    KvCheckHexImage(file, out, emulator ? ReceiveData : nullptr, &head);
    if (!emulator) return;
    unsigned written = 0;
    for (bool byte : head.written) written += byte ? 1 : 0;
    if (written < kHeaderSize) {
        out.Report(0, KV_SEVERITY_ERROR,
                   "the emulated DSP runs no image without its firmware header at address 0: \"KVDSPFW1\" or "
                   "\"KVDSPDG1\" and five 16-bit words (18 bytes)");
    } else if (memcmp(head.bytes, "KVDSPFW1", 8) != 0 && memcmp(head.bytes, "KVDSPDG1", 8) != 0) {
        std::string found;
        for (unsigned i = 0; i < 8; ++i) {
            char text[8];
            snprintf(text, sizeof text, head.bytes[i] >= 0x20 && head.bytes[i] < 0x7f ? "%c" : "\\x%02x",
                     head.bytes[i]);
            found += text;
        }
        char message[160];
        snprintf(
            message, sizeof message,
            "the image begins with \"%s\" at address 0: the emulated DSP runs only an image that begins with "
            "\"KVDSPFW1\" or \"KVDSPDG1\"",
            found.c_str());
        out.Report(0, KV_SEVERITY_ERROR, message);
    }
}

// ---- Output ---------------------------------------------------------------------

std::string Plural(unsigned count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

void PrintProblem(bool json, const std::string& file, const Problem& problem) {
    const char* severity = problem.severity == KV_SEVERITY_ERROR ? "error" : "warning";
    if (json) {
        PrintLine(JsonText(Json{
            {"file", file}, {"line", problem.line}, {"severity", severity}, {"message", problem.message}}));
    } else {
        std::string where = problem.line != 0 ? file + ":" + std::to_string(problem.line) : file;
        PrintLine(where + ": " + severity + ": " + OneLine(problem.message));
    }
}

int Usage(const Shell& shell, const std::string& message) {
    PrintError("check: " + message + " (usage: " + kCheckUsage + ")", shell.location);
    return kStatusUsage;
}

}  // namespace

bool TakeCheckAlert(uint32_t code, uint32_t severity, const std::string& source, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_AlertMutex);
    if (g_ScratchName.empty() || source != g_ScratchName) return false;
    if (g_Validation != nullptr && code == kAlertMessage && severity >= 1) g_Validation->push_back(text);
    return true;
}

bool WithScratchBoard(const EntryPoints& entry, const std::string& product, const std::string& path,
                      const std::function<void(uint64_t handle)>& visit, std::string& why) {
    FILE* file = nullptr;
    if (!path.empty() && (file = fopen(path.c_str(), "rb")) == nullptr) {
        why = "cannot read '" + path + "': " + strerror(errno);
        return false;
    }
    const std::string name = ScratchName(entry);
    DivertAlerts divert(name);
    const uint64_t handle = MakeScratchBoard(entry, name, product, why);
    if (handle == kNoSuchHandle) {
        if (file != nullptr) fclose(file);
        return false;
    }
    Collector out;
    if (file != nullptr) {
        ScratchTarget target(entry, handle);
        CKvConfigReader reader(target, &out);
        target.m_pReader = &reader;
        target.m_pSink = &out;
        reader.Parse(file);
        fclose(file);
    }
    for (const Problem& problem : out.problems) {
        if (problem.severity == KV_SEVERITY_ERROR && why.empty())
            why = path + ":" + std::to_string(problem.line) + ": " + OneLine(problem.message);
    }
    if (why.empty()) visit(handle);
    entry.DestroyBoard(name.c_str());
    return why.empty();
}

int RunCheck(Shell& shell, const std::vector<std::string>& args) {
    Options options;
    options.json = JsonOutput();
    enum { kJson = 256, kEmulator, kProduct, kType };
    static const ::option kOptions[] = {{"json", no_argument, nullptr, kJson},
                                        {"emulator", no_argument, nullptr, kEmulator},
                                        {"product", required_argument, nullptr, kProduct},
                                        {"type", required_argument, nullptr, kType},
                                        {nullptr, 0, nullptr, 0}};
    std::vector<char*> argv{const_cast<char*>("check")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;
    // Options and files in any order, "--" before files that begin with '-'.
    // getopt_long starts afresh (optind 0) and reorders only this copy.
    optind = 0;
    std::string why;
    for (int c; (c = kvoptions::Next(argc, argv.data(), ":", kOptions, &why)) != -1;) {
        if (c == kJson)
            options.json = true;
        else if (c == kEmulator)
            options.emulator = true;
        else if (c == kProduct)
            options.product = optarg;
        else if (c == kType) {
            for (const auto& kind : kKinds)
                if (strcasecmp(optarg, kind.name) == 0) options.type = kind.kind;
            if (options.type == Kind::Unknown)
                return Usage(shell, std::string("unknown type '") + optarg +
                                        "' (types: configuration, coefficients, image)");
        } else
            return Usage(shell, why);
    }
    options.files.assign(argv.begin() + optind, argv.begin() + argc);
    if (options.files.empty()) return Usage(shell, "no file to check");

    Plugin plugin(shell.entry);
    bool pluginStarted = false;
    std::string pluginTrouble;
    std::string product;
    auto needPlugin = [&]() {
        if (!pluginStarted && pluginTrouble.empty() && !plugin.Start(pluginTrouble)) return false;
        pluginStarted = pluginTrouble.empty();
        return pluginStarted;
    };
    if (!options.product.empty()) {
        if (!needPlugin()) return Usage(shell, pluginTrouble);
        std::vector<std::string> products = plugin.Products();
        std::string names;
        for (const std::string& candidate : products) {
            if (ProductKey(candidate) == ProductKey(options.product)) product = candidate;
            names += (names.empty() ? "" : ", ") + candidate;
        }
        if (product.empty())
            return Usage(shell, "unknown product '" + options.product + "' (products: " + names + ")");
    }

    unsigned errors = 0;
    unsigned warnings = 0;
    for (const std::string& path : options.files) {
        Collector out;
        struct stat info;
        FILE* file = nullptr;
        if (stat(path.c_str(), &info) != 0) {
            out.Report(0, KV_SEVERITY_ERROR, strerror(errno));
        } else if (!S_ISREG(info.st_mode)) {
            out.Report(0, KV_SEVERITY_ERROR, "not a regular file");
        } else if ((file = fopen(path.c_str(), "rb")) == nullptr) {
            out.Report(0, KV_SEVERITY_ERROR, strerror(errno));
        } else {
            switch (options.type != Kind::Unknown ? options.type : KindOf(path, file)) {
            case Kind::Unknown:
                out.Report(
                    0, KV_SEVERITY_ERROR,
                    "neither the name nor the content tells the kind of this file: a configuration file "
                    "(.dft, .cfg, .conf), coefficients (.slc) or a DSP image (.dsp, .hex, .ihex); "
                    "--type configuration|coefficients|image names it");
                break;
            case Kind::Configuration:
                if (!needPlugin()) {
                    out.Report(0, KV_SEVERITY_ERROR, pluginTrouble.c_str());
                    break;
                }
                if (product.empty()) {
                    std::vector<std::string> products = plugin.Products();
                    product = products.empty() ? std::string() : products.front();
                }
                CheckConfiguration(plugin, product, file, out);
                break;
            case Kind::Coefficients: CheckCoefficients(file, out); break;
            case Kind::Image: CheckImage(file, options.emulator, out); break;
            }
            fclose(file);
        }
        std::stable_sort(out.problems.begin(), out.problems.end(),
                         [](const Problem& a, const Problem& b) { return a.line < b.line; });
        for (const Problem& problem : out.problems) {
            PrintProblem(options.json, path, problem);
            (problem.severity == KV_SEVERITY_ERROR ? errors : warnings) += 1;
        }
    }

    unsigned files = static_cast<unsigned>(options.files.size());
    if (options.json) {
        PrintLine(
            JsonText(Json{{"summary", {{"files", files}, {"errors", errors}, {"warnings", warnings}}}}));
    } else {
        PrintLine("check: " + Plural(files, "file") + ", " + Plural(errors, "error") + ", " +
                  Plural(warnings, "warning"));
    }
    return errors == 0 ? kStatusOk : kStatusFailed;
}

}  // namespace kvoam
