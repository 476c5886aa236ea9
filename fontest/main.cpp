// fon-test-service: a local stand-in for FinanzOnline's session and RKDB web services, for tests.
#include "fontest/Accounts.h"
#include "fontest/CommandLine.h"
#include "fontest/RequestLog.h"
#include "fontest/Service.h"

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <libxml/parser.h>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

xmlParserInputPtr refuseExternal(const char* url, const char* /*id*/, xmlParserCtxtPtr /*ctxt*/)
{
    std::cerr << "fon-test-service: refused to load external resource " << (url ? url : "?") << '\n';
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    // Signals are taken by one thread with sigwait; every thread started later inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // a client that hangs up must not kill the server when we write to it
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    const auto commandLine = fontest::parseCommandLine(argc, argv, error);
    if (!commandLine) {
        std::cerr << "fon-test-service: " << error << '\n' << fontest::usage();
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(commandLine->stateDir, ec);

    fontest::ServiceOptions options;
    options.stateDir = commandLine->stateDir;
    options.schemaDir = commandLine->schemaDir;
    options.host = commandLine->host;
    options.port = commandLine->port;
    if (!commandLine->accountsFile.empty()) {
        auto accounts = fontest::readAccounts(commandLine->accountsFile, error);
        if (!accounts) {
            std::cerr << "fon-test-service: " << error << '\n';
            return 1;
        }
        options.accounts = std::move(*accounts);
    }

    xmlInitParser();
    fontest::Service service(std::move(options));
    if (!service.prepare(error)) {
        std::cerr << "fon-test-service: " << error << '\n';
        return 1;
    }
    // the schemas are loaded; nothing else may ever be fetched
    xmlSetExternalEntityLoader(refuseExternal);

    if (!fontest::writeFileAtomically(commandLine->stateDir + "/port", std::to_string(service.port()) + "\n")) {
        std::cerr << "fon-test-service: cannot write " << commandLine->stateDir << "/port\n";
        return 1;
    }

    // The stopping thread ends before `service` goes: main waits for it, and it waits for main to be done serving.
    std::mutex mutex;
    std::condition_variable changed;
    bool served = false;
    std::thread stopper([&service, &mutex, &changed, &served, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        service.stop();
        std::unique_lock lock(mutex);
        // the last resort if a connection still holds the server after stop()
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&served] { return served; })) {
            std::cerr << "fon-test-service: a connection still holds the server 10 s after stop\n";
            std::_Exit(3);
        }
    });

    std::cout << "PORT " << service.port() << std::endl;

    const bool ok = service.run();
    {
        const std::lock_guard lock(mutex);
        served = true;
    }
    changed.notify_all();
    // Wakes the stopping thread when no signal came; one that came first was taken already.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    xmlCleanupParser();
    return ok ? 0 : 1;
}
