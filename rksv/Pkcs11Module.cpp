#include "rksv/Pkcs11Module.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <map>

namespace rksv {

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

} // namespace

std::string pkcs11Code(unsigned long rv)
{
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%08lx", rv);
    return text.data();
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::open(const std::string& path, std::string& error)
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
    std::shared_ptr<Pkcs11Module> module(new Pkcs11Module(path, library, functions));
    const CK_RV rv = module->initialise();
    if (rv != CKR_OK) {
        error = "Das PKCS#11-Modul " + path + " lässt sich nicht initialisieren (C_Initialize: Fehler " + pkcs11Code(rv)
                + ").";
        return nullptr;
    }
    registry()[path] = module;
    return module;
}

Pkcs11Module::Pkcs11Module(std::string path, void* library, CK_FUNCTION_LIST* functions)
    : m_path(std::move(path))
    , m_library(library)
    , m_functions(functions)
{}

Pkcs11Module::~Pkcs11Module()
{
    if (m_finalise) {
        m_functions->C_Finalize(nullptr);
    }
    ::dlclose(m_library);
}

CK_RV Pkcs11Module::initialise()
{
    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = m_functions->C_Initialize(&arguments);
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
        m_functions->C_Finalize(nullptr);
        m_finalise = false;
    }
    return initialise() == CKR_OK;
}

} // namespace rksv
