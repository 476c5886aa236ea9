#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace app::cli {

//! What `vexa-quorvex-rksv` tells its caller; scripts may rely on these values.
enum ExitCode : int
{
    EXIT_DONE = 0,        //!< done: DEP saved, DEP in order, status received
    EXIT_FOUND = 1,       //!< the DEP has faults, or FinanzOnline refused the query
    EXIT_USAGE = 2,       //!< wrong call (unknown command, missing or bad argument)
    EXIT_UNUSABLE = 3,    //!< could not be done: installation, database, signing unit, file, key or login data
    EXIT_UNREACHABLE = 4, //!< FinanzOnline did not answer
    EXIT_CANCELLED = 5,   //!< stopped by the user (Ctrl+C)
};

//! Where the tool writes and whether its error channel is a terminal (then it draws a progress bar there).
struct Console
{
    std::ostream& out;
    std::ostream& err;
    bool terminal = false;
    //! Set (by a signal handler) to stop a running export or check; may be nullptr.
    const std::atomic<bool>* stop = nullptr;
};

/**
 * Runs one command of the RKSV command line, `args` without the program name: `dep-export`, `dep-pruefen`,
 * `status`, `--help`. Works in the installation folder, the working directory, as the program does: its
 * INSTALLATION.INI, database, signing unit and login data. Messages are German; results go to `out`, messages and
 * progress to `err`.
 */
[[nodiscard]] int run(const std::vector<std::string>& args, const Console& console);

} // namespace app::cli
