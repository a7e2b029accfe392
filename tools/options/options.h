// The command-line option parser of kvoam (its options and check's) and
// mkdspimage: getopt_long, quiet, with its complaints in the tools' words.
#pragma once

#include <getopt.h>

#include <string>

namespace kvoptions {

// The next option of argv, as getopt_long answers it (opterr off): its value,
// -1 after the last option ("--" ends them), or '?' or ':' with why set to
// "unknown option '--bogus'", "option '--plugin' needs an argument" or
// "option '--json' takes no argument". Options without a short form have
// values from 256 up in longOptions. Set optind to 0 before the first call to
// parse another argv.
int Next(int argc, char* const* argv, const char* shortOptions, const ::option* longOptions,
         std::string* why);

}  // namespace kvoptions
