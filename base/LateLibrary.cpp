#include "base/LateLibrary.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace base {

namespace {

[[noreturn]] void cannotLoad(const char* what, const char* name)
{
    std::fprintf(stderr, "vexa-quorvex: %s (%s) kann nicht geladen werden: %s\n", what, name, dlerror());
    std::abort();
}

} // namespace

LateLibrary::LateLibrary(const char* file, const char* what)
    : m_handle(dlopen(file, RTLD_NOW | RTLD_LOCAL))
    , m_what(what)
{
    if (!m_handle) {
        cannotLoad(what, file);
    }
}

void* LateLibrary::symbol(const char* name) const
{
    void* address = dlsym(m_handle, name);
    if (!address) {
        cannotLoad(m_what, name);
    }
    return address;
}

} // namespace base
