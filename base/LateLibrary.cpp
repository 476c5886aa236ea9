#include "base/LateLibrary.h"

#include <cstdio>
#include <dlfcn.h>
#include <mutex>

namespace base {

namespace {

std::mutex& problemMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& problem()
{
    static std::string text;
    return text;
}

//! Notes the first thing missing; later ones follow from it or are of the same broken installation.
void noteMissing(const std::string& text)
{
    const std::lock_guard lock(problemMutex());
    if (problem().empty()) {
        problem() = text;
        std::fprintf(stderr, "vexa-quorvex: %s\n", text.c_str());
    }
}

std::string lastError()
{
    const char* why = dlerror();
    return why ? why : "?";
}

} // namespace

std::string lateLibraryProblem()
{
    const std::lock_guard lock(problemMutex());
    return problem();
}

LateLibrary::LateLibrary(const char* file, const char* what)
    : m_handle(dlopen(file, RTLD_NOW | RTLD_LOCAL))
    , m_what(what)
{
    if (!m_handle) {
        noteMissing(std::string("Die Bibliothek ") + what + " (" + file
                    + ") kann nicht geladen werden: " + lastError());
    }
}

void* LateLibrary::symbol(const char* name) const
{
    if (!m_handle) {
        return nullptr;
    }
    void* address = dlsym(m_handle, name);
    if (!address) {
        noteMissing(std::string("Der Bibliothek ") + m_what + " fehlt die Funktion " + name + ": " + lastError());
    }
    return address;
}

} // namespace base
