#include "options.h"

namespace kvoptions {

namespace {

std::string Why(int result, char* const* argv, const ::option* longOptions) {
    if (optopt == 0) {  // a long option that is none of them
        std::string word = argv[optind - 1];
        return "unknown option '" + word.substr(0, word.find('=')) + "'";
    }
    std::string name = std::string("-") + static_cast<char>(optopt);
    for (const ::option* o = longOptions; optopt >= 256 && o->name != nullptr; ++o)
        if (o->val == optopt) name = std::string("--") + o->name;
    if (result == ':') return "option '" + name + "' needs an argument";
    if (optopt >= 256) return "option '" + name + "' takes no argument";
    return "unknown option '" + name + "'";
}

}  // namespace

int Next(int argc, char* const* argv, const char* shortOptions, const ::option* longOptions,
         std::string* why) {
    opterr = 0;  // the tools say what is wrong in their own words
    const int result = getopt_long(argc, argv, shortOptions, longOptions, nullptr);
    if ((result == '?' || result == ':') && why != nullptr) *why = Why(result, argv, longOptions);
    return result;
}

}  // namespace kvoptions
