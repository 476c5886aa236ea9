// fon-test-service: a local stand-in for FinanzOnline's session and RKDB web services, for tests.
#include "fontest/Accounts.h"
#include "fontest/CommandLine.h"
#include "fontest/RequestLog.h"
#include "fontest/Service.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <libxml/parser.h>
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

    std::thread([&service, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        service.stop();
        // the last resort if a connection still holds the server after stop()
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::_Exit(0);
    }).detach();

    if (!fontest::writeFileAtomically(commandLine->stateDir + "/port", std::to_string(service.port()) + "\n")) {
        std::cerr << "fon-test-service: cannot write " << commandLine->stateDir << "/port\n";
        return 1;
    }
    std::cout << "PORT " << service.port() << std::endl;

    const bool served = service.run();
    xmlCleanupParser();
    return served ? 0 : 1;
}
