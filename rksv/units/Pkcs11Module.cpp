#include "rksv/units/Pkcs11Module.h"

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <future>
#include <iostream>
#include <map>
#include <thread>

namespace rksv {

//! The module's thread and the calls waiting for it. The thread owns it too, so that a thread left inside a module
//! that does not answer keeps what it uses.
struct Pkcs11Module::Worker
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> calls;
    bool quit = false;
    std::string stalledIn; //!< the call that did not answer in time; "" while the module answers
    std::thread thread;

    static void serve(const std::shared_ptr<Worker>& worker)
    {
        for (;;) {
            std::function<void()> next;
            {
                std::unique_lock lock(worker->mutex);
                worker->wake.wait(lock, [&] { return worker->quit || !worker->calls.empty(); });
                if (worker->calls.empty()) {
                    return;
                }
                next = std::move(worker->calls.front());
                worker->calls.pop_front();
            }
            next();
        }
    }
};

namespace {

std::mutex& registryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::weak_ptr<Pkcs11Module>>& registry()
{
    static std::map<std::string, std::weak_ptr<Pkcs11Module>> modules;
    return modules;
}

//! The modules that did not answer in time, by path, with their message: they are not loaded a second time.
std::mutex& stalledMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::string>& stalledModules()
{
    static std::map<std::string, std::string> modules;
    return modules;
}

} // namespace

std::string pkcs11Code(unsigned long rv)
{
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%08lx", rv);
    return text.data();
}

std::shared_ptr<Pkcs11Module>
Pkcs11Module::open(const std::string& path, std::string& error, std::chrono::milliseconds limit)
{
    error.clear();
    const std::lock_guard lock(registryMutex());
    if (auto shared = registry()[path].lock()) {
        return shared;
    }
    if (path.empty()) {
        error = "Kein PKCS#11-Modul angegeben (Signatur=PKCS11:<Pfad des Moduls>).";
        return nullptr;
    }
    {
        const std::lock_guard stalledLock(stalledMutex());
        if (const auto stalled = stalledModules().find(path); stalled != stalledModules().end()) {
            error = stalled->second;
            return nullptr;
        }
    }
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        error = "Das PKCS#11-Modul " + path + " kann nicht geladen werden: " + (reason != nullptr ? reason : "?");
        return nullptr;
    }
    CK_C_GetFunctionList getFunctionList = nullptr;
    void* symbol = ::dlsym(library, "C_GetFunctionList");
    static_assert(sizeof(symbol) == sizeof(getFunctionList));
    std::memcpy(&getFunctionList, &symbol, sizeof(symbol)); // a data pointer to a function pointer, as dlsym wants
    CK_FUNCTION_LIST* functions = nullptr;
    if (getFunctionList == nullptr || getFunctionList(&functions) != CKR_OK || functions == nullptr) {
        ::dlclose(library);
        error = "Die Datei " + path + " ist kein PKCS#11-Modul (C_GetFunctionList fehlt oder schlägt fehl).";
        return nullptr;
    }
    std::shared_ptr<Pkcs11Module> module(new Pkcs11Module(path, library, functions, limit));
    const CK_RV rv = module->initialise();
    if (rv == NO_ANSWER) {
        error = module->stallMessage();
        return nullptr;
    }
    if (rv != CKR_OK) {
        error = "Das PKCS#11-Modul " + path + " lässt sich nicht initialisieren (C_Initialize: Fehler " + pkcs11Code(rv)
                + ").";
        return nullptr;
    }
    registry()[path] = module;
    return module;
}

Pkcs11Module::Pkcs11Module(std::string path,
                           void* library,
                           CK_FUNCTION_LIST* functions,
                           std::chrono::milliseconds limit)
    : m_path(std::move(path))
    , m_library(library)
    , m_functions(functions)
    , m_limit(limit)
    , m_worker(std::make_shared<Worker>())
{
    m_worker->thread = std::thread([worker = m_worker] { Worker::serve(worker); });
}

Pkcs11Module::~Pkcs11Module()
{
    if (m_finalise) {
        static_cast<void>(call("C_Finalize", [](CK_FUNCTION_LIST* f) { return f->C_Finalize(nullptr); }));
    }
    const bool stuck = stalled();
    {
        const std::lock_guard lock(m_worker->mutex);
        m_worker->quit = true;
    }
    m_worker->wake.notify_one();
    if (stuck) {
        // Its thread is still inside the module: the thread goes its way, and the module's code stays loaded.
        m_worker->thread.detach();
        return;
    }
    m_worker->thread.join();
    ::dlclose(m_library);
}

CK_RV Pkcs11Module::run(const char* function, std::function<CK_RV(CK_FUNCTION_LIST*)> call)
{
    auto task = std::make_shared<std::packaged_task<CK_RV()>>(
        [call = std::move(call), functions = m_functions] { return call(functions); });
    auto answer = task->get_future();
    {
        const std::lock_guard lock(m_worker->mutex);
        if (!m_worker->stalledIn.empty()) {
            return NO_ANSWER;
        }
        m_worker->calls.emplace_back([task] { (*task)(); });
    }
    m_worker->wake.notify_one();
    if (answer.wait_for(m_limit) == std::future_status::ready) {
        return answer.get();
    }
    {
        const std::lock_guard lock(m_worker->mutex);
        if (m_worker->stalledIn.empty()) {
            m_worker->stalledIn = function;
        }
    }
    const std::string message = stallMessage();
    std::cerr << "Signatur: " << message << '\n';
    const std::lock_guard stalledLock(stalledMutex());
    stalledModules().emplace(m_path, message);
    return NO_ANSWER;
}

bool Pkcs11Module::stalled() const
{
    const std::lock_guard lock(m_worker->mutex);
    return !m_worker->stalledIn.empty();
}

std::string Pkcs11Module::stallMessage() const
{
    std::string function;
    {
        const std::lock_guard lock(m_worker->mutex);
        function = m_worker->stalledIn;
    }
    if (function.empty()) {
        return {};
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_limit).count();
    return "Das PKCS#11-Modul " + m_path + " antwortet nicht (" + function + ": keine Antwort nach "
           + std::to_string(seconds) + " s); die Signatureinrichtung gilt bis zum Neustart des Programms als "
           + "ausgefallen.";
}

CK_RV Pkcs11Module::initialise()
{
    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = call(
        "C_Initialize", arguments, [](CK_FUNCTION_LIST* f, CK_C_INITIALIZE_ARGS& a) { return f->C_Initialize(&a); });
    ++m_generation;
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        m_finalise = false; // someone else in the process owns the initialisation
        return CKR_OK;
    }
    m_finalise = rv == CKR_OK;
    return rv;
}

bool Pkcs11Module::reinitialise()
{
    const std::lock_guard lock(registryMutex());
    if (m_finalise) {
        static_cast<void>(call("C_Finalize", [](CK_FUNCTION_LIST* f) { return f->C_Finalize(nullptr); }));
        m_finalise = false;
    }
    return initialise() == CKR_OK;
}

} // namespace rksv
